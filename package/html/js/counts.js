// Counts page: today's chart by 15-minute interval, the week chart, today's totals, the last
// seven days, the days with data, export downloads and (operators) clearing data.
import {
  apiJson, apiText, apiXml, initPage, reportFailure, reportSuccess, setCounterName,
  waitForRestart, setStatusLine, ymd, prettyYmd, $, ApiError,
} from './api.js';
import { barChart } from './charts.js';

const MEN = '#2f7fd1';
const WOMEN = '#d9487a';
const BANDS = ['0-14', '15-24', '25-34', '35-44', '45-54', '55-64', '65-74', '75-'];
const bandLabel = (b) => (b === '75-' ? '75+' : b);
const menKey = (b) => `men${b}`;
const womenKey = (b) => `women${b}`;

// Values of one chart graph (day.xml / week.xml) by x id.
function graphValues(doc, gid) {
  const out = new Map();
  for (const g of doc.querySelectorAll('graphs > graph')) {
    if (g.getAttribute('gid') !== gid) continue;
    for (const v of g.querySelectorAll('value')) out.set(v.getAttribute('xid'), Number(v.textContent) || 0);
  }
  return out;
}

function seriesLabels(doc) {
  return [...doc.querySelectorAll('series > value')].map((v) => v.getAttribute('xid'));
}

let dayDoc = null;

function drawDay() {
  if (!dayDoc) return;
  // The series ends with 24:00, the end of the last interval; bars stand for interval starts.
  const labels = seriesLabels(dayDoc).filter((x) => x !== '24:00');
  const mode = $('#day-mode').value;
  let series;
  if (mode === 'gender') {
    const men = graphValues(dayDoc, 'men tot');
    const women = graphValues(dayDoc, 'women tot');
    series = [
      { name: 'Men', color: MEN, values: labels.map((x) => men.get(x) || 0) },
      { name: 'Women', color: WOMEN, values: labels.map((x) => women.get(x) || 0) },
    ];
  } else {
    const key = mode === 'men' ? menKey : womenKey;
    const palette = ['#0b3d91', '#1f6feb', '#4f9bff', '#7ab8ff', '#f5b700', '#f08c00', '#d9480f', '#862e9c'];
    series = BANDS.map((b, i) => {
      const vals = graphValues(dayDoc, key(b));
      return { name: bandLabel(b), color: palette[i], values: labels.map((x) => vals.get(x) || 0) };
    });
  }
  const svg = barChart($('#day-chart'), { labels, series, stacked: true, labelEvery: 8, title: "Today's visitors by 15 minutes" });
  const total = series.reduce((s, se) => s + se.values.reduce((a, b) => a + b, 0), 0);
  svg.dataset.total = String(total);
  $('#day-chart').dataset.total = String(total);
}

async function loadDay() {
  try {
    dayDoc = await apiXml('day.xml');
    drawDay();
    reportSuccess();
  } catch (e) {
    reportFailure(e, 'Day chart');
  }
}

async function loadWeek() {
  try {
    const doc = await apiXml('week.xml');
    const labels = seriesLabels(doc);
    const men = graphValues(doc, 'men tot');
    const women = graphValues(doc, 'women tot');
    barChart($('#week-chart'), {
      labels,
      stacked: true,
      title: 'The seven days before today',
      series: [
        { name: 'Men', color: MEN, values: labels.map((x) => men.get(x) || 0) },
        { name: 'Women', color: WOMEN, values: labels.map((x) => women.get(x) || 0) },
      ],
    });
  } catch (e) {
    reportFailure(e, 'Week chart');
  }
}

async function loadToday() {
  try {
    const sum = await apiJson('live-sum.json');
    $('#today-total').textContent = String(sum.samples ?? 0);
    $('#today-men').textContent = String(sum['men tot'] ?? 0);
    $('#today-women').textContent = String(sum['women tot'] ?? 0);
    $('#today-total').dataset.value = String(sum.samples ?? 0);
    if (sum.name) setCounterName(sum.name);
    barChart($('#today-bands'), {
      labels: BANDS.map(bandLabel),
      title: 'Today by age band',
      series: [
        { name: 'Men', color: MEN, values: BANDS.map((b) => sum[menKey(b)] || 0) },
        { name: 'Women', color: WOMEN, values: BANDS.map((b) => sum[womenKey(b)] || 0) },
      ],
      height: 200,
    });
  } catch (e) {
    reportFailure(e, "Today's totals");
  }
}

let last7 = null;
let last7pct = null;

function drawLast7() {
  if (!last7) return;
  const days = last7.dayslist || [];
  const data = last7.data || {};
  barChart($('#last7-days'), {
    labels: days.map((d) => `${d.slice(6, 8)}.${d.slice(4, 6)}`),
    stacked: true,
    title: 'People per day, the last seven days and today',
    series: [
      { name: 'Men', color: MEN, values: days.map((d) => data[d]?.['men tot'] || 0) },
      { name: 'Women', color: WOMEN, values: days.map((d) => data[d]?.['women tot'] || 0) },
    ],
    height: 200,
  });
  const pct = $('#last7-unit').value === 'percent';
  const block = pct ? last7pct?.data?.alldays : data.alldays;
  if (!block) return;
  barChart($('#last7-bands'), {
    labels: BANDS.map(bandLabel),
    unit: pct ? '%' : '',
    title: pct ? 'Share of all people by age band' : 'People by age band',
    series: [
      { name: 'Men', color: MEN, values: BANDS.map((b) => block[menKey(b)] || 0) },
      { name: 'Women', color: WOMEN, values: BANDS.map((b) => block[womenKey(b)] || 0) },
    ],
    height: 200,
  });
  const all = data.alldays || {};
  const n = all.samples || 0;
  const menPct = last7pct?.data?.alldays?.['men tot'] || 0;
  $('#last7-summary').textContent = n
    ? `${n} people in eight days: ${menPct.toFixed(0)}% men, ${(100 - menPct).toFixed(0)}% women.`
    : 'Nobody was counted in the last eight days.';
}

