// Small SVG charts drawn by hand so the pages need no library: bar charts and a heat map, each
// with axis titles, a legend and a note when there is nothing to draw.
//
// barChart(el, { labels, series: [{ name, color, values }], stacked, unit, labelEvery, height,
//                title, xTitle, yTitle, empty })
// heatMap(el, { rows, cols, values (rows x cols, null = no data), title, xTitle, yTitle,
//               colLabelEvery, legendTitle, empty })

const NS = 'http://www.w3.org/2000/svg';

function node(name, attrs = {}, text = '') {
  const el = document.createElementNS(NS, name);
  for (const [k, v] of Object.entries(attrs)) el.setAttribute(k, String(v));
  if (text) el.textContent = text;
  return el;
}

function niceMax(v, integers) {
  if (integers && v <= 4) return 4;
  if (v <= 0) return 1;
  const p = 10 ** Math.floor(Math.log10(v));
  for (const m of [1, 2, 2.5, 5, 10]) if (m * p >= v) return m * p;
  return 10 * p;
}

// Grid lines: counts get whole-number steps.
function tickCount(max, integers) {
  if (!integers) return 4;
  for (const n of [4, 5, 2]) if (max % n === 0) return n;
  return 1;
}

const drawn = new Map();
let resizeTimer = 0;
window.addEventListener('resize', () => {
  clearTimeout(resizeTimer);
  resizeTimer = setTimeout(() => {
    for (const [host, redraw] of drawn) if (host.isConnected) redraw();
  }, 150);
});

// Room an x label needs at 11 px, with a gap: the locale decides how long times are.
function labelRoom(labels) {
  const longest = labels.reduce((m, l) => Math.max(m, String(l).length), 0);
  return longest * 6.6 + 10;
}

function axisTitles(svg, { width, height, left, top, plotH, xTitle, yTitle }) {
  if (xTitle) svg.appendChild(node('text', { x: left + (width - left) / 2, y: height - 4, 'text-anchor': 'middle', class: 'title x-title' }, xTitle));
  if (yTitle) {
    const y = top + plotH / 2;
    svg.appendChild(node('text', { x: 12, y, 'text-anchor': 'middle', transform: `rotate(-90 12 ${y})`, class: 'title y-title' }, yTitle));
  }
}

function finish(host, svg, legendItems, note) {
  host.textContent = '';
  host.appendChild(svg);
  if (legendItems.length) {
    const legend = document.createElement('div');
    legend.className = 'legend';
    for (const [name, color] of legendItems) {
      const span = document.createElement('span');
      const i = document.createElement('i');
      i.style.background = color;
      span.append(i, name);
      legend.appendChild(span);
    }
    host.appendChild(legend);
  }
  if (note) {
    const p = document.createElement('p');
    p.className = 'chart-zone';
    p.textContent = note;
    host.appendChild(p);
  }
}

export function barChart(host, opts) {
  const { labels, series, stacked = false, unit = '', labelEvery = 1, height = 230 } = opts;
  // Drawn at the host's own width so the labels keep their size on a phone.
  const width = Math.max(280, Math.round(host.clientWidth || 640));
  drawn.set(host, () => barChart(host, opts));
  const left = 52;
  const right = 8;
  const top = 10;
  const bottom = 48;
  const plotW = width - left - right;
  const plotH = height - top - bottom;
  const n = labels.length;

  let max = 0;
  let total = 0;
  for (let i = 0; i < n; i++) {
    if (stacked) max = Math.max(max, series.reduce((s, se) => s + (se.values[i] || 0), 0));
    else for (const se of series) max = Math.max(max, se.values[i] || 0);
    for (const se of series) total += se.values[i] || 0;
  }
  const integers = series.every((se) => se.values.every((v) => Number.isInteger(v || 0)));
  max = niceMax(max, integers);
  const ticks = tickCount(max, integers);

  const svg = node('svg', { viewBox: `0 0 ${width} ${height}`, class: 'chart', role: 'img', 'aria-label': opts.title || '' });
  svg.appendChild(node('title', {}, opts.title || ''));
  for (let k = 0; k <= ticks; k++) {
    const v = (max * k) / ticks;
    const y = top + plotH - (plotH * k) / ticks;
    svg.appendChild(node('line', { x1: left, x2: width - right, y1: y, y2: y, class: 'axis' }));
    const txt = Number.isInteger(v) ? String(v) : v.toFixed(1);
    svg.appendChild(node('text', { x: left - 4, y: y + 4, 'text-anchor': 'end' }, txt + unit));
  }
  const slot = plotW / Math.max(1, n);
  // A lone day is a bar, not a wall.
  const groupW = Math.min(slot * 0.8, 64);
  const barW = stacked ? groupW : groupW / Math.max(1, series.length);
  // Thin out the x labels when the chart is narrow.
  const every = Math.max(labelEvery, Math.ceil((n * labelRoom(labels)) / plotW / labelEvery) * labelEvery);
  for (let i = 0; i < n; i++) {
    const x0 = left + slot * i + (slot - groupW) / 2;
    let base = 0;
    series.forEach((se, s) => {
      const v = se.values[i] || 0;
      if (v <= 0) return;
      const h = (plotH * v) / max;
      const x = stacked ? x0 : x0 + barW * s;
      const y = top + plotH - (stacked ? (plotH * base) / max : 0) - h;
      const rect = node('rect', {
        x: x.toFixed(1), y: y.toFixed(1), width: Math.max(1, barW - 1).toFixed(1), height: h.toFixed(1),
        fill: se.color, 'data-series': se.name, 'data-label': labels[i], 'data-value': v,
      });
      rect.appendChild(node('title', {}, `${labels[i]} · ${se.name}: ${Number.isInteger(v) ? v : v.toFixed(1)}${unit}`));
      svg.appendChild(rect);
      base += v;
    });
    if (i % every === 0) {
      svg.appendChild(node('text', { x: (left + slot * i + slot / 2).toFixed(1), y: top + plotH + 15, 'text-anchor': 'middle', class: 'x-label' }, labels[i]));
    }
  }
  axisTitles(svg, { width, height, left, top, plotH, xTitle: opts.xTitle, yTitle: opts.yTitle });
  if (total === 0 && opts.empty) {
    svg.appendChild(node('text', { x: left + plotW / 2, y: top + plotH / 2, 'text-anchor': 'middle', class: 'empty' }, opts.empty));
  }
  svg.dataset.total = String(total);
  finish(host, svg, series.length > 1 || opts.legend ? series.map((se) => [se.name, se.color]) : [], opts.note);
  return svg;
}

