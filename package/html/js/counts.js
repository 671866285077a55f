// Counts page: today so far against the same time yesterday and a week ago, today by hour (or
// 15 minutes), today by age band, the daily totals of every stored day, the busiest hours by
// weekday, the last seven days by age band, what the numbers can and cannot tell, exports and
// (operators) clearing data. Every date and hour is the camera's.
import {
  apiJson, apiText, initPage, reportFailure, reportSuccess, setCounterName,
  waitForRestart, setStatusLine, $, ApiError, cameraClock, cameraNow, cameraYmd, cameraWall,
  cameraZone, addDays, ymdUtc, inputYmd, fmtDate, fmtDay, fmtWeekday, fmtHourMinute,
} from './api.js';
import { barChart, heatMap } from './charts.js';

const MEN = '#2f7fd1';
const WOMEN = '#d9487a';
const BANDS = ['0-14', '15-24', '25-34', '35-44', '45-54', '55-64', '65-74', '75-'];
const bandLabel = (b) => (b === '75-' ? '75+' : b.replace('-', '–'));
// Row layout of the JSON export: men, women, then men's and women's eight age bands.
const MEN_BAND = (i) => 2 + i;
const WOMEN_BAND = (i) => 10 + i;
const PALETTE = ['#0b3d91', '#1f6feb', '#4f9bff', '#7ab8ff', '#f5b700', '#f08c00', '#d9480f', '#862e9c'];

const zoneText = () => `camera time, ${cameraZone()}`;

// ---- the export as buckets ----

// { day: YYYYMMDD, minute: minutes after midnight, c: [18 counts] } for each bucket of an
// export-json reply, in the camera's local time.
function buckets(doc) {
  const delta = Number(doc?.counter?.delta) || 900;
  const out = [];
  for (const [key, c] of Object.entries(doc?.data || {})) {
    const m = /^(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)$/.exec(key);
    if (!m || !Array.isArray(c)) continue;
    const end = Date.UTC(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]);
    const start = new Date(end - delta * 1000);
    const day = `${start.getUTCFullYear()}${String(start.getUTCMonth() + 1).padStart(2, '0')}${String(start.getUTCDate()).padStart(2, '0')}`;
    out.push({ day, minute: start.getUTCHours() * 60 + start.getUTCMinutes(), c });
  }
  return out;
}

const people = (c) => (c[0] || 0) + (c[1] || 0);

function nowMinute() {
  const w = cameraWall(cameraNow());
  return w.getUTCHours() * 60 + w.getUTCMinutes();
}

// ---- today so far and the comparisons ----

let near = []; // 15-minute buckets of today, yesterday and the same weekday last week
let storedDays = [];

function compareLine(label, day, upTo, today) {
  const li = document.createElement('li');
  if (!storedDays.includes(day)) {
    li.textContent = `${label} (${fmtDate(day)}): no counts stored.`;
    return li;
  }
  const then = near.filter((b) => b.day === day && b.minute < upTo).reduce((s, b) => s + people(b.c), 0);
  const diff = today - then;
  const pct = then > 0 ? ` (${diff >= 0 ? '+' : '−'}${Math.abs(Math.round((100 * diff) / then))} %)` : '';
  li.append(`${label} (${fmtDate(day)}) by this time: ${then}`);
  if (then > 0 || today > 0) {
    const s = document.createElement('span');
    s.className = diff > 0 ? 'up' : diff < 0 ? 'down' : '';
    s.textContent = ` — today ${diff >= 0 ? `${diff} more` : `${-diff} fewer`}${pct}`;
    li.appendChild(s);
  }
  li.dataset.day = day;
  li.dataset.value = String(then);
  return li;
}

function drawCompare() {
  const today = cameraYmd();
  const upTo = nowMinute();
  const todayRows = near.filter((b) => b.day === today);
  const sofar = todayRows.reduce((s, b) => s + people(b.c), 0);
  const list = $('#compare');
  list.textContent = '';
  const head = document.createElement('li');
  head.textContent = `Counted by ${fmtHourMinute(Math.floor(upTo / 60), upTo % 60)} (${zoneText()}): ${sofar}`;
  list.appendChild(head);
  list.appendChild(compareLine('Yesterday', addDays(today, -1), upTo, sofar));
  list.appendChild(compareLine(`Last ${fmtWeekday(ymdUtc(today).getUTCDay())}`, addDays(today, -7), upTo, sofar));
  const hours = new Array(24).fill(0);
  for (const b of todayRows) hours[Math.floor(b.minute / 60)] += people(b.c);
  const peak = hours.indexOf(Math.max(...hours));
  const li = document.createElement('li');
  li.id = 'peak-hour';
  li.textContent = sofar > 0
    ? `Busiest hour today: ${fmtHourMinute(peak)}–${fmtHourMinute((peak + 1) % 24)} with ${hours[peak]} people.`
    : 'Nobody has been counted yet today.';
  list.appendChild(li);
}

