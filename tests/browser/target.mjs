// What the browser tests run against: the real application (mevo under mevo-host in a
// temporary root, with users made by pwdgrp.cgi and Digest login) or, when the build's
// application does not serve HTTP, the fixture server. Also a small Digest-capable client for
// checks made outside the browser.
import { spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, '../..');
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export const USERS = {
  admin: { user: 'ui-admin', pass: 'admin-Secret-1', groups: 'viewer:operator:admin' },
  operator: { user: 'ui-operator', pass: 'operator-Secret-1', groups: 'viewer:operator' },
  viewer: { user: 'ui-viewer', pass: 'viewer-Secret-1', groups: 'viewer' },
};
const FIXTURE_USERS = {
  admin: { user: 'admin', pass: 'admin-pw' },
  operator: { user: 'operator', pass: 'operator-pw' },
  viewer: { user: 'viewer', pass: 'viewer-pw' },
};

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

const md5 = (s) => crypto.createHash('md5').update(s).digest('hex');

// GET/POST with HTTP Basic or Digest (qop=auth, MD5), whichever the server asks for.
export async function request(base, who, pathAndQuery, init = {}) {
  const url = base + pathAndQuery;
  let resp;
  try {
    resp = await fetch(url, { ...init, redirect: 'manual' });
  } catch (e) {
    return { status: 0, text: '' };
  }
  if (resp.status !== 401) return { status: resp.status, text: await resp.text(), headers: resp.headers };
  await resp.arrayBuffer();
  const challenge = resp.headers.get('www-authenticate') || '';
  let authz;
  if (/^Basic/i.test(challenge)) {
    authz = 'Basic ' + Buffer.from(`${who.user}:${who.pass}`).toString('base64');
  } else {
    const f = {};
    for (const m of challenge.matchAll(/(\w+)="?([^",]*)"?/g)) f[m[1]] = m[2];
    const uri = new URL(url).pathname + new URL(url).search;
    const method = init.method || 'GET';
    const cnonce = crypto.randomBytes(8).toString('hex');
    const nc = '00000001';
    const ha1 = md5(`${who.user}:${f.realm}:${who.pass}`);
    const ha2 = md5(`${method}:${uri}`);
    const response = md5(`${ha1}:${f.nonce}:${nc}:${cnonce}:auth:${ha2}`);
    authz = `Digest username="${who.user}", realm="${f.realm}", nonce="${f.nonce}", uri="${uri}", ` +
      `algorithm=MD5, qop=auth, nc=${nc}, cnonce="${cnonce}", response="${response}"` +
      (f.opaque ? `, opaque="${f.opaque}"` : '');
  }
  try {
    const r2 = await fetch(url, { ...init, redirect: 'manual', headers: { ...(init.headers || {}), Authorization: authz } });
    return { status: r2.status, text: await r2.text(), headers: r2.headers };
  } catch (e) {
    return { status: 0, text: '' };
  }
}

async function waitFor(fn, ms, step = 300) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    const v = await fn();
    if (v) return v;
    await sleep(step);
  }
  return null;
}

// ---- the real application ----

// The synthetic people scene with models learnt from it (the scene-models tool of the build),
// so that faces are found and people counted whatever the shipped cascades make of drawn faces.
// Returns null when the build has no such tool (the walkers scene and the shipped models are
// used then), { why } on failure, else { classifier }: the path of the scene's classifier.
function installSceneModels(build, root) {
  const tool = path.join(build, 'tests/integration/e2e/scene-models');
  if (!fs.existsSync(tool)) {
    console.log('browser tests: no scene-models tool in the build; the shipped models watch the walkers scene');
    return null;
  }
  const dir = path.join(root, 'scene-models');
  fs.mkdirSync(dir);
  const made = spawnSync(tool, [dir], { encoding: 'utf8' });
  if (made.status !== 0) return { why: `scene-models failed: ${made.stderr}` };
  const stable = path.join(root, 'usr/local/packages/mevo/modules/lbpdetect/stable');
  fs.copyFileSync(path.join(dir, 'face16.dat'), path.join(stable, 'face16.dat'));
  for (const f of ['face20.dat', 'face25.dat']) fs.rmSync(path.join(stable, f), { force: true });
  const [, width, height, minRect] = made.stdout.match(/width (\d+) height (\d+) minrect (\d+)/) || [];
  if (!width) return { why: `scene-models printed no settings: ${made.stdout}` };
  for (const [name, value] of [
    ['root.Image.I0.Appearance.Resolution', `${width}x${height}`],
    ['root.mevo.Camera0Width', width],
    ['root.mevo.Camera0Height', height],
    ['root.mevo.Detector0MinRect', minRect],
  ]) {
    const set = spawnSync(path.join(root, 'usr/bin/setupctl'), ['--nosync', 'set', name, value], {
      env: { ...process.env, MEVO_ROOT: root },
      encoding: 'utf8',
    });
    if (set.status !== 0) return { why: `setupctl set ${name} failed: ${set.stdout}${set.stderr}` };
  }
  return { classifier: path.join(dir, 'classifier.dat') };
}

