// A stand-in for the camera application's HTTP interface, for working on the pages and for
// testing them when the real application cannot serve them (its reply formats are copied
// here; the real application is always preferred by the runner).
//
//   node fixture-server.mjs [--port N] [--html DIR]
//
// Users (HTTP Basic): admin/admin-pw, operator/operator-pw, viewer/viewer-pw. It serves the
// package's html/ folder under /local/mevo/ and the API paths below it, keeps counts, settings
// and event rules in memory, and "restarts" (drops connections for two seconds) where the
// application would restart. A moving synthetic face is always in view.
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const argv = process.argv.slice(2);
const opt = (name, dflt) => { const i = argv.indexOf(name); return i >= 0 ? argv[i + 1] : dflt; };
const PORT = Number(opt('--port', '0'));
const HTML = path.resolve(opt('--html', path.join(here, '../../package/html')));
const DEFAULTS = path.join(HTML, '../param.conf.default');

const USERS = { admin: ['admin-pw', 2], operator: ['operator-pw', 1], viewer: ['viewer-pw', 0] };
const OPERATOR_LIST = ['setparams', 'nosyncsetparams', 'update_zoom.json', 'init_zoom.json', 'clear-data', 'reset-push',
  'factory-defaults', 'backup', 'restart', 'reboot', 'generate-logs', 'show-logs', 'backup_params', 'copy_params',
  'restore_params', 'cancel-count', 'inc-in', 'inc-out', 'modify-history'];
const ADMIN_LIST = ['anonymize', 'anonymize_reset', 'rhos.json', 'proxy-cntpos', 'proxy-alive', 'proxy-ip', 'proxy-params', 'proxy-image'];
const SHORT = ['men tot', 'women tot'];
const LONG = ['Men tot', 'Women tot'];
for (const g of ['men', 'women']) {
  const G = g === 'men' ? 'Men' : 'Women';
  SHORT.push(`${g}0-14`); LONG.push(`${G} age 0-14`);
  for (let k = 0; k < 6; k++) { SHORT.push(`${g}${15 + 10 * k}-${24 + 10 * k}`); LONG.push(`${G} age ${15 + 10 * k}-${24 + 10 * k}`); }
  SHORT.push(`${g}75-`); LONG.push(`${G} age 75-`);
}
const SERIAL = 'ACCC8E000001';
const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];
const p2 = (n) => String(n).padStart(2, '0');

// ---- state ----
const params = new Map(); // "Group.Key" -> value
for (const line of fs.readFileSync(DEFAULTS, 'utf8').split('\n')) {
  const m = /^(\w+?)0(\w+)="([^"]*)"/.exec(line);
  if (m) params.set(`${m[1]}.${m[2]}`, m[3]);
}
params.set('Counter.Name', 'Veka-' + SERIAL);
const secrets = new Map([['WebReportUpload.Pass', ''], ['WebReportUpload.ProxyPass', '']]);
const DEFAULT_RULES = '{\n    "json_version":1,\n    "male":{\n        "event_order":1,\n        "gender":"male",\n        "min_age":0,\n        "max_age":100,\n        "t_min":0\n    },\n    "female":{\n        "event_order":2,\n        "gender":"female",\n        "min_age":0,\n        "max_age":100,\n        "t_min":0\n    },\n    "any_0_30":{\n        "event_order":3,\n        "gender":"any",\n        "min_age":0,\n        "max_age":30,\n        "t_min":0\n    },\n    "any_31_plus":{\n        "event_order":4,\n        "gender":"any",\n        "min_age":31,\n        "max_age":100,\n        "t_min":0\n    }\n}';
let rules = DEFAULT_RULES;
let anonymous = false;
let down = false;
const counts = new Map(); // slot start (s) -> int[18]

