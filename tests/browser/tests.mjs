// The browser tests. Each gets ctx = { target, asUser(role, fn, viewport), api(role, query,
// init), shots } and throws to fail or throws skip(reason) when a precondition is missing.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

class Skip extends Error {
  constructor(message) {
    super(message);
    this.name = 'Skip';
  }
}
const skip = (why) => new Skip(why);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function poll(fn, ms, step = 500) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) return null;
    await sleep(step);
  }
}

async function todaySamples(api) {
  const r = await api('viewer', 'api?live-sum.json');
  if (r.status !== 200) return -1;
  return JSON.parse(r.text).samples;
}

// Grey-level spread of the live canvas: a drawn preview is not one flat colour.
async function canvasSpread(page, sel) {
  return page.$eval(sel, (c) => {
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let min = 255;
    let max = 0;
    for (let i = 0; i < d.length; i += 4 * 7) {
      min = Math.min(min, d[i]);
      max = Math.max(max, d[i]);
    }
    return max - min;
  });
}

async function waitForRestartDone(page) {
  await page.waitForFunction(() => {
    const b = document.querySelector('[data-banner="restart"]');
    return b && b.classList.contains('ok');
  }, null, { timeout: 120000 });
}

const PAGES = ['index', 'counts', 'settings', 'events', 'maintenance'];

