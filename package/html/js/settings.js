// Settings page (operators): the form is built from elements marked data-param="Group.Key"
// and filled from "params.json"; saving sends only the changed values with "setparams",
// which restarts the application, and the page waits for it to come back.
import {
  apiText, initPage, reportFailure, reportSuccess, setCounterName, waitForRestart,
  setStatusLine, $, ROLE_RANK, fmtDate,
} from './api.js';
import { decodePreview, drawPreview } from './preview.js';

const DAYS = [['Mo', 'Monday'], ['Tu', 'Tuesday'], ['We', 'Wednesday'], ['Th', 'Thursday'],
  ['Fr', 'Friday'], ['Sa', 'Saturday'], ['Su', 'Sunday']];
const TIME_RE = /^(\d|[01]\d|2[0-4]):[0-5]\d$/;

let params = {};
let loaded = new Map(); // key -> value text as loaded

function paramValue(key) {
  const dot = key.indexOf('.');
  const v = params[key.slice(0, dot)]?.[key.slice(dot + 1)];
  return v === undefined || v === null ? '' : String(v);
}

function buildSchedule() {
  const body = $('#schedule-body');
  for (const [d, name] of DAYS) {
    const tr = document.createElement('tr');
    tr.innerHTML = `<td><label class="check"><input type="checkbox" data-param="Schedule.Enable${d}" data-kind="bool"> ${name}</label></td>
      <td><input type="text" inputmode="numeric" data-param="Schedule.Start${d}" data-kind="time" aria-label="${name} start" placeholder="00:00"></td>
      <td><input type="text" inputmode="numeric" data-param="Schedule.Stop${d}" data-kind="time" aria-label="${name} stop" placeholder="24:00"></td>`;
    body.appendChild(tr);
  }
}

function readField(el) {
  if (el.dataset.kind === 'bool') return el.checked ? '1' : '0';
  return el.value.trim();
}

function writeField(el, value) {
  if (el.dataset.kind === 'bool') el.checked = (Number(value) & 1) === 1;
  else el.value = value;
}

// ---- holidays: "MM-DD-YYYY,MM-DD-YYYY;" ----

let holidays = [];

function parseHolidays(text) {
  return text.replace(/;\s*$/, '').split(',').map((s) => s.trim()).filter((s) => /^\d{2}-\d{2}-\d{4}$/.test(s));
}

function holidayText() {
  return holidays.length ? `${holidays.join(',')};` : '';
}

function renderHolidays() {
  const host = $('#holidays');
  host.textContent = '';
  for (const h of holidays) {
    const chip = document.createElement('span');
    chip.className = 'chip';
    const [m, d, y] = h.split('-');
    const shown = fmtDate(`${y}${m}${d}`);
    chip.append(shown);
    chip.dataset.date = `${y}-${m}-${d}`;
    const del = document.createElement('button');
    del.type = 'button';
    del.textContent = '×';
    del.setAttribute('aria-label', `Remove ${shown}`);
    del.addEventListener('click', () => {
      holidays = holidays.filter((x) => x !== h);
      renderHolidays();
    });
    chip.appendChild(del);
    host.appendChild(chip);
  }
  $('#holidays-empty').classList.toggle('hidden', holidays.length > 0);
  $('[data-param="Schedule.Holidays"]').value = holidayText();
}

function addHoliday() {
  const v = $('#holiday-new').value; // YYYY-MM-DD
  if (!v) return;
  const [y, m, d] = v.split('-');
  const h = `${m}-${d}-${y}`;
  if (!holidays.includes(h) && holidays.length < 50) holidays.push(h);
  holidays.sort((a, b) => (a.slice(6) + a.slice(0, 5)).localeCompare(b.slice(6) + b.slice(0, 5)));
  renderHolidays();
}

// ---- detection region drawn on the preview ----

