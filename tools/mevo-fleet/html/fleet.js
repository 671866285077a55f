// The fleet page: cameras with their last upload, today's counts, the last seven days of the
// whole fleet (the camera's JSON export at one bucket a day) and the export links.
import { barChart } from './js/charts.js';

const $ = (sel) => document.querySelector(sel);
const ymd = (d) => d.toISOString().slice(0, 10).replaceAll('-', '');
const when = (s) => (s > 0 ? new Date(s * 1000).toLocaleString() : 'never');

async function json(path) {
  const resp = await fetch(path, { cache: 'no-store' });
  if (!resp.ok) throw new Error(`${path}: HTTP ${resp.status}`);
  return resp.json();
}

function showCameras(data) {
  $('#today-total').textContent = data.today.total;
  $('#today-men').textContent = data.today.men;
  $('#today-women').textContent = data.today.women;
  const body = $('#cameras tbody');
  body.textContent = '';
  const scope = $('#exp-scope');
  scope.innerHTML = '<option value="">All cameras</option>';
  const groups = new Set();
  for (const c of data.cameras) {
    const tr = document.createElement('tr');
    if (c.stale) tr.className = 'warn';
    for (const v of [c.serial, c.name, c.group, when(c.last_upload), when(c.last_saved), c.today.total]) {
      const td = document.createElement('td');
      td.textContent = String(v);
      tr.appendChild(td);
    }
    body.appendChild(tr);
    scope.add(new Option(`${c.serial} ${c.name}`, `camera=${encodeURIComponent(c.serial)}`));
    for (const g of c.group.split(',')) if (g) groups.add(g);
  }
  for (const g of groups) scope.add(new Option(`Group ${g}`, `group=${encodeURIComponent(g)}`));
}

async function showWeek() {
  const to = new Date();
  const from = new Date(to.getTime() - 6 * 86400000);
  const doc = await json(`api/export-json?date=${ymd(from)}-${ymd(to)}&res=24h`);
  const keys = Object.keys(doc.data).sort();
  // A day's bucket ends at the next midnight: label it by its start.
  const labels = keys.map((k) => {
    const d = new Date(Date.UTC(+k.slice(0, 4), +k.slice(4, 6) - 1, +k.slice(6, 8)) - 86400000);
    return d.toISOString().slice(5, 10);
  });
  barChart($('#week-chart'), {
    labels,
    stacked: true,
    series: [
      { name: 'men', color: 'var(--men)', values: keys.map((k) => doc.data[k][0]) },
      { name: 'women', color: 'var(--women)', values: keys.map((k) => doc.data[k][1]) },
    ],
  });
}

function updateLinks() {
  const from = ($('#exp-from').value || '').replaceAll('-', '');
  const to = ($('#exp-to').value || '').replaceAll('-', '');
  const scope = $('#exp-scope').value;
  const args = `${scope ? scope + '&' : ''}date=${from}-${to}&res=${$('#exp-res').value}`;
  $('#exp-csv').href = `api/export-csv?${args}`;
  $('#exp-json').href = `api/export-json?${args}`;
}

async function start() {
  const today = new Date().toISOString().slice(0, 10);
  $('#exp-from').value = today;
  $('#exp-to').value = today;
  for (const id of ['#exp-scope', '#exp-from', '#exp-to', '#exp-res']) $(id).addEventListener('change', updateLinks);
  showCameras(await json('api/cameras.json'));
  updateLinks();
  await showWeek();
}

start().catch((e) => { document.querySelector('main').prepend(Object.assign(document.createElement('p'), { className: 'banner error', textContent: e.message })); });