export const tests = [
  {
    name: 'live page: the camera picture refreshes, the text preview stands in without it',
    async run({ asUser }) {
      await asUser('viewer', async (page) => {
        await page.goto(pageUrl('index.html'));
        await page.waitForFunction(() => document.querySelector('#live').dataset.picture === 'snapshot', null, { timeout: 45000 });
        const first = Number(await page.getAttribute('#live', 'data-snapshots'));
        // About once a second: three more within a generous window on a loaded machine.
        await page.waitForFunction((n) => Number(document.querySelector('#live').dataset.snapshots) >= n + 3, first, { timeout: 20000 });
        assert.ok((await canvasSpread(page, '#live')) > 16, 'the picture is one flat colour');
        await page.waitForFunction(() => /\d/.test(document.querySelector('#fps').textContent), null, { timeout: 10000 });
        await page.waitForFunction(() => /^\d+ \(\d+ men, \d+ women\)$/.test(document.querySelector('#today-count').textContent), null, { timeout: 15000 });
        const failed = page.locator('[data-banner="connection"]');
        assert.equal(await failed.count(), 0, `a request failed: ${await failed.allTextContents()}`);
        assert.deepEqual(page.consoleErrors, [], 'console errors of a viewer');
        // No snapshot to be had: the coarse preview is drawn instead, and says so.
        await page.route(/snapshot\.jpg/, (route) => route.fulfill({ status: 200, contentType: 'image/jpeg', body: '' }));
        await page.waitForFunction(() => document.querySelector('#live').dataset.picture === 'preview', null, { timeout: 15000 });
        assert.match(await page.textContent('#picture-note'), /Coarse preview/);
        assert.ok((await canvasSpread(page, '#live')) > 16, 'the preview is one flat colour');
      });
    },
  },
  {
    name: 'live page: dropped frames show when the application reports them, and only then',
    async run({ asUser }) {
      await asUser('viewer', async (page) => {
        // An application without the figures answers 204: nothing is shown, nothing complains.
        await page.route(/capture-stats\.json/, (route) => route.fulfill({ status: 204, body: '' }));
        await page.goto(pageUrl('index.html'));
        await page.waitForFunction(() => /\d/.test(document.querySelector('#fps').textContent), null, { timeout: 15000 });
        assert.ok(await page.locator('#dropped-tile').isHidden());
        assert.equal(await page.locator('[data-banner="connection"]').count(), 0);
        const stats = { source_up: true, since_start: { delivered: 1000, processed: 950, dropped: 50 }, last_100: { delivered: 100, processed: 93, dropped: 7 } };
        await page.unroute(/capture-stats\.json/);
        await page.route(/capture-stats\.json/, (route) => route.fulfill({ status: 200, contentType: 'application/json', body: JSON.stringify(stats) }));
        await page.reload();
        await page.waitForFunction(() => document.querySelector('#dropped').textContent === '7', null, { timeout: 15000 });
        assert.match(await page.textContent('#dropped-note'), /1000 frames delivered, 950 processed, 50 dropped \(5\.0 %\)/);
      });
    },
  },
  {
    name: 'live page shows a face box while a person is in view',
    async run({ target, asUser }) {
      if (target.pipelineMissing) throw skip(target.pipelineMissing);
      await asUser('viewer', async (page) => {
        await page.goto(pageUrl('index.html'));
        // Someone walks through the synthetic scene every few seconds. Its drawn faces are
        // patterns that the trained face table may score below the publication threshold, so
        // the box of the followed person counts as well as a published face.
        await page.waitForFunction(() => {
          const live = document.querySelector('#live').dataset;
          return Number(live.faces) > 0 || Number(live.tracks) > 0;
        }, null, { timeout: 60000 });
        // A followed person is labelled with what will be counted, never with a track number.
        const labels = await page.waitForFunction(() => document.querySelector('#live').dataset.labels || null, null, { timeout: 60000 });
        for (const l of (await labels.jsonValue()).split('|')) assert.match(l, /^(Man · \d+|Woman · \d+|Not yet known)$/);
      });
    },
  },
  {
    name: 'live page: the list of people fills as the scene passes',
    async run({ target, asUser }) {
      if (target.pipelineMissing) throw skip(target.pipelineMissing);
      await asUser('viewer', async (page) => {
        await page.goto(pageUrl('index.html'));
        // People walk in and out every few seconds: each is listed in view, then as counted.
        await page.waitForSelector('#tracks tr[data-state="ended"]', { timeout: 90000 });
        const row = await page.locator('#tracks tr[data-state="ended"]').first().locator('td').allTextContents();
        assert.match(row[0], /\d{1,2}.\d{2}.\d{2}/, `start time: ${row[0]}`);
        assert.match(row[1], /^\d+(\.\d)? s$/, `duration: ${row[1]}`);
        assert.match(row[2], /^(Man|Woman|–)$/);
        assert.match(row[3], /^(\d+–\d+|75\+|–)$/);
        assert.ok(await page.isHidden('#tracks-empty'));
        assert.match(await page.textContent('#tracks-zone'), /camera's \(\S+\)/);
      });
    },
  },
  {
    name: 'live page: an operator zooms in and out; a viewer has no zoom',
    async run({ asUser, api }) {
      const zoomNow = async () => Number(JSON.parse((await api('viewer', 'api?params.json')).text).Counter.DigitalZoom);
      await asUser('operator', async (page) => {
        await page.goto(pageUrl('index.html'));
        await page.waitForFunction(() => document.querySelector('#zoom-value').dataset.value !== undefined);
        const before = Number(await page.getAttribute('#zoom-value', 'data-value'));
        await page.click('#zoom-in');
        await page.waitForFunction((b) => Number(document.querySelector('#zoom-value').dataset.value) > b, before);
        const zoomed = await zoomNow();
        assert.ok(zoomed > before, `zoom ${before} -> ${zoomed}`);
        await page.click('#zoom-out');
        await page.waitForFunction((z) => Number(document.querySelector('#zoom-value').dataset.value) < z, zoomed);
        assert.ok((await zoomNow()) < zoomed);
        assert.equal(await page.textContent('#zoom-status'), '');
      });
      await asUser('viewer', async (page) => {
        await page.goto(pageUrl('index.html'));
        await page.waitForFunction(() => document.body.dataset.role === 'viewer');
        await page.waitForFunction(() => !document.querySelector('#zoom-card'));
        assert.equal(await page.locator('#zoom-in, #zoom-out, #zoom-range').count(), 0);
      });
    },
  },
  {
    name: 'counts page: the day chart shows the counted people',
    async run({ target, asUser, api }) {
      if (target.pipelineMissing) throw skip(target.pipelineMissing);
      const samples = await poll(async () => (await todaySamples(api)) > 0 && todaySamples(api), 90000, 1000);
      assert.ok(samples > 0, 'nobody was counted within 90 s');
      await asUser('viewer', async (page) => {
        await page.goto(pageUrl('counts.html'));
        await page.waitForFunction(() => document.querySelector('#day-chart').dataset.total !== undefined);
        const now = await todaySamples(api);
        const total = Number(await page.getAttribute('#day-chart', 'data-total'));
        const tile = Number(await page.textContent('#today-total'));
        // Counting goes on while the page loads: the page shows between the two readings.
        assert.ok(total >= samples && total <= now, `day chart total ${total}, counted ${samples}..${now}`);
        assert.ok(tile >= samples && tile <= now, `today tile ${tile}, counted ${samples}..${now}`);
        assert.ok(await page.locator('#day-chart rect[data-series="Men"], #day-chart rect[data-series="Women"]').count() > 0);
      });
    },
  },
  {
    name: 'counts page: exports download as CSV, JSON and XML and parse',
    async run({ asUser }) {
      await asUser('viewer', async (page) => {
        await page.goto(pageUrl('counts.html'));
        await page.selectOption('#exp-res', '1h');
        const files = {};
        for (const f of ['csv', 'json', 'xml']) {
          const [dl] = await Promise.all([page.waitForEvent('download'), page.click(`#exp-${f}`)]);
          files[f] = fs.readFileSync(await dl.path(), 'utf8');
          assert.match(dl.suggestedFilename(), new RegExp(`^counts-\\d{8}-1h\\.${f}$`));
        }
        const lines = files.csv.trim().split('\n');
        assert.match(lines[0], /^Interval start,Interval stop,Camera serial number,Counter name,Men tot,Women tot,/);
        assert.ok(lines.length >= 2, 'no CSV rows');
        for (const l of lines.slice(1)) assert.equal(l.split(',').length, 22, `CSV row: ${l}`);
        const csvPeople = lines.slice(1).reduce((s, l) => { const c = l.split(','); return s + Number(c[4]) + Number(c[5]); }, 0);
        const json = JSON.parse(files.json);
        assert.equal(json.counter.delta, 3600);
        assert.equal(json.counter.types['men tot'], 300);
        const rows = Object.values(json.data);
        assert.equal(rows.length, 24, 'one JSON row per hour of today');
        const jsonPeople = rows.reduce((s, r) => s + r[0] + r[1], 0);
        assert.ok(jsonPeople >= csvPeople, `JSON ${jsonPeople} people, CSV ${csvPeople}`);
        const xml = await page.evaluate((text) => {
          const doc = new DOMParser().parseFromString(text, 'application/xml');
          return { error: !!doc.querySelector('parsererror'), groups: doc.querySelectorAll('cntset > cntgroup').length, types: doc.querySelectorAll('typedesc > type').length };
        }, files.xml);
        assert.deepEqual(xml, { error: false, groups: 24, types: 18 });
        // A range that ends before it starts is refused by the page itself.
        await page.fill('#exp-from', '2026-01-10');
        await page.fill('#exp-to', '2026-01-09');
        await page.click('#exp-csv');
        await page.waitForSelector('#export-status.error');
        assert.match(await page.textContent('#export-status'), /end date is before the start/);
      });
    },
  },
  {
    name: 'counts page: every chart has axis titles, a legend and the camera time zone',
    async run({ asUser, api }) {
      const clock = JSON.parse((await api('viewer', 'api?camera-time.json')).text);
      assert.match(clock.date, /^\d{8}$/);
      await asUser('viewer', async (page) => {
        await page.goto(pageUrl('counts.html'));
        await page.waitForSelector('#heat-chart svg');
        await page.waitForSelector('#day-chart svg');
        for (const id of ['#day-chart', '#today-bands', '#trend-chart', '#heat-chart', '#last7-bands']) {
          await page.waitForSelector(`${id} svg`);
          const x = await page.textContent(`${id} .x-title`);
          const y = await page.textContent(`${id} .y-title`);
          assert.ok(x && y, `${id} lacks an axis title`);
          assert.ok((await page.locator(`${id} .legend span`).count()) >= 2, `${id} has no legend`);
          if (['#day-chart', '#trend-chart', '#heat-chart'].includes(id)) assert.ok(x.includes(clock.zone), `${id}: "${x}" names no zone ${clock.zone}`);
        }
        // By hour by default, 15 minutes on demand.
        assert.equal(await page.textContent('#day-title'), 'Today by hour');
        const hourly = await page.locator('#day-chart .x-label').count();
        await page.selectOption('#day-step', '15');
        assert.equal(await page.textContent('#day-title'), 'Today by 15 minutes');
        assert.ok((await page.locator('#day-chart .x-label').count()) <= hourly + 2, 'the 15-minute labels crowd the axis');
        assert.match(await page.textContent('#compare'), /Yesterday/);
        assert.match(await page.textContent('#peak-hour'), /Busiest hour today|Nobody has been counted yet today/);
        assert.match(await page.textContent('#camera-clock'), new RegExp(clock.zone));
        assert.match(await page.textContent('#about-counts'), /face the camera/);
        assert.deepEqual(page.consoleErrors, [], 'console errors of a viewer');
      });
    },
  },
  {
    name: 'counts page: the export defaults to the camera date with the browser in Pacific/Kiritimati',
    async run({ target, asUser, api }) {
      const clock = JSON.parse((await api('viewer', 'api?camera-time.json')).text);
      const camera = `${clock.date.slice(0, 4)}-${clock.date.slice(4, 6)}-${clock.date.slice(6)}`;
      await asUser('viewer', async (page) => {
        await page.goto(pageUrl('counts.html'));
        const browserDay = await page.evaluate(() => new Date().toLocaleDateString('sv'));
        await page.waitForFunction(() => document.querySelector('#exp-from').value !== '');
        assert.equal(await page.inputValue('#exp-from'), camera, `browser's day ${browserDay}`);
        assert.equal(await page.inputValue('#exp-to'), camera);
        if (target.pipelineMissing) return;
        await poll(async () => (await todaySamples(api)) > 0, 90000, 1000);
        const [dl] = await Promise.all([page.waitForEvent('download'), page.click('#exp-csv')]);
        const csv = fs.readFileSync(await dl.path(), 'utf8');
        assert.ok(csv.trim().split('\n').length >= 2, 'the camera day exported no rows');
      }, undefined, { timezoneId: 'Pacific/Kiritimati' });
    },
  },
  {
    name: 'every runnable example of the README API table answers with data',
    async run({ target, api }) {
      if (target.kind !== 'app') throw skip('the README describes the application, not the fixture server');
      const readme = fs.readFileSync(new URL('../../README.md', import.meta.url), 'utf8');
      const table = readme.slice(readme.indexOf('| endpoint | reply | example |'));
      const examples = [...table.slice(0, table.indexOf('\n\n')).matchAll(/`(api(?:operator|admin)?\?[^`]+)`/g)].map((m) => m[1]);
      assert.ok(examples.length >= 15, `only ${examples.length} examples found`);
      const clock = JSON.parse((await api('viewer', 'api?camera-time.json')).text);
      const today = clock.date;
      const weekAgo = (() => {
        const d = new Date(Date.UTC(+today.slice(0, 4), +today.slice(4, 6) - 1, +today.slice(6)));
        d.setUTCDate(d.getUTCDate() - 6);
        return d.toISOString().slice(0, 10).replaceAll('-', '');
      })();
      // Dates in the README are fixed; run them on the camera's last days, which hold counts.
      const run = (q) => q.replace(/\d{8}-\d{8}/g, `${weekAgo}-${today}`).replace(/(?<![\d-])\d{8}(?![\d-])/g, today);
      const who = (q) => (q.startsWith('apiadmin') ? 'admin' : q.startsWith('apioperator') ? 'operator' : 'viewer');
      for (const ex of examples) {
        const q = run(ex);
        const r = await api(who(q), q);
        assert.equal(r.status, 200, `${q}: HTTP ${r.status}`);
        assert.ok(r.text.trim().length > 0, `${q}: an empty reply`);
        assert.doesNotMatch(r.text, /illegal argument|malformed|Too much data|Request failed/i, `${q}: ${r.text.slice(0, 80)}`);
        if (/export-csv/.test(q)) assert.ok(r.text.trim().split('\n').length >= 2, `${q}: no rows`);
      }
    },
  },
  {
    name: 'counts page: an operator clears one day after confirming',
    async run({ asUser, api }) {
      await asUser('operator', async (page) => {
        await page.goto(pageUrl('counts.html'));
        const chip = page.locator('.days .day').first();
        await chip.waitFor();
        const shown = await chip.locator('button').first().textContent();
        // Declining the confirmation clears nothing.
        page.once('dialog', (d) => d.dismiss());
        await page.click('#clear-all');
        await sleep(500);
        assert.equal(await page.textContent('#clear-status'), '');
        let asked = '';
        page.once('dialog', (d) => { asked = d.message(); d.accept(); });
        await chip.locator('button.danger').click();
        await waitForRestartDone(page);
        assert.ok(asked.includes(shown), `asked "${asked}" for the day shown as "${shown}"`);
        assert.match(await page.textContent('#clear-status'), /Cleared/);
      });
      const list = JSON.parse((await api('viewer', 'api?list-cnt.json')).text);
      assert.ok(Array.isArray(list.days));
    },
  },
  {
    name: 'settings: a change round-trips through the restart',
    async run({ asUser, api }) {
      const name = `Entrance ${Date.now() % 100000}`;
      await asUser('operator', async (page) => {
        await page.goto(pageUrl('settings.html'));
        await page.waitForFunction(() => document.querySelector('[data-param="Counter.Name"]').value !== '');
        await page.fill('[data-param="Counter.Name"]', name);
        await page.fill('[data-param="Detector.MinRect"]', '24');
        await page.fill('[data-param="Schedule.StartMo"]', '07:30');
        await page.fill('#holiday-new', '2030-12-24');
        await page.click('#holiday-add');
        await page.click('#save');
        await page.waitForSelector('[data-banner="restart"]');
        await waitForRestartDone(page);
        await page.waitForSelector('#save-status.ok');
        assert.match(await page.textContent('#save-status'), /running with the new settings/);
        await page.reload();
        await page.waitForFunction((n) => document.querySelector('[data-param="Counter.Name"]').value === n, name);
        assert.equal(await page.inputValue('[data-param="Detector.MinRect"]'), '24');
        assert.equal(await page.inputValue('[data-param="Schedule.StartMo"]'), '07:30');
        assert.equal(await page.getAttribute('#holidays .chip', 'data-date'), '2030-12-24');
        // Saving again without a change sends nothing.
        await page.click('#save');
        assert.match(await page.textContent('#save-status'), /Nothing has changed/);
        // A bad value is refused before anything is sent.
        await page.fill('[data-param="Schedule.StopMo"]', '25:99');
        await page.click('#save');
        assert.match(await page.textContent('#save-status'), /HH:MM/);
      });
      const params = JSON.parse((await api('viewer', 'api?params.json')).text);
      assert.equal(params.Counter.Name, name);
      assert.equal(params.Detector.MinRect, '24');
      assert.equal(params.Schedule.Holidays, '12-24-2030;');
    },
  },
  {
    name: 'event rules: a bad JSON shows the validation message; a good one saves',
    async run({ asUser, api }) {
      await asUser('operator', async (page) => {
        await page.goto(pageUrl('events.html'));
        await page.waitForFunction(() => document.querySelector('#rules').value.includes('json_version'));
        await page.fill('#rules', '{\n  "json_version":1,\n  "adults":{"gender":"any","min_age":18,},\n}');
        await page.click('#validate');
        await page.waitForSelector('#rules-status.error');
        assert.match(await page.textContent('#rules-status'), /ERROR: Invalid use of comma/);
        const good = '{\n    "json_version":1,\n    "adults":{\n        "event_order":1,\n        "gender":"any",\n        "min_age":18,\n        "max_age":100,\n        "t_min":5\n    }\n}';
        await page.fill('#rules', good);
        await page.click('#save');
        await page.waitForSelector('#rules-status.ok');
        assert.match(await page.textContent('#rules-status'), /Saved 1 rule/);
        await page.reload();
        await page.waitForFunction((g) => document.querySelector('#rules').value === g, good);
        assert.match(await page.textContent('#rules-table'), /adults/);
        // Back to the defaults, stored byte for byte. Loading them is a request of its own:
        // saving before it has filled the editor would store the old text again.
        await page.click('#default');
        await page.waitForFunction(() => document.querySelector('#rules-status').textContent.startsWith('Default rules loaded'));
        await page.click('#save');
        await page.waitForSelector('#rules-status.ok');
      });
      assert.match((await api('viewer', 'api?events.json')).text, /"default":"yes"/);
    },
  },
  {
    name: 'a viewer cannot reach the operator actions',
    async run({ asUser, api }) {
      await asUser('viewer', async (page) => {
        await page.goto(pageUrl('settings.html'));
        await page.waitForFunction(() => document.body.dataset.role === 'viewer');
        assert.ok(await page.isDisabled('#save'));
        assert.ok(await page.isDisabled('[data-param="Counter.Name"]'));
        assert.ok(await page.isVisible('#viewer-notice'));
        await page.goto(pageUrl('counts.html'));
        await page.waitForFunction(() => document.body.dataset.role === 'viewer');
        assert.ok(await page.isDisabled('#clear-all'));
        assert.equal(await page.locator('.days .day button.danger').count(), 0);
        await page.goto(pageUrl('maintenance.html'));
        await page.waitForFunction(() => document.body.dataset.role === 'viewer');
        for (const id of ['#show-logs', '#restart', '#reboot', '#backup', '#restore', '#privacy-soft']) assert.ok(await page.isDisabled(id), id);
        // Straight requests from the viewer's page are refused as well.
        const statuses = await page.evaluate(async () => Promise.all(
          ['apioperator?restart', 'apioperator?setparams&Counter.Name=intruder', 'apioperator?clear-data', 'api?restart', 'apiadmin?anonymize&type=soft']
            .map(async (q) => (await fetch(q)).status)));
        assert.deepEqual(statuses, [403, 403, 403, 204, 403]);
      });
      const params = JSON.parse((await api('viewer', 'api?params.json')).text);
      assert.notEqual(params.Counter.Name, 'intruder');
    },
  },
  {
    name: 'a failed request shows a clear message',
    async run({ asUser }) {
      await asUser('viewer', async (page) => {
        // The application is unreachable: every API request fails at the network level.
        const apiCall = /\/api(operator|admin)?\?/;
        await page.route(apiCall, (route) => route.abort());
        await page.goto(pageUrl('index.html'));
        const banner = page.locator('[data-banner="connection"]');
        await banner.waitFor();
        assert.match(await banner.textContent(), /cannot be reached/);
        await page.unroute(apiCall);
        await banner.waitFor({ state: 'detached' });
      });
    },
  },
  {
    name: 'maintenance: logs, a restart with confirmation',
    async run({ asUser }) {
      await asUser('operator', async (page) => {
        await page.goto(pageUrl('maintenance.html'));
        await page.waitForFunction(() => document.body.dataset.role === 'operator');
        await page.click('#show-logs');
        await page.waitForSelector('#logs:not(.hidden)');
        assert.ok((await page.textContent('#logs')).length > 0);
        let asked = '';
        page.once('dialog', (d) => { asked = d.message(); d.accept(); });
        await page.click('#restart');
        await waitForRestartDone(page);
        assert.match(asked, /Restart the application/);
        // A dismissed confirmation sends nothing.
        page.once('dialog', (d) => d.dismiss());
        await page.click('#reboot');
        await sleep(500);
        assert.equal(await page.locator('[data-banner="restart"].warn').count(), 0);
      });
    },
  },
  {
    name: 'maintenance: a settings backup downloads and restores; a wrong file is refused',
    async run({ asUser }) {
      await asUser('admin', async (page) => {
        page.on('dialog', (d) => d.accept());
        await page.goto(pageUrl('maintenance.html'));
        await page.waitForFunction(() => document.body.dataset.role === 'admin');
        const [dl] = await Promise.all([page.waitForEvent('download'), page.click('#backup')]);
        assert.match(dl.suggestedFilename(), /^demographics-.*-params\.tar\.gz$/);
        const archive = fs.readFileSync(await dl.path());
        assert.deepEqual([...archive.subarray(0, 2)], [0x1f, 0x8b], 'the backup is not gzip data');
        await page.setInputFiles('#restore-file', { name: 'notes.tar.gz', mimeType: 'application/gzip', buffer: Buffer.from('not an archive') });
        await page.click('#restore');
        await page.waitForSelector('#restore-status.error');
        assert.match(await page.textContent('#restore-status'), /File must be of format tar\.gz/);
        await page.setInputFiles('#restore-file', { name: dl.suggestedFilename(), mimeType: 'application/gzip', buffer: archive });
        await page.click('#restore');
        await page.waitForSelector('[data-banner="restart"], #restore-status.error');
        assert.equal(await page.locator('#restore-status.error').count(), 0, await page.textContent('#restore-status'));
        await waitForRestartDone(page);
        assert.match(await page.textContent('#restore-status'), /restored/);
      });
    },
  },
  {
    name: 'privacy mode: an administrator switches it on and off; the picture is withheld meanwhile',
    async run({ target, asUser, api }) {
      if (target.privacyMissing) throw skip(target.privacyMissing);
      await asUser('admin', async (page) => {
        page.on('dialog', (d) => d.accept());
        await page.goto(pageUrl('maintenance.html'));
        await page.waitForFunction(() => document.body.dataset.role === 'admin');
        await page.click('#privacy-soft');
        await page.waitForFunction(() => document.querySelector('#privacy-state').dataset.on === '1', null, { timeout: 30000 });
        const hidden = await api('viewer', 'api?snapshot.jpg');
        assert.equal(hidden.status, 200);
        assert.equal(hidden.text.length, 0, 'a snapshot was served in privacy mode');
        await page.click('#privacy-reset');
        await page.waitForFunction(() => document.querySelector('#privacy-state').dataset.on === '0', null, { timeout: 30000 });
      });
    },
  },
  {
    name: 'screenshots of every page at desktop and phone width, light and dark',
    async run({ asUser, shots }) {
      for (const [label, viewport, colorScheme] of [
        ['desktop', { width: 1366, height: 768 }, 'light'],
        ['phone', { width: 390, height: 844 }, 'light'],
        ['desktop-dark', { width: 1366, height: 768 }, 'dark'],
        ['phone-dark', { width: 390, height: 844 }, 'dark'],
      ]) {
        await asUser('admin', async (page) => {
          for (const p of PAGES) {
            await page.goto(pageUrl(`${p}.html`));
            await page.waitForFunction(() => document.body.dataset.role);
            await sleep(1500);
            const file = path.join(shots, `${p}-${label}.png`);
            await page.screenshot({ path: file, fullPage: true });
            assert.ok(fs.statSync(file).size > 1000);
            // Nothing may stick out sideways on a phone.
            const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
            assert.ok(overflow <= 1, `${p} is ${overflow}px wider than the ${label} screen`);
            // The counter and the login are named on every page.
            assert.match(await page.textContent('header.top .role'), /Logged in as \S+ \(admin\)/);
            if (colorScheme === 'dark') {
              const bg = await page.evaluate(() => getComputedStyle(document.querySelector('.card')).backgroundColor);
              const [r, g, b] = bg.match(/\d+/g).map(Number);
              assert.ok(r + g + b < 200, `${p}: a card is ${bg} in dark mode`);
            }
          }
        }, viewport, { colorScheme });
      }
    },
  },
  {
    name: 'a viewer sees every page without a console error',
    async run({ asUser }) {
      await asUser('viewer', async (page) => {
        for (const p of PAGES) {
          await page.goto(pageUrl(`${p}.html`));
          await page.waitForFunction(() => document.body.dataset.role === 'viewer');
          await sleep(1500);
          assert.deepEqual(page.consoleErrors, [], `${p}.html`);
          assert.ok(await page.locator('link[rel="icon"]').count() > 0, `${p}.html has no icon`);
        }
      });
    },
  },
];

// Pages are addressed relative to the target's base URL, set by the runner.
let base = '';
export function setBase(b) {
  base = b;
}
function pageUrl(p) {
  return base + p;
}
