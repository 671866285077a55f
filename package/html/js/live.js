// Live page: the camera's picture (a JPEG snapshot about once a second; the coarse text preview
// when no snapshot can be had) with the followed people drawn over it, labelled with the gender
// and age that will be counted; the frame rate and dropped frames; the zoom (operators); the
// people in view and those who left recently.
import {
  apiJson, apiText, apiUrl, initPage, reportFailure, reportSuccess, setCounterName, $,
  cameraZone, fmtTime, setStatusLine,
} from './api.js';
import { decodePreview } from './preview.js';

const SNAPSHOT_MS = 1000;
const FPS_MS = 2000;
const TRACKS_MS = 2000;
const TODAY_MS = 10000;
const ENDED_WINDOW_S = 900;
const ZOOM_STEP = 1000;
const ZOOM_MAX = 9999;

const MEN = '#2f7fd1';
const WOMEN = '#d9487a';
const UNKNOWN = '#9aa5b1';

const canvas = $('#live');
const ctx = canvas.getContext('2d');
let picture = null; // ImageBitmap or canvas
let pictureKind = '';
let faces = [];
let tracks = [];
let privacy = false;
// Faces and tracks come in live-view coordinates (Liveview.Width x Liveview.Height).
let viewW = 640;
let viewH = 360;

// ---- what a person will be counted as ----

// Gender and age averaged over the frames so far; no average yet reads as age 0.
function personLabel(gender, age) {
  if (!(age > 0)) return { text: 'Not yet known', color: UNKNOWN };
  return gender > 0 ? { text: `Man · ${age}`, color: MEN } : { text: `Woman · ${age}`, color: WOMEN };
}

const BANDS = [[0, 14], [15, 24], [25, 34], [35, 44], [45, 54], [55, 64], [65, 74], [75, 999]];
function ageBand(age) {
  if (!(age > 0)) return '–';
  const [lo, hi] = BANDS.find(([, h]) => age <= h) || BANDS[BANDS.length - 1];
  return hi > 200 ? `${lo}+` : `${lo}–${hi}`;
}

// ---- the picture ----

function fitCanvas() {
  const dpr = window.devicePixelRatio || 1;
  const w = Math.max(1, Math.round(canvas.clientWidth * dpr));
  const h = Math.max(1, Math.round((w * viewH) / viewW));
  if (canvas.width !== w || canvas.height !== h) {
    canvas.width = w;
    canvas.height = h;
  }
  canvas.style.aspectRatio = `${viewW} / ${viewH}`;
  return dpr;
}

// Labels keep the same size on the screen whatever the picture's scale.
function box(rect, color, label, k, dpr, thin) {
  const [l, r, t, b] = rect.map((v) => v * k);
  ctx.save();
  ctx.strokeStyle = color;
  ctx.lineWidth = (thin ? 1 : 2.5) * dpr;
  if (thin) ctx.setLineDash([4 * dpr, 3 * dpr]);
  ctx.strokeRect(l, t, r - l, b - t);
  ctx.restore();
  if (!label) return;
  ctx.font = `600 ${13 * dpr}px system-ui, sans-serif`;
  const pad = 4 * dpr;
  const th = 19 * dpr;
  const tw = ctx.measureText(label).width + pad * 2;
  const y = t - th >= 0 ? t - th : Math.min(canvas.height - th, b);
  const x = Math.min(Math.max(0, l), canvas.width - tw);
  ctx.fillStyle = color;
  ctx.fillRect(x, y, tw, th);
  ctx.fillStyle = '#fff';
  ctx.fillText(label, x + pad, y + th - 5 * dpr);
}

function message(text, dpr) {
  ctx.fillStyle = '#aab';
  ctx.font = `${15 * dpr}px system-ui, sans-serif`;
  ctx.textAlign = 'center';
  ctx.fillText(text, canvas.width / 2, canvas.height / 2);
  ctx.textAlign = 'start';
}

function render() {
  const dpr = fitCanvas();
  ctx.fillStyle = '#111';
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  if (picture) {
    ctx.imageSmoothingEnabled = true;
    ctx.drawImage(picture, 0, 0, canvas.width, canvas.height);
  } else {
    message(privacy ? 'Privacy mode: the picture is withheld' : 'Waiting for the picture…', dpr);
  }
  const k = canvas.width / viewW;
  // This frame's faces, thin and unlabelled: the label belongs to the person followed.
  for (const f of faces) box(f.rect, 'rgba(255,255,255,0.7)', '', k, dpr, true);
  const followed = tracks.filter((t) => t.id > 0);
  for (const t of followed) {
    const p = personLabel(t.gender, t.age);
    box(t.rect, p.color, p.text, k, dpr, false);
  }
  $('#track-count').textContent = String(followed.length);
  canvas.dataset.faces = String(faces.length);
  canvas.dataset.tracks = String(tracks.length);
  canvas.dataset.labels = followed.map((t) => personLabel(t.gender, t.age).text).join('|');
}

