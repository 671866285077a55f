// Small SVG bar charts, drawn by hand so the pages need no library.
//
// barChart(el, { labels, series: [{ name, cls, color, values }], stacked, unit, labelEvery })
// draws one group of bars per label; stacked series are piled, others stand side by side.

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

const drawn = new Set();
let resizeTimer = 0;
window.addEventListener('resize', () => {
  clearTimeout(resizeTimer);
  resizeTimer = setTimeout(() => {
    for (const host of drawn) if (host.isConnected) barChart(host, host.chartOptions);
  }, 150);
});

export function barChart(host, opts) {
  const { labels, series, stacked = false, unit = '', labelEvery = 1, height = 220 } = opts;
  // Drawn at the host's own width so the labels keep their size on a phone.
  const width = Math.max(280, Math.round(host.clientWidth || 640));
  host.chartOptions = opts;
  drawn.add(host);
  const left = 40;
  const right = 8;
  const top = 10;
  const bottom = 34;
  const plotW = width - left - right;
  const plotH = height - top - bottom;
  const n = labels.length;

  let max = 0;
  for (let i = 0; i < n; i++) {
    if (stacked) max = Math.max(max, series.reduce((s, se) => s + (se.values[i] || 0), 0));
    else for (const se of series) max = Math.max(max, se.values[i] || 0);
  }
  const integers = series.every((se) => se.values.every((v) => Number.isInteger(v || 0)));
  max = niceMax(max, integers);
  const ticks = tickCount(max, integers);

  const svg = node('svg', { viewBox: `0 0 ${width} ${height}`, class: 'chart', role: 'img' });
  const title = node('title', {}, opts.title || '');
  svg.appendChild(title);

  for (let k = 0; k <= ticks; k++) {
    const v = (max * k) / ticks;
    const y = top + plotH - (plotH * k) / ticks;
    svg.appendChild(node('line', { x1: left, x2: width - right, y1: y, y2: y, class: 'axis' }));
    const txt = Number.isInteger(v) ? String(v) : v.toFixed(1);
    svg.appendChild(node('text', { x: left - 4, y: y + 4, 'text-anchor': 'end' }, txt + unit));
  }

  const slot = plotW / Math.max(1, n);
  const groupW = slot * 0.8;
  const barW = stacked ? groupW : groupW / Math.max(1, series.length);
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
    // Thin out the x labels when the chart is narrow.
    const every = Math.max(labelEvery, Math.ceil((n * 36) / plotW / labelEvery) * labelEvery);
    if (i % every === 0) {
      svg.appendChild(node('text', { x: (left + slot * i + slot / 2).toFixed(1), y: height - bottom + 16, 'text-anchor': 'middle' }, labels[i]));
    }
  }

  host.textContent = '';
  host.appendChild(svg);
  const legend = document.createElement('div');
  legend.className = 'legend';
  for (const se of series) {
    const span = document.createElement('span');
    const i = document.createElement('i');
    i.style.background = se.color;
    span.append(i, se.name);
    legend.appendChild(span);
  }
  host.appendChild(legend);
  return svg;
}