const roiCanvas = $('#roi');
const roiCtx = roiCanvas.getContext('2d');
let preview = null;
let setupW = 1280;
let setupH = 720;
let roi = null; // {l, r, t, b} in setup coordinates
let drag = null;

function parseRoi(text) {
  const m = /^(-?\d+)x(-?\d+)x(-?\d+)x(-?\d+)$/.exec(text || '');
  if (!m) return null;
  const [l, r, t, b] = m.slice(1).map(Number);
  return l < r && t < b ? { l, r, t, b } : null;
}

function roiText(r) {
  return `${r.l}x${r.r}x${r.t}x${r.b}`;
}

function drawRoi() {
  roiCanvas.width = 640;
  roiCanvas.height = Math.round((640 * setupH) / setupW) || 360;
  drawPreview(roiCtx, preview);
  const sx = roiCanvas.width / setupW;
  const sy = roiCanvas.height / setupH;
  const r = roi || { l: 0, r: setupW - 1, t: 0, b: setupH - 1 };
  roiCtx.save();
  roiCtx.fillStyle = 'rgba(0,0,0,0.55)';
  roiCtx.beginPath();
  roiCtx.rect(0, 0, roiCanvas.width, roiCanvas.height);
  roiCtx.rect(r.l * sx, r.t * sy, (r.r - r.l + 1) * sx, (r.b - r.t + 1) * sy);
  roiCtx.fill('evenodd');
  roiCtx.strokeStyle = '#f5b700';
  roiCtx.lineWidth = 2;
  roiCtx.strokeRect(r.l * sx, r.t * sy, (r.r - r.l + 1) * sx, (r.b - r.t + 1) * sy);
  roiCtx.restore();
  $('#roi-text').textContent = roi
    ? `Left ${r.l}, right ${r.r}, top ${r.t}, bottom ${r.b} (of ${setupW} × ${setupH})`
    : `Whole image (${setupW} × ${setupH})`;
}

function setRoi(r) {
  roi = r;
  $('[data-param="Detector.Roi"]').value = roiText(r || { l: 0, r: setupW - 1, t: 0, b: setupH - 1 });
  drawRoi();
}

function canvasPoint(ev) {
  const rect = roiCanvas.getBoundingClientRect();
  const x = ((ev.clientX - rect.left) / rect.width) * setupW;
  const y = ((ev.clientY - rect.top) / rect.height) * setupH;
  return { x: Math.max(0, Math.min(setupW - 1, Math.round(x))), y: Math.max(0, Math.min(setupH - 1, Math.round(y))) };
}

function roiFromDrag(a, b) {
  return { l: Math.min(a.x, b.x), r: Math.max(a.x, b.x), t: Math.min(a.y, b.y), b: Math.max(a.y, b.y) };
}

roiCanvas.addEventListener('pointerdown', (ev) => {
  if (roiCanvas.dataset.locked === '1') return;
  roiCanvas.setPointerCapture(ev.pointerId);
  drag = canvasPoint(ev);
});
roiCanvas.addEventListener('pointermove', (ev) => {
  if (!drag) return;
  const r = roiFromDrag(drag, canvasPoint(ev));
  if (r.r > r.l && r.b > r.t) setRoi(r);
});
roiCanvas.addEventListener('pointerup', (ev) => {
  if (!drag) return;
  const r = roiFromDrag(drag, canvasPoint(ev));
  drag = null;
  // A click without a drag keeps the old region; tiny regions find no faces.
  if (r.r - r.l >= 16 && r.b - r.t >= 16) setRoi(r);
});

async function refreshPreview() {
  try {
    const reply = JSON.parse(await apiText('lowres.json'));
    preview = decodePreview(reply) || preview;
    drawRoi();
  } catch (e) {
    /* the form works without a preview */
  }
}

// ---- load / save ----