async function loadLast7() {
  try {
    [last7, last7pct] = await Promise.all([apiJson('last7.json'), apiJson('last7percent.json')]);
    drawLast7();
  } catch (e) {
    reportFailure(e, 'Last seven days');
  }
}

// ---- days with data and clearing ----

async function clearData(date) {
  const what = date ? `the counts of ${prettyYmd(date)}` : 'ALL count data of this camera';
  if (!confirm(`Delete ${what}? This cannot be undone. The application restarts afterwards.`)) return;
  const status = $('#clear-status');
  try {
    const reply = await apiText('clear-data', date ? { date } : {}, 'operator');
    if (reply.trim() !== 'OK') {
      setStatusLine(status, 'error', `Not cleared: ${reply.trim()}`);
      return;
    }
    setStatusLine(status, 'ok', 'Cleared. The application restarts to rebuild its data.');
    await waitForRestart('Count data cleared; the application is restarting', async () => {
      setStatusLine(status, 'ok', 'Cleared.');
      await loadAll();
    });
  } catch (e) {
    setStatusLine(status, 'error', e.message);
  }
}

async function loadDays() {
  try {
    const list = await apiJson('list-cnt.json');
    const host = $('#days');
    host.textContent = '';
    const days = list.days || [];
    $('#days-empty').classList.toggle('hidden', days.length > 0);
    for (const d of [...new Set(days)].reverse()) {
      const chip = document.createElement('span');
      chip.className = 'day';
      chip.dataset.day = d;
      const pick = document.createElement('button');
      pick.type = 'button';
      pick.textContent = prettyYmd(d);
      pick.title = 'Export this day';
      pick.addEventListener('click', () => {
        $('#exp-from').value = prettyYmd(d);
        $('#exp-to').value = prettyYmd(d);
        $('#exp-all').checked = false;
        syncExportInputs();
      });
      chip.appendChild(pick);
      if (document.body.dataset.role !== 'viewer') {
        const del = document.createElement('button');
        del.type = 'button';
        del.className = 'danger';
        del.textContent = '×';
        del.title = `Clear ${prettyYmd(d)}`;
        del.setAttribute('aria-label', `Clear ${prettyYmd(d)}`);
        del.addEventListener('click', () => clearData(d));
        chip.appendChild(del);
      }
      host.appendChild(chip);
    }
  } catch (e) {
    reportFailure(e, 'Days with data');
  }
}

// ---- exports ----

const EXPORT_ERRORS = ['Too much data chosen.', 'illegal argument', 'out of memory'];
const EXT = { csv: 'csv', json: 'json', xml: 'xml' };

function syncExportInputs() {
  const all = $('#exp-all').checked;
  $('#exp-from').disabled = all;
  $('#exp-to').disabled = all;
}

function exportDateArg() {
  if ($('#exp-all').checked) return 'all';
  const from = $('#exp-from').value.replaceAll('-', '');
  const to = ($('#exp-to').value || $('#exp-from').value).replaceAll('-', '');
  if (!/^\d{8}$/.test(from) || !/^\d{8}$/.test(to)) return null;
  if (to < from) return undefined;
  return from === to ? from : `${from}-${to}`;
}

async function download(format) {
  const status = $('#export-status');
  const date = exportDateArg();
  if (date === null) return setStatusLine(status, 'error', 'Pick a start and an end date.');
  if (date === undefined) return setStatusLine(status, 'error', 'The end date is before the start date.');
  const res = $('#exp-res').value;
  setStatusLine(status, '', 'Preparing the export…');
  try {
    const text = await apiText(`export-${format}`, { date, res });
    const trimmed = text.trim();
    if (EXPORT_ERRORS.includes(trimmed)) {
      const why = trimmed === 'Too much data chosen.'
        ? 'Too much data chosen: several days need a resolution of 15 minutes or more.'
        : trimmed === 'illegal argument' ? 'The dates or the resolution were not accepted.'
          : 'The camera has no room to build this export.';
      setStatusLine(status, 'error', why);
      return;
    }
    if (format === 'csv' && trimmed === '') {
      setStatusLine(status, 'error', 'There are no counts in the chosen days.');
      return;
    }
    const type = format === 'xml' ? 'application/xml' : format === 'json' ? 'application/json' : 'text/csv';
    const url = URL.createObjectURL(new Blob([text], { type }));
    const a = document.createElement('a');
    a.href = url;
    a.download = `counts-${date}-${res}.${EXT[format]}`;
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
    setStatusLine(status, 'ok', `Downloaded ${a.download}.`);
  } catch (e) {
    setStatusLine(status, 'error', e instanceof ApiError ? e.message : String(e));
  }
}

async function loadAll() {
  await Promise.all([loadToday(), loadDay(), loadWeek(), loadLast7(), loadDays()]);
}

async function start() {
  await initPage();
  const today = new Date();
  $('#exp-from').value = prettyYmd(ymd(today));
  $('#exp-to').value = prettyYmd(ymd(today));
  $('#exp-all').addEventListener('change', syncExportInputs);
  for (const f of ['csv', 'json', 'xml']) $(`#exp-${f}`).addEventListener('click', () => download(f));
  $('#day-mode').addEventListener('change', drawDay);
  $('#last7-unit').addEventListener('change', drawLast7);
  $('#clear-all').addEventListener('click', () => clearData(null));
  await loadAll();
  // Counts land when people leave the view; keep today's figures fresh.
  setInterval(() => { loadToday(); loadDay(); }, 30000);
}

start();