async function pollSnapshot() {
  let bitmap = null;
  if (!privacy) {
    try {
      const resp = await fetch(apiUrl('snapshot.jpg', { t: Date.now() }), { cache: 'no-store' });
      const blob = resp.ok && resp.status !== 204 ? await resp.blob() : null;
      if (blob && blob.size > 0) bitmap = await createImageBitmap(blob);
    } catch (e) {
      bitmap = null; // the preview below says whether the camera can be reached
    }
  }
  // The boxes of the same moment as the picture: a box from a later frame would sit beside
  // the person it belongs to.
  await pollOverlay();
  if (bitmap) {
    picture = bitmap;
    pictureKind = 'snapshot';
    canvas.dataset.snapshots = String(Number(canvas.dataset.snapshots || 0) + 1);
    reportSuccess();
  } else {
    await pollPreview();
  }
  canvas.dataset.picture = pictureKind;
  $('#picture-note').textContent = privacy
    ? "Privacy mode is on: the camera's picture is hidden."
    : pictureKind === 'preview' ? 'Coarse preview: no camera picture is available.' : '';
  render();
}

// The text preview: the fallback picture, and what a privacy-mode camera may still show.
async function pollPreview() {
  try {
    const reply = await apiJson('lowres.json');
    const decoded = decodePreview(reply);
    picture = decoded;
    pictureKind = decoded ? 'preview' : '';
    canvas.dataset.preview = decoded ? `${reply.width}x${reply.height}` : '';
    reportSuccess();
  } catch (e) {
    reportFailure(e, 'Live view');
  }
}

async function pollOverlay() {
  try {
    // "BUSY": the frame loop holds the list right now; keep the last faces.
    const text = await apiText('gender-live.json');
    if (!text.includes('BUSY')) {
      const live = JSON.parse(text);
      if (live.status === 'OK') faces = Array.isArray(live.detections) ? live.detections : [];
    }
    const viz = await apiJson('viz.json');
    if (viz.status === 'OK') {
      const w = Number(viz.width) | 0;
      const h = Number(viz.height) | 0;
      if (w > 0 && h > 0) {
        viewW = w;
        viewH = h;
      }
      tracks = Array.isArray(viz.detections) ? viz.detections : [];
    }
    reportSuccess();
  } catch (e) {
    reportFailure(e, 'Live results');
  }
}

// ---- figures ----

async function pollFps() {
  try {
    const { fps } = await apiJson('fps.json');
    $('#fps').textContent = Number(fps).toFixed(1);
  } catch (e) {
    $('#fps').textContent = '–';
  }
}

// Dropped frames, from an application that reports them; others answer 204 or 404 and the
// figure stays hidden.
let statsAvailable = true;
async function pollCaptureStats() {
  if (!statsAvailable) return;
  let stats = null;
  try {
    const resp = await fetch(apiUrl('capture-stats.json'), { cache: 'no-store' });
    if (resp.status === 204 || resp.status === 404) statsAvailable = false;
    else if (resp.ok) stats = await resp.json();
  } catch (e) {
    stats = null;
  }
  const ok = stats && stats.last_100 && stats.since_start;
  $('#dropped-tile').classList.toggle('hidden', !ok);
  $('#dropped-note').classList.toggle('hidden', !ok);
  if (!ok) return;
  $('#dropped').textContent = String(stats.last_100.dropped ?? 0);
  const s = stats.since_start;
  const share = s.delivered > 0 ? ` (${((100 * s.dropped) / s.delivered).toFixed(1)} %)` : '';
  $('#dropped-note').textContent = stats.source_up === false
    ? 'The camera delivers no frames right now.'
    : `Since the start: ${s.delivered} frames delivered, ${s.processed} processed, ${s.dropped} dropped${share}. `
      + 'A dropped frame is one the analysis had no time for; people are still followed between frames.';
}

async function pollToday() {
  try {
    const sum = await apiJson('live-sum.json');
    $('#today-total').textContent = String(sum.samples ?? 0);
    $('#today-count').textContent = `${sum.samples ?? 0} (${sum['men tot'] ?? 0} men, ${sum['women tot'] ?? 0} women)`;
  } catch (e) {
    $('#today-count').textContent = '–';
  }
}

// ---- people in view and recently left ----