function fill() {
  for (const el of document.querySelectorAll('[data-param]')) {
    const v = paramValue(el.dataset.param);
    writeField(el, v);
    loaded.set(el.dataset.param, readField(el));
  }
  holidays = parseHolidays(paramValue('Schedule.Holidays'));
  renderHolidays();
  loaded.set('Schedule.Holidays', holidayText());
  setupW = Number(paramValue('Setup.Width')) || 1280;
  setupH = Number(paramValue('Setup.Height')) || 720;
  roi = parseRoi(paramValue('Detector.Roi'));
  drawRoi();
  setCounterName(paramValue('Counter.Name'));
  const b = params.Build || {};
  $('#about').textContent = `${b.Name || ''} ${b.Version || ''} · camera ${params.Static?.ModelName || ''} · serial ${params.Static?.Serial || ''}`;
}

async function load() {
  try {
    params = JSON.parse(await apiText('params.json'));
    fill();
    reportSuccess();
  } catch (e) {
    reportFailure(e, 'Settings');
  }
}

function validate(changes) {
  for (const el of document.querySelectorAll('[data-param]')) {
    const key = el.dataset.param;
    if (!changes.has(key)) continue;
    const v = changes.get(key);
    const label = el.closest('label')?.querySelector('span')?.textContent || el.getAttribute('aria-label') || key;
    if (v.includes('&')) return `${label}: the character & cannot be stored.`;
    if (el.dataset.kind === 'int' && !/^-?\d+$/.test(v)) return `${label}: enter a whole number.`;
    if (el.dataset.kind === 'decimal' && !(v !== '' && Number.isFinite(Number(v)))) return `${label}: enter a number.`;
    if (el.dataset.kind === 'time' && !TIME_RE.test(v)) return `${label}: enter a time as HH:MM (24:00 for the end of the day).`;
    if (el.min !== '' && Number(v) < Number(el.min)) return `${label}: at least ${el.min}.`;
    if (el.max !== '' && Number(v) > Number(el.max)) return `${label}: at most ${el.max}.`;
  }
  return '';
}

function changedValues() {
  const changes = new Map();
  for (const el of document.querySelectorAll('[data-param]')) {
    const v = readField(el);
    if (v !== loaded.get(el.dataset.param)) changes.set(el.dataset.param, v);
  }
  return changes;
}

async function save(ev) {
  ev.preventDefault();
  const status = $('#save-status');
  const changes = changedValues();
  if (changes.size === 0) return setStatusLine(status, '', 'Nothing has changed.');
  const problem = validate(changes);
  if (problem) return setStatusLine(status, 'error', problem);
  const args = Object.fromEntries(changes);
  setStatusLine(status, '', 'Saving…');
  try {
    const reply = (await apiText('setparams', args, 'operator')).trim();
    if (reply === 'OK') {
      setStatusLine(status, 'ok', `Saved ${changes.size} setting${changes.size > 1 ? 's' : ''}. The application restarts to use them.`);
      await waitForRestart('Settings saved; the application is restarting', async () => {
        await load();
        setStatusLine(status, 'ok', 'Saved and running with the new settings.');
      });
    } else {
      setStatusLine(status, 'error', reply === 'No params were changed.' ? 'The camera kept its settings (nothing differed).' : `Not saved: ${reply}`);
    }
  } catch (e) {
    setStatusLine(status, 'error', `Not saved: ${e.message}`);
  }
}

async function start() {
  buildSchedule();
  const role = await initPage();
  const readOnly = ROLE_RANK[role] < ROLE_RANK.operator;
  $('#settings-form fieldset').disabled = readOnly;
  roiCanvas.dataset.locked = readOnly ? '1' : '0';
  $('#settings-form').addEventListener('submit', save);
  $('#holiday-add').addEventListener('click', addHoliday);
  $('#roi-full').addEventListener('click', () => setRoi(null));
  $('#revert').addEventListener('click', () => { fill(); setStatusLine($('#save-status'), '', 'Changes undone.'); });
  await load();
  await refreshPreview();
  setInterval(refreshPreview, 3000);
}

start();
