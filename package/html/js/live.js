// Live page: the text preview with the faces of the latest frame and the followed tracks
// drawn over it, the frame rate, and the application's status messages (shared header).
import { apiJson, apiText, initPage, reportFailure, reportSuccess, setCounterName, $ } from './api.js';
import { decodePreview, drawPreview } from './preview.js';

const PREVIEW_MS = 500;
const OVERLAY_MS = 250;
const FPS_MS = 2000;
const TODAY_MS = 10000;

const canvas = $('#live');
const ctx = canvas.getContext('2d');
let preview = null;
let faces = [];
let tracks = [];
// Faces and tracks come in live-view coordinates (Liveview.Width x Liveview.Height).
let viewW = 640;
let viewH = 360;

function setViewSize(w, h) {
  if (w > 0 && h > 0 && (w !== viewW || h !== viewH)) {
    viewW = w;
    viewH = h;
  }
  if (canvas.width !== viewW || canvas.height !== viewH) {
    canvas.width = viewW;
    canvas.height = viewH;
  }
}

function box(rect, color, label, dashed) {
  const [l, r, t, b] = rect;
  ctx.save();
  ctx.strokeStyle = color;
  ctx.lineWidth = Math.max(2, viewW / 320);
  if (dashed) ctx.setLineDash([6, 4]);
  ctx.strokeRect(l, t, r - l + 1, b - t + 1);
  ctx.restore();
  if (!label) return;
  ctx.font = `${Math.max(12, Math.round(viewW / 45))}px system-ui, sans-serif`;
  const pad = 3;
  const tw = ctx.measureText(label).width + pad * 2;
  const th = Math.max(14, Math.round(viewW / 36));
  // Face labels above the box, track labels below it, so both stay readable.
  const above = !dashed && t - th >= 0;
  const y = above || b + 1 + th > viewH ? Math.max(0, t - th) : b + 1;
  ctx.fillStyle = color;
  ctx.fillRect(l, y, tw, th);
  ctx.fillStyle = '#fff';
  ctx.fillText(label, l + pad, y + th - 4);
}

function genderColor(g) {
  return g > 0 ? '#2f7fd1' : '#d9487a';
}

function render() {
  setViewSize(viewW, viewH);
  drawPreview(ctx, preview);
  for (const t of tracks) {
    const label = t.id > 0 ? `#${t.id} · ${t.observations} obs` : 'new';
    box(t.rect, t.id > 0 ? '#f5b700' : '#9aa5b1', label, true);
  }
  for (const f of faces) {
    box(f.rect, genderColor(f.gender), `${f.gender > 0 ? 'Man' : 'Woman'} · ${f.age}`, false);
  }
  $('#face-count').textContent = String(faces.length);
  $('#track-count').textContent = String(tracks.filter((t) => t.id > 0).length);
  canvas.dataset.faces = String(faces.length);
  canvas.dataset.tracks = String(tracks.length);
}

async function pollPreview() {
  try {
    const reply = await apiJson('lowres.json');
    const decoded = decodePreview(reply);
    if (decoded) preview = decoded;
    canvas.dataset.preview = decoded ? `${reply.width}x${reply.height}` : '';
    reportSuccess();
  } catch (e) {
    reportFailure(e, 'Live view');
  }
  render();
}

async function pollOverlay() {
  try {
    // "BUSY" (not JSON): the frame loop holds the list right now; keep the last faces.
    const text = await apiText('gender-live.json');
    if (text.trim() !== 'BUSY') {
      const live = JSON.parse(text);
      if (live.status === 'OK') faces = Array.isArray(live.detections) ? live.detections : [];
    }
    const viz = await apiJson('viz.json');
    if (viz.status === 'OK') {
      setViewSize(Number(viz.width) | 0, Number(viz.height) | 0);
      tracks = Array.isArray(viz.detections) ? viz.detections : [];
    }
    reportSuccess();
  } catch (e) {
    reportFailure(e, 'Live results');
  }
  render();
}

async function pollFps() {
  try {
    const { fps } = await apiJson('fps.json');
    $('#fps').textContent = Number(fps).toFixed(1);
  } catch (e) {
    $('#fps').textContent = '–';
  }
}

async function pollToday() {
  try {
    const sum = await apiJson('live-sum.json');
    $('#today-count').textContent = `${sum.samples ?? 0} (${sum['men tot'] ?? 0} men, ${sum['women tot'] ?? 0} women)`;
  } catch (e) {
    $('#today-count').textContent = '–';
  }
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
  await initPage();
  try {
    const params = JSON.parse(await apiText('params.json'));
    setCounterName(params.Counter?.Name);
    setViewSize(Number(params.Liveview?.Width) | 0, Number(params.Liveview?.Height) | 0);
    const enabled = Number(params.Counter?.Enabled) & 1;
    $('#counting').textContent = enabled ? 'on' : 'off';
    if (Number(params.Static?.Anonymous) === 1) $('#privacy-note').classList.remove('hidden');
  } catch (e) {
    reportFailure(e, 'Settings');
  }
  render();
  loop(pollPreview, PREVIEW_MS);
  loop(pollOverlay, OVERLAY_MS);
  loop(pollFps, FPS_MS);
  loop(pollToday, TODAY_MS);
}

start();