function drawDay() {
  const today = cameraYmd();
  const step = Number($('#day-step').value);
  const n = (24 * 60) / step;
  const rows = near.filter((b) => b.day === today);
  const sum = (idx) => {
    const v = new Array(n).fill(0);
    for (const b of rows) v[Math.floor(b.minute / step)] += idx.reduce((s, i) => s + (b.c[i] || 0), 0);
    return v;
  };
  const mode = $('#day-mode').value;
  const series = mode === 'gender'
    ? [{ name: 'Men', color: MEN, values: sum([0]) }, { name: 'Women', color: WOMEN, values: sum([1]) }]
    : BANDS.map((b, i) => ({ name: bandLabel(b), color: PALETTE[i], values: sum([mode === 'men' ? MEN_BAND(i) : WOMEN_BAND(i)]) }));
  const labels = [...Array(n).keys()].map((k) => fmtHourMinute(Math.floor((k * step) / 60), (k * step) % 60));
  $('#day-title').textContent = step === 60 ? 'Today by hour' : 'Today by 15 minutes';
  const svg = barChart($('#day-chart'), {
    labels,
    series,
    stacked: true,
    legend: true,
    labelEvery: step === 60 ? 3 : 12,
    title: `Today's visitors by ${step === 60 ? 'hour' : '15 minutes'}`,
    xTitle: `Time of day (${zoneText()})`,
    yTitle: `People per ${step === 60 ? 'hour' : '15 min'}`,
    empty: 'Nobody counted yet today',
  });
  $('#day-chart').dataset.total = svg.dataset.total;
}

async function loadNear() {
  const today = cameraYmd();
  try {
    const doc = await apiJson('export-json', { date: [today, addDays(today, -1), addDays(today, -7)].join(','), res: '15m' });
    near = buckets(doc);
    drawDay();
    drawCompare();
    reportSuccess();
  } catch (e) {
    reportFailure(e, "Today's chart");
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
      xTitle: 'Age band (years)',
      yTitle: 'People',
      empty: 'Nobody counted yet today',
      legend: true,
      series: [
        { name: 'Men', color: MEN, values: BANDS.map((b) => sum[`men${b}`] || 0) },
        { name: 'Women', color: WOMEN, values: BANDS.map((b) => sum[`women${b}`] || 0) },
      ],
      height: 210,
    });
  } catch (e) {
    reportFailure(e, "Today's totals");
  }
}

// ---- all stored days: the daily trend and the weekday x hour heat map ----

async function loadStored() {
  const today = cameraYmd();
  const first = storedDays.length ? storedDays[0] : today;
  let rows = [];
  try {
    const doc = await apiJson('export-json', { date: first === today ? today : `${first}-${today}`, res: '1h' });
    rows = buckets(doc);
  } catch (e) {
    reportFailure(e, 'Stored days');
    return;
  }
  const days = [];
  for (let d = first; d <= today; d = addDays(d, 1)) days.push(d);
  const byDay = new Map(days.map((d) => [d, [0, 0]]));
  for (const b of rows) {
    const v = byDay.get(b.day);
    if (v) { v[0] += b.c[0] || 0; v[1] += b.c[1] || 0; }
  }
  const trend = barChart($('#trend-chart'), {
    labels: days.map(fmtDay),
    stacked: true,
    legend: true,
    title: 'People per day',
    xTitle: `Day (${zoneText()})`,
    yTitle: 'People per day',
    empty: 'No counts stored yet',
    series: [
      { name: 'Men', color: MEN, values: days.map((d) => byDay.get(d)[0]) },
      { name: 'Women', color: WOMEN, values: days.map((d) => byDay.get(d)[1]) },
    ],
    note: storedDays.length
      ? (days.length === 1 ? `Only today (${fmtDate(today)}) so far.` : `${days.length} days from ${fmtDate(first)} to ${fmtDate(today)}; today so far.`)
      : '',
  });
  $('#trend-chart').dataset.days = String(days.length);
  $('#trend-chart').dataset.total = trend.dataset.total;

  // Average people per hour for each weekday, over the stored days of that weekday; the hours
  // of today still to come have no data yet.
  const order = [1, 2, 3, 4, 5, 6, 0];
  const sums = order.map(() => new Array(24).fill(0));
  const seen = order.map(() => new Array(24).fill(0));
  const upTo = nowMinute();
  const stored = new Set(storedDays);
  for (const d of days) {
    if (!stored.has(d) && d !== today) continue;
    const r = order.indexOf(ymdUtc(d).getUTCDay());
    for (let h = 0; h < 24; h++) if (d !== today || h * 60 <= upTo) seen[r][h]++;
  }
  for (const b of rows) {
    if (!stored.has(b.day) && b.day !== today) continue;
    const r = order.indexOf(ymdUtc(b.day).getUTCDay());
    sums[r][Math.floor(b.minute / 60)] += people(b.c);
  }
  const values = sums.map((row, r) => row.map((v, h) => (seen[r][h] ? v / seen[r][h] : null)));
  heatMap($('#heat-chart'), {
    rows: order.map(fmtWeekday),
    cols: [...Array(24).keys()].map((h) => fmtHourMinute(h)),
    values,
    title: 'Average people per hour by weekday',
    xTitle: `Hour starting (${zoneText()})`,
    yTitle: 'Weekday',
    unitText: 'people per hour',
    empty: 'No counts stored yet',
    note: `Average people per hour over the ${stored.size} stored day${stored.size === 1 ? '' : 's'}; blank cells have no stored day.`,
  });
}