async function startApp(build, log) {
  const hostBin = path.join(build, 'tools/mevo-host/mevo-host');
  if (!fs.existsSync(path.join(build, 'src/app/mevo')) || !fs.existsSync(hostBin)) {
    return { why: `mevo or mevo-host is not built in ${build}` };
  }
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'mevo-browser-'));
  const mk = spawnSync('bash', [path.join(repo, 'scripts/mkroot'), root, build], { encoding: 'utf8' });
  if (mk.status !== 0) return { why: `scripts/mkroot failed: ${mk.stderr}`, root };
  const cgi = path.join(root, 'usr/html/veka-cgi/pwdgrp.cgi');
  for (const u of Object.values(USERS)) {
    const r = spawnSync(cgi, [], {
      env: { ...process.env, MEVO_ROOT: root, QUERY_STRING: `action=add&user=${u.user}&pwd=${u.pass}&grp=users&sgrp=${u.groups}&comment=` },
      encoding: 'utf8',
    });
    if (r.status !== 0) return { why: `pwdgrp.cgi could not create ${u.user}: ${r.stdout}${r.stderr}`, root };
  }
  const scene = process.env.MEVO_SOURCE ? null : installSceneModels(build, root);
  if (scene?.why) return { why: scene.why, root };
  // A fixed port: the page must find the application again after each restart.
  const port = await freePort();
  const env = {
    ...process.env,
    MEVO_ROOT: root,
    MEVO_HTTP: `127.0.0.1:${port}`,
    MEVO_SOURCE: process.env.MEVO_SOURCE || (scene ? 'synthetic:people' : 'synthetic:walkers'),
    MEVO_SOURCE_LOOP: '1',
    ...(scene ? { MEVO_CLASSIFIER_FILE: scene.classifier } : {}),
    // The camera's tools (setupctl, ...) are on its PATH; here they live in the root.
    PATH: `${path.join(root, 'usr/bin')}:${process.env.PATH || '/usr/bin:/bin'}`,
  };
  // Wall clock, not the source clock: the browser's "today" must be the application's today.
  delete env.MEVO_CLOCK;
  const logStart = fs.existsSync(log) ? fs.statSync(log).size : 0;
  const out = fs.openSync(log, 'a');
  const child = spawn(hostBin, ['--root', root], { env, stdio: ['ignore', out, out] });
  const base = `http://127.0.0.1:${port}/local/mevo/`;
  const stop = async () => {
    if (child.exitCode === null) {
      child.kill('SIGTERM');
      await waitFor(() => child.exitCode !== null, 20000, 100);
      if (child.exitCode === null) child.kill('SIGKILL');
    }
    // Keep the application's own log for a failed run.
    try {
      fs.copyFileSync(path.join(root, 'var/log/mevo.log'), log.replace(/\.log$/, '-mevo.log'));
    } catch (e) {
      /* no log written */
    }
    fs.rmSync(root, { recursive: true, force: true });
  };
  // The first start renames the counter, answers for a moment with the new name, and restarts
  // after its first frame: up once the host has started the second process and that one
  // answers an authenticated API call with the new name. A page opened before the restart
  // would see its requests fail.
  const restarted = () => {
    const text = fs.readFileSync(log, 'utf8').slice(logStart);
    return (text.match(/^mevo-host: started mevo /gm) || []).length >= 2;
  };
  const up = await waitFor(async () => {
    if (!restarted()) return false;
    const r = await request(base, USERS.admin, 'api?params.json');
    if (r.status !== 200) return false;
    try {
      return !String(JSON.parse(r.text).Counter?.Name || '').startsWith('OVDefaultName');
    } catch (e) {
      return false;
    }
  }, 45000, 500);
  if (!up) {
    await stop();
    return { why: 'the application did not answer authenticated API requests within 45 s' };
  }
  const pkg = path.join(root, 'usr/local/packages/mevo');
  const models = ['face16.dat', 'face20.dat', 'face25.dat'].filter((f) => fs.existsSync(path.join(pkg, 'modules/lbpdetect/stable', f)));
  return {
    kind: 'app',
    base,
    users: USERS,
    root,
    stop,
    // Faces and counts need the detector models in the package.
    pipelineMissing: models.length ? '' : 'the package has no detector models (modules/lbpdetect/stable/*.dat), so no face is ever found',
    privacyMissing: fs.existsSync(path.join(pkg, 'modules/anon-gui/anon/privacy.sh')) ? '' : 'the package has no privacy.sh',
  };
}

async function startFixture() {
  const port = await freePort();
  const child = spawn(process.execPath, [path.join(here, 'fixture-server.mjs'), '--port', String(port)], { stdio: ['ignore', 'pipe', 'inherit'] });
  const base = `http://127.0.0.1:${port}/local/mevo/`;
  const ok = await waitFor(async () => (await request(base, FIXTURE_USERS.viewer, 'api?errors.json')).status === 200, 10000, 100);
  if (!ok) throw new Error('the fixture server did not start');
  return {
    kind: 'fixture',
    base,
    users: FIXTURE_USERS,
    stop: async () => { child.kill('SIGTERM'); },
    pipelineMissing: '',
    privacyMissing: '',
  };
}

export async function startTarget(build, log) {
  const want = process.env.MEVO_BROWSER_TARGET || '';
  if (want !== 'fixture') {
    const app = await startApp(build, log);
    if (app.kind) return app;
    if (want === 'app') throw new Error(`cannot test the application: ${app.why}`);
    console.log(`note: testing against the fixture server, not the application: ${app.why}`);
  }
  return startFixture();
}