function trackRow(t, live) {
  const tr = document.createElement('tr');
  const seconds = Math.max(0, Number(t.time_end) - Number(t.time_start));
  const gender = !(t.age_average > 0) ? '–' : t.gender_average > 0 ? 'Man' : 'Woman';
  const cells = [fmtTime(Number(t.time_start)), `${seconds.toFixed(seconds < 10 ? 1 : 0)} s`, gender, ageBand(t.age_average)];
  cells.forEach((text, i) => {
    const td = document.createElement('td');
    td.textContent = text;
    if (i === 1) td.className = 'num';
    tr.appendChild(td);
  });
  const state = document.createElement('td');
  const pill = document.createElement('span');
  pill.className = live ? 'pill live' : 'pill';
  pill.textContent = live ? 'in view' : 'left';
  state.appendChild(pill);
  tr.appendChild(state);
  tr.dataset.state = live ? 'live' : 'ended';
  return tr;
}

async function pollTracks() {
  try {
    const [live, ended] = await Promise.all([
      apiJson('tracks-live.json'),
      apiJson('tracks-ended.json', { time: ENDED_WINDOW_S }),
    ]);
    const liveRows = live?.live?.tracks || [];
    const endedRows = (ended?.ended?.tracks || []).slice().reverse();
    const body = $('#tracks');
    body.textContent = '';
    for (const t of liveRows) body.appendChild(trackRow(t, true));
    for (const t of endedRows.slice(0, 50)) body.appendChild(trackRow(t, false));
    $('#tracks-empty').classList.toggle('hidden', liveRows.length + endedRows.length > 0);
    $('#tracks-zone').textContent = `times are the camera's (${cameraZone()})`;
    body.dataset.live = String(liveRows.length);
    body.dataset.ended = String(endedRows.length);
  } catch (e) {
    reportFailure(e, 'Tracks');
  }
}

// ---- zoom (operators) ----

let zoom = 0;
let zoomReady = false;

function showZoom() {
  $('#zoom-range').value = String(zoom);
  $('#zoom-value').textContent = `${Math.round((100 * zoom) / ZOOM_MAX)} %`;
  $('#zoom-value').dataset.value = String(zoom);
  $('#zoom-out').disabled = zoom <= 0;
  $('#zoom-in').disabled = zoom >= ZOOM_MAX;
}

async function setZoom(target) {
  const want = Math.max(0, Math.min(ZOOM_MAX, Math.round(target)));
  const status = $('#zoom-status');
  try {
    if (!zoomReady) {
      const init = await apiJson('init_zoom.json', {}, 'operator');
      if (init.zoom_init !== 'OK') throw new Error('The camera could not prepare its zoom.');
      zoomReady = true;
    }
    const reply = await apiJson('update_zoom.json', { dZoom: want }, 'operator');
    if (reply.zoom !== 'OK') throw new Error('The camera refused this zoom position.');
    // The camera rounds to its own steps: read back what it applied.
    const params = JSON.parse(await apiText('params.json'));
    zoom = Number(params.Counter?.DigitalZoom ?? want) || 0;
    setStatusLine(status, '', '');
  } catch (e) {
    setStatusLine(status, 'error', e.message);
  }
  showZoom();
}

function startZoom(role, params) {
  if (role === 'viewer') {
    $('#zoom-card').remove();
    return;
  }
  zoom = Number(params?.Counter?.DigitalZoom) || 0;
  showZoom();
  $('#zoom-in').addEventListener('click', () => setZoom(zoom + ZOOM_STEP));
  $('#zoom-out').addEventListener('click', () => setZoom(zoom - ZOOM_STEP));
  $('#zoom-range').addEventListener('change', () => setZoom(Number($('#zoom-range').value)));
}

// Polls one endpoint at a time: a slow camera is never asked twice at once.
function loop(fn, ms) {
  const run = async () => {
    if (!document.hidden) await fn();
    setTimeout(run, ms);
  };
  run();
}

async function start() {
  const role = await initPage();
  let params = null;
  try {
    params = JSON.parse(await apiText('params.json'));
    setCounterName(params.Counter?.Name);
    viewW = Number(params.Liveview?.Width) || viewW;
    viewH = Number(params.Liveview?.Height) || viewH;
    $('#counting').textContent = Number(params.Counter?.Enabled) & 1 ? 'on' : 'off';
    privacy = Number(params.Static?.Anonymous) === 1;
  } catch (e) {
    reportFailure(e, 'Settings');
  }
  startZoom(role, params);
  render();
  window.addEventListener('resize', render);
  loop(pollSnapshot, SNAPSHOT_MS);
  loop(pollFps, FPS_MS);
  loop(pollCaptureStats, FPS_MS);
  loop(pollTracks, TRACKS_MS);
  loop(pollToday, TODAY_MS);
}

start();