// ---- the last seven days by age band ----

let last7 = null;
let last7pct = null;

function drawLast7() {
  if (!last7) return;
  const pct = $('#last7-unit').value === 'percent';
  const block = pct ? last7pct?.data?.alldays : last7.data?.alldays;
  if (!block) return;
  barChart($('#last7-bands'), {
    labels: BANDS.map(bandLabel),
    unit: pct ? ' %' : '',
    title: pct ? 'Share of all people by age band' : 'People by age band',
    xTitle: 'Age band (years)',
    yTitle: pct ? 'Share of all people (%)' : 'People',
    empty: 'Nobody counted in these eight days',
    legend: true,
    series: [
      { name: 'Men', color: MEN, values: BANDS.map((b) => block[`men${b}`] || 0) },
      { name: 'Women', color: WOMEN, values: BANDS.map((b) => block[`women${b}`] || 0) },
    ],
    height: 210,
  });
  const n = last7.data?.alldays?.samples || 0;
  const menPct = last7pct?.data?.alldays?.['men tot'] || 0;
  const days = last7.dayslist || [];
  const span = days.length ? ` (${fmtDate(days[0])} to ${fmtDate(days[days.length - 1])})` : '';
  $('#last7-summary').textContent = n
    ? `${n} people in eight days${span}: ${menPct.toFixed(0)} % men, ${(100 - menPct).toFixed(0)} % women.`
    : `Nobody was counted in the last eight days${span}.`;
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
  const what = date ? `the counts of ${fmtDate(date)}` : 'ALL count data of this camera';
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
    storedDays = [...new Set(list.days || [])].sort();
  } catch (e) {
    reportFailure(e, 'Days with data');
    return;
  }
  const host = $('#days');
  host.textContent = '';
  $('#days-empty').classList.toggle('hidden', storedDays.length > 0);
  for (const d of [...storedDays].reverse()) {
    const chip = document.createElement('span');
    chip.className = 'day';
    chip.dataset.day = d;
    const pick = document.createElement('button');
    pick.type = 'button';
    pick.textContent = fmtDate(d);
    pick.title = 'Export this day';
    pick.addEventListener('click', () => {
      $('#exp-from').value = inputYmd(d);
      $('#exp-to').value = inputYmd(d);
      $('#exp-all').checked = false;
      syncExportInputs();
    });
    chip.appendChild(pick);
    if (document.body.dataset.role !== 'viewer') {
      const del = document.createElement('button');
      del.type = 'button';
      del.className = 'danger';
      del.textContent = '×';
      del.title = `Clear ${fmtDate(d)}`;
      del.setAttribute('aria-label', `Clear ${fmtDate(d)}`);
      del.addEventListener('click', () => clearData(d));
      chip.appendChild(del);
    }
    host.appendChild(chip);
  }
}

// ---- exports ----

const EXPORT_ERRORS = ['Too much data chosen.', 'illegal argument', 'out of memory'];

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
  if (date !== 'all' && date.slice(-8) > cameraYmd()) {
    return setStatusLine(status, 'error', `The camera's today is ${fmtDate(cameraYmd())}: later days have no counts yet.`);
  }
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
    a.download = `counts-${date}-${res}.${format}`;
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
    setStatusLine(status, 'ok', `Downloaded ${a.download}.`);
  } catch (e) {
    setStatusLine(status, 'error', e instanceof ApiError ? e.message : String(e));
  }
}

function showClock() {
  const w = cameraWall(cameraNow());
  $('#camera-clock').textContent = `Camera time: ${fmtDate(cameraYmd())} ${fmtHourMinute(w.getUTCHours(), w.getUTCMinutes())} (${cameraZone()})`;
}

async function loadAll() {
  await loadDays();
  await Promise.all([loadToday(), loadNear(), loadStored(), loadLast7()]);
}

async function start() {
  await initPage();
  await cameraClock();
  const today = cameraYmd();
  for (const id of ['#exp-from', '#exp-to']) {
    $(id).value = inputYmd(today);
    $(id).max = inputYmd(today);
  }
  $('#exp-zone').textContent = `Dates are the camera's (${cameraZone()}); the files give times in the camera's time.`;
  $('#zone-note').textContent = cameraZone();
  showClock();
  setInterval(showClock, 30000);
  $('#exp-all').addEventListener('change', syncExportInputs);
  for (const f of ['csv', 'json', 'xml']) $(`#exp-${f}`).addEventListener('click', () => download(f));
  $('#day-mode').addEventListener('change', drawDay);
  $('#day-step').addEventListener('change', drawDay);
  $('#last7-unit').addEventListener('change', drawLast7);
  $('#clear-all').addEventListener('click', () => clearData(null));
  await loadAll();
  // Counts land when people leave the view; keep today's figures fresh.
  setInterval(() => { loadToday(); loadNear(); }, 30000);
}

start();