// Cells shaded from the card colour to the accent by value / max.
export function heatMap(host, opts) {
  const { rows, cols, values, colLabelEvery = 3 } = opts;
  const width = Math.max(280, Math.round(host.clientWidth || 640));
  drawn.set(host, () => heatMap(host, opts));
  const left = 62;
  const right = 8;
  const top = 8;
  const bottom = 44;
  const cellW = (width - left - right) / cols.length;
  const cellH = Math.max(16, Math.min(28, cellW));
  const plotH = cellH * rows.length;
  const height = top + plotH + bottom;
  let max = 0;
  for (const r of values) for (const v of r) if (v !== null) max = Math.max(max, v);
  const svg = node('svg', { viewBox: `0 0 ${width} ${height}`, class: 'chart heat', role: 'img', 'aria-label': opts.title || '' });
  svg.appendChild(node('title', {}, opts.title || ''));
  const every = Math.max(colLabelEvery, Math.ceil((cols.length * labelRoom(cols)) / (width - left - right) / colLabelEvery) * colLabelEvery);
  rows.forEach((rowName, r) => {
    svg.appendChild(node('text', { x: left - 4, y: top + cellH * r + cellH / 2 + 4, 'text-anchor': 'end' }, rowName));
    cols.forEach((colName, c) => {
      const v = values[r][c];
      const attrs = { x: (left + cellW * c).toFixed(1), y: (top + cellH * r).toFixed(1), width: Math.max(1, cellW - 1).toFixed(1), height: cellH - 1, 'data-row': rowName, 'data-col': colName };
      if (v === null) attrs.class = 'cell-empty';
      else {
        attrs.fill = 'var(--accent)';
        attrs['fill-opacity'] = max > 0 ? (0.08 + (0.92 * v) / max).toFixed(3) : 0.08;
        attrs['data-value'] = v;
      }
      const rect = node('rect', attrs);
      rect.appendChild(node('title', {}, `${rowName} ${colName}: ${v === null ? 'no data' : `${v.toFixed(1)} ${opts.unitText || ''}`}`));
      svg.appendChild(rect);
    });
  });
  cols.forEach((colName, c) => {
    if (c % every === 0) svg.appendChild(node('text', { x: (left + cellW * c + cellW / 2).toFixed(1), y: top + plotH + 14, 'text-anchor': 'middle', class: 'x-label' }, colName));
  });
  axisTitles(svg, { width, height, left, top, plotH, xTitle: opts.xTitle, yTitle: opts.yTitle });
  if (max === 0 && opts.empty) {
    svg.appendChild(node('text', { x: left + (width - left) / 2, y: top + plotH / 2, 'text-anchor': 'middle', class: 'empty' }, opts.empty));
  }
  const legend = [['no data', 'var(--bg)'], [`few ${opts.unitText || ''}`.trim(), 'color-mix(in srgb, var(--accent) 20%, transparent)'], [`most (${max.toFixed(1)})`, 'var(--accent)']];
  finish(host, svg, legend, opts.note);
  return svg;
}