function addCount(t, type, band, n = 1) {
  const slot = t - (t % 900);
  const c = counts.get(slot) || new Array(18).fill(0);
  c[type] += n;
  c[2 + 8 * type + band] += n;
  counts.set(slot, c);
}
function seed() {
  const now = Math.floor(Date.now() / 1000);
  const midnight = localMidnight(now);
  // Today: one visitor per half hour so far; earlier days: a few.
  for (let t = midnight + 600, i = 0; t < now; t += 1800, i++) addCount(t, i % 3 === 0 ? 1 : 0, (i * 3) % 8);
  for (let d = 1; d <= 9; d++) {
    const day = shiftDays(midnight, -d);
    for (let k = 0; k < d + 3; k++) addCount(day + 36000 + k * 1200, k % 2, (k + d) % 8);
  }
}
function localMidnight(t) { const d = new Date(t * 1000); d.setHours(0, 0, 0, 0); return Math.floor(d.getTime() / 1000); }
function shiftDays(t, n) { const d = new Date(t * 1000); d.setDate(d.getDate() + n); return Math.floor(d.getTime() / 1000); }
function ymd(t) { const d = new Date(t * 1000); return `${d.getFullYear()}${p2(d.getMonth() + 1)}${p2(d.getDate())}`; }
function stamp() { const d = new Date(); return `${d.getFullYear()}${p2(d.getMonth() + 1)}${p2(d.getDate())}${p2(d.getHours())}${p2(d.getMinutes())}${p2(d.getSeconds())}`; }
function daySum(t0) {
  const s = new Array(18).fill(0);
  const t1 = shiftDays(t0, 1);
  for (const [slot, c] of counts) if (slot >= t0 && slot < t1) c.forEach((v, i) => { s[i] += v; });
  return s;
}
seed();

// ---- the moving face ----
function facePos() {
  const t = (Date.now() / 1000) % 12;
  const x = 80 + t * 40;
  const y = 150 + 20 * Math.sin(t);
  const s = 60;
  return { l: Math.round(x), r: Math.round(x + s), t: Math.round(y), b: Math.round(y + s) };
}
function lowres() {
  const lw = Number(params.get('Liveview.Width')) || 640;
  const lh = Number(params.get('Liveview.Height')) || 360;
  const w = 64; const h = 36;
  const f = facePos();
  let s = '';
  for (let y = 0; y < h; y++) for (let x = 0; x < w; x++) {
    const X = (x * lw) / w; const Y = (y * lh) / h;
    let g = 60 + Math.round((x / w) * 90) + (y > 28 ? 40 : 0);
    if (X >= f.l && X <= f.r && Y >= f.t && Y <= f.b) g = 200;
    s += String.fromCharCode((Math.min(255, g) >> 3) + 35);
  }
  return `{\n\t"width":${w},\n\t"height":${h},\n\t"data0":"${s}",\n\t"latest":1338\n}\n`;
}

