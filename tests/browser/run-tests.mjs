// Runs the browser tests one after the other and prints "N passed, N failed, N skipped".
//   node run-tests.mjs BUILD_DIR
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { startTarget, request } from './target.mjs';
import { tests, setBase } from './tests.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, '../..');
const build = path.resolve(process.argv[2] || path.join(repo, 'build'));
const artifacts = path.join(repo, 'test-artifacts');
const shots = path.join(artifacts, 'screenshots');
fs.mkdirSync(shots, { recursive: true });
const appLog = path.join(artifacts, 'browser-app.log');
fs.writeFileSync(appLog, '');

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync'];

async function main() {
  if (!fs.existsSync(CHROMIUM)) {
    console.log(`browser tests: ${CHROMIUM} is missing (Debian package chromium)`);
    console.log('0 passed, 1 failed, 0 skipped');
    process.exit(1);
  }
  const target = await startTarget(build, appLog);
  console.log(`browser tests: target ${target.kind} at ${target.base}`);
  setBase(target.base);

  // A fresh browser profile logged in as `role`; closed after fn. `options` go to the browser
  // context (timezoneId, colorScheme, ...). Console errors and failed page scripts are kept in
  // page.consoleErrors.
  async function asUser(role, fn, viewport = { width: 1366, height: 768 }, options = {}) {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'mevo-chromium-'));
    const who = target.users[role];
    const context = await chromium.launchPersistentContext(dir, {
      executablePath: CHROMIUM,
      headless: true,
      args: ARGS,
      viewport,
      acceptDownloads: true,
      httpCredentials: { username: who.user, password: who.pass },
      ...options,
    });
    try {
      const page = context.pages()[0] || (await context.newPage());
      page.setDefaultTimeout(20000);
      page.consoleErrors = [];
      page.on('console', (m) => { if (m.type() === 'error') page.consoleErrors.push(m.text()); });
      page.on('pageerror', (e) => page.consoleErrors.push(String(e)));
      return await fn(page, context);
    } finally {
      await context.close();
      fs.rmSync(dir, { recursive: true, force: true });
    }
  }

  const api = (role, q, init) => request(target.base, target.users[role], q, init);
  const ctx = { target, asUser, api, shots };
  let passed = 0;
  let failed = 0;
  let skipped = 0;
  // MEVO_BROWSER_ONLY=TEXT runs only the tests whose name contains TEXT (while working on them).
  const only = process.env.MEVO_BROWSER_ONLY || '';
  for (const t of tests.filter((x) => x.name.includes(only))) {
    const started = Date.now();
    try {
      await t.run(ctx);
      passed++;
      console.log(`ok    ${t.name} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
    } catch (e) {
      if (e?.name === 'Skip') {
        skipped++;
        console.log(`skip  ${t.name}: ${e.message}`);
      } else {
        failed++;
        console.log(`FAIL  ${t.name}: ${e?.stack || e}`);
      }
    }
  }
  await target.stop();
  if (failed && target.kind === 'app') {
    // CI keeps only the printed output: show the end of both logs.
    for (const log of [appLog, appLog.replace(/\.log$/, '-mevo.log')]) {
      if (!fs.existsSync(log)) continue;
      const tail = fs.readFileSync(log, 'utf8').trimEnd().split('\n').slice(-25);
      console.log(`last lines of ${log}:\n  ${tail.join('\n  ')}`);
    }
  }
  console.log(`${passed} passed, ${failed} failed, ${skipped} skipped`);
  process.exit(failed ? 1 : 0);
}

main().catch((e) => {
  console.log(`browser tests: ${e?.stack || e}`);
  console.log('0 passed, 1 failed, 0 skipped');
  process.exit(1);
});