// ---- replies ----
const jsonEsc = (s) => s.replace(/["/\\]/g, (c) => '\\' + c);
function paramsJson() {
  const groups = new Map();
  for (const [k, v] of params) {
    const [g, key] = k.split('.');
    if (!groups.has(g)) groups.set(g, []);
    groups.get(g).push(`"${key}": "${jsonEsc(v)}"`);
  }
  groups.get('WebReportUpload').push(`"Pass": "${secrets.get('WebReportUpload.Pass') ? '****' : ''}"`, `"ProxyPass": "${secrets.get('WebReportUpload.ProxyPass') ? '****' : ''}"`);
  const parts = [...groups].map(([g, items]) => `"${g}": {${items.join(', ')}}`);
  parts.push('"Build": {"Name": "VEKA Audience Profiler", "Version": "1.6.2", "Build": "", "BuildDate": "2018-10-03"}');
  parts.push(`"Static": {"Width": 1280, "Height": 720, "Manufacturer": "Veka", "ModelName": "M3106", "Serial": "${SERIAL}", "Anonymous": ${anonymous ? 1 : 0}}`);
  return `{${parts.join(', ')}}\n`;
}
function errorsJson() {
  const e = [];
  if (!(Number(params.get('Counter.Enabled')) & 1)) e.push('"ENABLEDERROR":"VEKA Audience Profiler is disabled."');
  return `{"timestamp":"${Math.floor(Date.now() / 1000)}","errors":{${e.join(',')}}}\n`;
}
function dayXml() {
  const now = Math.floor(Date.now() / 1000);
  const t0 = localMidnight(now);
  let s = '<?xml version="1.0" encoding="UTF-8"?>\n<chart>\n  <series>\n';
  for (let h = 0; h < 24; h++) for (let m = 0; m < 60; m += 15) s += `    <value xid="${p2(h)}:${p2(m)}">${p2(h)}:${p2(m)}</value>\n`;
  s += '    <value xid="24:00">24:00</value>\n  </series>\n  <graphs>\n';
  for (let i = 0; i < 18; i++) {
    s += `    <graph gid="${SHORT[i]}" title="${LONG[i]}">\n`;
    for (let t = t0; ; t += 900) {
      const d = new Date(t * 1000);
      s += `      <value xid="${p2(d.getHours())}:${p2(d.getMinutes())}">${counts.get(t)?.[i] || 0}</value>\n`;
      if (t >= now) break;
    }
    s += '    </graph>\n';
  }
  return s + '  </graphs>\n</chart>\n';
}
function weekXml() {
  const now = Math.floor(Date.now() / 1000);
  const days = [7, 6, 5, 4, 3, 2, 1].map((k) => now - k * 86400);
  const lbl = (t) => { const d = new Date(t * 1000); return `${MONTHS[d.getMonth()]} ${d.getDate()}`; };
  let s = '<?xml version="1.0" encoding="UTF-8"?>\n<chart>\n  <series>\n';
  for (const t of days) s += `    <value xid="${lbl(t)}">${lbl(t)}</value>\n`;
  s += '  </series>\n  <graphs>\n';
  const sums = days.map((t) => daySum(localMidnight(t)));
  for (let i = 0; i < 18; i++) {
    s += `    <graph gid="${SHORT[i]}" title="${LONG[i]}">\n`;
    days.forEach((t, k) => { s += `      <value xid="${lbl(t)}">${sums[k][i]}</value>\n`; });
    s += '    </graph>\n';
  }
  return s + '  </graphs>\n</chart>\n';
}
function liveSum() {
  const today = daySum(localMidnight(Math.floor(Date.now() / 1000)));
  let s = `{\n  "serial":"${SERIAL}",\n  "name":"${jsonEsc(params.get('Counter.Name'))}",\n  "timestamp":"${stamp()}"`;
  for (let i = 0; i < 18; i++) s += `,\n  "${SHORT[i]}":${today[i]}`;
  return s + `,\n  "samples":${today[0] + today[1]}\n}`;
}
function last7(percent) {
  const t0 = localMidnight(Math.floor(Date.now() / 1000));
  const days = [-7, -6, -5, -4, -3, -2, -1, 0].map((k) => shiftDays(t0, k));
  const sums = days.map(daySum);
  const all = new Array(18).fill(0);
  sums.forEach((c) => c.forEach((v, i) => { all[i] += v; }));
  const block = (c) => {
    const n = c[0] + c[1];
    const v = (i) => {
      if (!percent) return String(c[i]);
      let x = 0;
      if (i === 0) x = n < 1 ? 0 : (100 * c[0]) / n;
      else if (i === 1) x = n < 1 ? 0 : (100 * c[1]) / n;
      else if (i < 10) x = c[0] < 1 ? 0 : (100 * c[i]) / n;
      else x = c[1] < 1 ? 0 : (100 * c[i]) / n;
      return x.toFixed(6);
    };
    return SHORT.map((s, i) => `"${s}":${v(i)}`).join(',') + `,"samples":${n}`;
  };
  let s = `{\n  "name": "${jsonEsc(params.get('Counter.Name'))}",\n  "timestamp" : "${stamp()}",\n`;
  if (!percent) s += `  "dayslist" : [${days.map((t) => `"${ymd(t)}"`).join(',')}],\n`;
  s += `  "data" : {\n    "alldays" : {${block(all)}},\n`;
  s += days.map((t, k) => `    "${ymd(t)}": {${block(sums[k])}}`).join(',\n');
  return s + '\n  }\n}\n';
}
function listCnt() {
  const days = [...new Set([...counts.keys()].sort((a, b) => a - b).map(ymd))];
  return `{\n"timestamp" : "${stamp()}",\n"days" : [${days.map((d) => `"${d}"`).join(', ')}]\n}\n`;
}
function parseExportArgs(q) {
  const date = q.get('date') ?? 'all';
  const resText = q.get('res') ?? '900';
  const m = /^(\d+)([smhSMH]?)$/.exec(resText);
  if (!m) return { error: 'illegal argument' };
  const res = Number(m[1]) * ({ s: 1, m: 60, h: 3600 }[m[2].toLowerCase()] || 1);
  if (res % 900) return { error: 'illegal argument' };
  const today = localMidnight(Math.floor(Date.now() / 1000));
  const toT = (s) => { const d = new Date(Number(s.slice(0, 4)), Number(s.slice(4, 6)) - 1, Number(s.slice(6, 8))); return Math.floor(d.getTime() / 1000); };
  let days = [];
  let all = false;
  for (const item of date.split(',')) {
    if (item.startsWith('all')) { all = true; continue; }
    if (item === 'today') days.push(today);
    else if (item === 'yesterday') days.push(shiftDays(today, -1));
    else if (/^\d{8}$/.test(item)) { if (toT(item) <= today) days.push(toT(item)); }
    else if (/^\d{8}-\d{8}$/.test(item)) {
      const a = toT(item.slice(0, 8)); const b = toT(item.slice(9));
      if (a <= today && b <= today && b >= a) for (let t = a; t <= b; t = shiftDays(t, 1)) days.push(t);
    } else return { error: 'illegal argument' };
  }
  if (all) { days = []; for (let k = 93; k >= 0; k--) days.push(shiftDays(today, -k)); }
  days = [...new Set(days)];
  if (days.length && (all || days.length > 1) && res < 900) return { error: 'Too much data chosen.' };
  return { days, res: res || 900, resText };
}
function buckets(t0, res) {
  const out = [];
  const end = shiftDays(t0, 1);
  for (let s = t0; s < end; s += res) {
    const c = new Array(18).fill(0);
    for (let t = s; t < s + res && t < end; t += 900) counts.get(t)?.forEach((v, i) => { c[i] += v; });
    out.push({ start: s, end: Math.min(s + res, end), c });
  }
  return out;
}
const fmt = (t) => { const d = new Date(t * 1000); return `${d.getFullYear()}-${p2(d.getMonth() + 1)}-${p2(d.getDate())} ${p2(d.getHours())}:${p2(d.getMinutes())}:${p2(d.getSeconds())}`; };
function exportCsv(q) {
  const a = parseExportArgs(q);
  if (a.error) return a.error;
  if (!a.days.length) return '';
  const now = Math.floor(Date.now() / 1000);
  let s = `Interval start,Interval stop,Camera serial number,Counter name${LONG.map((l) => `,${l}`).join('')}\n`;
  for (const t0 of a.days) for (const b of buckets(t0, a.res)) {
    if (b.start > now) break;
    s += `${fmt(b.start)},${fmt(b.end)},${SERIAL},${params.get('Counter.Name')}${b.c.map((v) => `,${v}`).join('')}\n`;
  }
  return s;
}
function exportJson(q) {
  const a = parseExportArgs(q);
  if (a.error) return a.error;
  let s = `{\n\t"counter" : {\n\t\t"name" : "${params.get('Counter.Name').replace(/"/g, '\\"')}",\n\t\t"serial" : "${SERIAL}",\n\t\t"delta" : ${a.res},\n\t\t"types" : {\n`;
  s += SHORT.map((n, i) => `\t\t\t"${n}" : ${300 + i}`).join(',\n') + '\n\t\t}\n\t},\n\t"data" : {\n';
  const rows = [];
  for (const t0 of a.days) for (const b of buckets(t0, a.res)) {
    const d = new Date(b.end * 1000);
    rows.push(`\t\t"${d.getFullYear()}${p2(d.getMonth() + 1)}${p2(d.getDate())}${p2(d.getHours())}${p2(d.getMinutes())}${p2(d.getSeconds())}" : [${b.c.join(',')}]`);
  }
  return s + rows.join(',\n') + '\n\t}\n}\n';
}
function exportXml(q) {
  const a = parseExportArgs(q);
  if (a.error) return a.error;
  let s = '<?xml version="1.0" ?>\n<!DOCTYPE countdata SYSTEM "appdata.dtd">\n\n<countdata version="2">\n\t<typedesc>\n';
  s += LONG.map((l, i) => `\t\t<type typeid="${300 + i}">${l}</type>\n`).join('') + '\t</typedesc>\n';
  for (const t0 of a.days) {
    const d = new Date(t0 * 1000);
    s += `\t<cntset name="${params.get('Counter.Name')}" starttime="${t0}" delta="${a.res}" date="${d.getFullYear()}-${p2(d.getMonth() + 1)}-${p2(d.getDate())}">\n`;
    for (const b of buckets(t0, a.res)) {
      const e = new Date(b.end * 1000);
      s += `\t\t<cntgroup endtime="${b.end}" time="${p2(e.getHours())}:${p2(e.getMinutes())}">\n`;
      s += b.c.map((v, i) => `\t\t\t<cnt typeid="${300 + i}">${v}</cnt>\n`).join('') + '\t\t</cntgroup>\n';
    }
    s += '\t</cntset>\n';
  }
  return s + '</countdata>\n';
}
// The application's tokenizer accepts a comma before a closing brace and reports it
// afterwards; JSON.parse would refuse it first.
function validateRules(text) {
  if (/,[\x00-\x20]*}/.test(text)) return 'ERROR: Invalid use of comma';
  try { JSON.parse(text); } catch (e) { return /end of JSON/i.test(e.message) ? 'ERROR: Incomplete json' : 'ERROR: Invalid json'; }
  return 'OK';
}
function eventsJson(q) {
  if (q.get('default') === 'yes') return `{"json":${DEFAULT_RULES},"status":"OK"}`;
  if (!q.has('json')) return `{"json":${rules},"status":"OK","default":"${rules === DEFAULT_RULES ? 'yes' : 'no'}"}`;
  const text = q.get('json');
  const v = validateRules(text);
  if (v !== 'OK') return `{"status":"JSON_ERROR", "msg":"${v}"}`;
  const obj = JSON.parse(text);
  const n = Object.values(obj).filter((x) => x && typeof x === 'object').length;
  for (const r of Object.values(obj)) {
    if (r && typeof r === 'object' && r.gender && !['male', 'female', 'any'].includes(r.gender)) return '{"status":"SETUP_ERROR", "msg":""}';
  }
  if (q.get('save') === 'yes') rules = text;
  return `{"status":"OK", "msg":"${n}"}`;
}

// ---- HTTP ----
function restart() {
  setTimeout(() => { down = true; setTimeout(() => { down = false; }, 2000); }, 300);
}
const TYPES = { '.html': 'text/html; charset=UTF-8', '.css': 'text/css', '.js': 'application/javascript', '.png': 'image/png', '.svg': 'image/svg+xml' };
const RESTART_HTML = '<html><head><meta http-equiv="Refresh" content="30; url=index.html"></head><body><pre>Restarting services, redirecting in 30 seconds..</pre></body></html>';

function api(name, q, level) {
  const plain = 'text/plain; charset=UTF-8';
  switch (name) {
    case 'lowres.json': return [plain, lowres()];
    case 'gender-live.json': {
      const f = facePos();
      return [plain, `{ "status": "OK", "detections" : [\n{\n\t"rect" : [${f.l}, ${f.r}, ${f.t}, ${f.b}],\n\t"gender"  : 64,\n\t"age"  : 31\n}]}\n`];
    }
    case 'viz.json': {
      const f = facePos();
      return ['text/plain', `{ "status": "OK", "width": ${params.get('Liveview.Width')}, "height": ${params.get('Liveview.Height')}, "detections" : [\n{\n\t"rect" : [${f.l - 4}, ${f.r + 4}, ${f.t - 4}, ${f.b + 4}],\n\t"observations"  : 12,\n\t"predictions"  : 0,\n\t"seconds"  : 1.200000,\n\t"id"  : 7,\n\t"gender"  : 1,\n\t"age"  : 31\n}]}\n`];
    }
    case 'fps.json': return ['text/plain', '{\n\t"fps":9.98\n}\n'];
    case 'errors.json': return [plain, errorsJson()];
    case 'params.json': return [plain, paramsJson()];
    case 'setparams': {
      let changed = false;
      for (const [k, v] of q) {
        if (k === 'WebReportUpload.Pass' && v === '****') continue;
        if (secrets.has(k)) { if (secrets.get(k) !== v) { secrets.set(k, v); changed = true; } continue; }
        if (params.has(k) && params.get(k) !== v) { params.set(k, v); changed = true; }
      }
      if (changed) restart();
      return ['text/plain', changed ? 'OK\n' : 'No params were changed.\n'];
    }
    case 'day.xml': return ['application/xml; charset=UTF-8', dayXml()];
    case 'week.xml': return ['application/xml; charset=UTF-8', weekXml()];
    case 'live-sum.json': return [plain, liveSum()];
    case 'last7.json': return [plain, last7(false)];
    case 'last7percent.json': return [plain, last7(true)];
    case 'list-cnt.json': return ['text/plain', listCnt()];
    case 'clear-data': {
      const date = q.get('date');
      if (date === null) counts.clear();
      else if (!/^\d{8}$/.test(date)) return ['text/plain', 'clear-data: malformed date'];
      else {
        const t0 = Math.floor(new Date(Number(date.slice(0, 4)), Number(date.slice(4, 6)) - 1, Number(date.slice(6))).getTime() / 1000);
        for (const k of [...counts.keys()]) if (k >= t0 && k < shiftDays(t0, 1)) counts.delete(k);
      }
      restart();
      return ['text/plain', 'OK'];
    }
    case 'export-csv': return [plain, exportCsv(q)];
    case 'export-json': return [plain, exportJson(q)];
    case 'export-xml': return ['application/xml; charset=UTF-8', exportXml(q)];
    case 'events.json': return ['text/plain', eventsJson(q)];
    case 'show-logs': return [plain, ' ===========================================\n    Mevo\n ===========================================\nmevo: Before main loop\n'];
    case 'generate-logs': return [`application/x-tgz\r\nContent-Disposition: attachment; filename="demographics-${SERIAL}-logs.tgz"`, zlib.gzipSync('logs')];
    case 'backup_params': return [`application/octet-stream\r\nContent-Disposition: attachment; filename="demographics-${SERIAL}-params.tar.gz"`, zlib.gzipSync('params')];
    case 'copy_params': return [`application/octet-stream\r\nContent-Disposition: attachment; filename="demographics-${SERIAL}-params-copy.tar.gz"`, zlib.gzipSync('params')];
    case 'restart': restart(); return ['text/html', RESTART_HTML];
    case 'reboot': restart(); return ['text/html', '<html><head><meta http-equiv="Refresh" content="0; url=web_restart.html"></head><body><pre>Restarting camera.</pre></body></html>'];
    case 'anonymize': {
      const type = q.get('type');
      if (type === 'soft' || type === 'hard') { anonymous = true; return ['text/html; charset=UTF-8', '{"status":"OV_OK"}']; }
      return ['text/html; charset=UTF-8', type === null ? '{"status":"OV_FAIL","message":"Missing \'type\' variable"}' : '{"status":"OV_FAIL"}'];
    }
    case 'anonymize_reset': anonymous = false; return ['text/html; charset=UTF-8', '{\n\t"status":"OV_OK"\n}\n'];
    default: return null;
  }
}

const server = http.createServer((req, res) => {
  if (down) { req.socket.destroy(); return; }
  const auth = /^Basic (.+)$/.exec(req.headers.authorization || '');
  const [user, pass] = auth ? Buffer.from(auth[1], 'base64').toString().split(':') : [];
  if (!USERS[user] || USERS[user][0] !== pass) {
    res.writeHead(401, { 'WWW-Authenticate': 'Basic realm="mevo"' });
    return res.end('Unauthorized');
  }
  const level = USERS[user][1];
  const url = new URL(req.url, 'http://x');
  const p = url.pathname;
  const need = p.includes('apiadmin') ? 2 : p.includes('apioperator') ? 1 : 0;
  if (!p.startsWith('/local/mevo/')) { res.writeHead(404); return res.end(); }
  if (/^\/local\/mevo\/api(operator|admin)?$/.test(p) || p === '/local/mevo/apiadmin/restore_backup') {
    if (level < need) { res.writeHead(403); return res.end('Forbidden'); }
    if (p.endsWith('restore_backup')) {
      const chunks = [];
      req.on('data', (c) => chunks.push(c));
      req.on('end', () => {
        const body = Buffer.concat(chunks);
        const start = body.indexOf('\r\n\r\n');
        const ok = start > 0 && body[start + 4] === 0x1f && body[start + 5] === 0x8b;
        res.writeHead(200, { 'Content-Type': 'text/html' });
        res.end(ok ? RESTART_HTML : 'File must be of format tar.gz');
        if (ok) restart();
      });
      return;
    }
    const raw = decodeURIComponent(url.search.slice(1));
    const amp = raw.indexOf('&');
    const name = (amp < 0 ? raw : raw.slice(0, amp)).replace(/=$/, '');
    const q = new Map();
    for (const item of (amp < 0 ? '' : raw.slice(amp + 1)).split('&')) {
      if (!item) continue;
      const eq = item.indexOf('=');
      q.set(eq < 0 ? item : item.slice(0, eq), eq < 0 ? '' : item.slice(eq + 1));
    }
    const qq = { get: (k) => (q.has(k) ? q.get(k) : null), has: (k) => q.has(k), [Symbol.iterator]: () => q[Symbol.iterator]() };
    const denied = (OPERATOR_LIST.includes(name) && need < 1) || (ADMIN_LIST.includes(name) && need < 2);
    const r = denied ? null : api(name, qq, need);
    if (!r) { res.writeHead(204); return res.end(); }
    const [ctype, body] = r;
    const [type, ...extra] = ctype.split('\r\n');
    const headers = { 'Content-Type': type, 'Cache-Control': 'no-store' };
    for (const h of extra) { const i = h.indexOf(':'); headers[h.slice(0, i)] = h.slice(i + 1).trim(); }
    res.writeHead(200, headers);
    return res.end(body);
  }
  let rel = decodeURIComponent(p.slice('/local/mevo/'.length)) || 'index.html';
  if (rel.endsWith('/')) rel += 'index.html';
  const file = path.join(HTML, path.normalize(rel));
  if (!file.startsWith(HTML) || !fs.existsSync(file) || !fs.statSync(file).isFile()) { res.writeHead(404); return res.end('Not found'); }
  res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream' });
  res.end(fs.readFileSync(file));
});

server.listen(PORT, '127.0.0.1', () => {
  console.log(`fixture: http://127.0.0.1:${server.address().port}/local/mevo/`);
});
