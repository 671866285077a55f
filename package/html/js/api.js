// Requests to the application and the parts every page shares: the navigation bar, the
// message banners (failed requests, restarts, the application's own status messages) and
// the caller's role.
//
// Endpoints are reached as api?NAME&args (viewers), apioperator?NAME&args (operators) and
// apiadmin?NAME&args (administrators), relative to the pages' folder. The browser does the
// HTTP Digest login itself and reuses it for these requests.

const LEVEL_PATH = { viewer: 'api', operator: 'apioperator', admin: 'apiadmin' };

export class ApiError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

// Builds "api?NAME&key=value..." with the values percent-encoded. The application decodes the
// whole query before splitting it at "&", so a value must not contain "&" (callers check).
export function apiUrl(name, args = {}, level = 'viewer') {
  let q = name;
  for (const [k, v] of Object.entries(args)) {
    if (v === undefined || v === null) continue;
    q += v === true ? `&${k}` : `&${k}=${encodeURIComponent(String(v))}`;
  }
  return `${LEVEL_PATH[level]}?${q}`;
}

function describeStatus(status) {
  if (status === 401) return 'You are not logged in (or the login was refused).';
  if (status === 403) return 'Your account is not allowed to do this.';
  if (status === 204) return 'The application refused the request.';
  return `The request failed (HTTP ${status}).`;
}

// Fetches an endpoint and returns its text. Throws ApiError with a readable message on a
// network failure, a refused request or an error status.
export async function apiText(name, args = {}, level = 'viewer', init = {}) {
  let resp;
  try {
    resp = await fetch(apiUrl(name, args, level), { cache: 'no-store', ...init });
  } catch (e) {
    throw new ApiError('The camera application cannot be reached. It may be restarting.', 0);
  }
  // A refused API call is a 204 whose diagnostic body the browser drops.
  if (!resp.ok || resp.status === 204) throw new ApiError(describeStatus(resp.status), resp.status);
  return resp.text();
}

// JSON replies; a JSONP-free call is plain JSON. Throws ApiError when the text does not parse.
export async function apiJson(name, args = {}, level = 'viewer') {
  const text = await apiText(name, args, level);
  try {
    return JSON.parse(text);
  } catch (e) {
    throw new ApiError(`The reply of ${name} could not be read.`, 200);
  }
}

export async function apiXml(name, args = {}, level = 'viewer') {
  const text = await apiText(name, args, level);
  const doc = new DOMParser().parseFromString(text, 'application/xml');
  if (doc.querySelector('parsererror')) throw new ApiError(`The reply of ${name} could not be read.`, 200);
  return doc;
}

// ---- banners ----

function bannerHost() {
  let host = document.getElementById('banners');
  if (!host) {
    host = document.createElement('div');
    host.id = 'banners';
    host.className = 'banners';
    document.querySelector('header.top')?.after(host);
  }
  return host;
}

// Shows (or replaces) the banner with this id; kind is error, warn, info or ok.
export function showBanner(id, kind, text, title = '') {
  const host = bannerHost();
  let el = host.querySelector(`[data-banner="${id}"]`);
  if (!el) {
    el = document.createElement('div');
    el.dataset.banner = id;
    el.setAttribute('role', kind === 'error' ? 'alert' : 'status');
    host.appendChild(el);
  }
  el.className = `banner ${kind}`;
  el.textContent = '';
  if (title) {
    const b = document.createElement('b');
    b.textContent = title;
    el.appendChild(b);
  }
  el.appendChild(document.createTextNode(text));
  return el;
}

export function hideBanner(id) {
  bannerHost().querySelector(`[data-banner="${id}"]`)?.remove();
}

// Shows a failed request in the page's connection banner; cleared by the next success.
export function reportFailure(err, what = '') {
  const msg = err instanceof ApiError ? err.message : String(err?.message || err);
  showBanner('connection', 'error', msg, what ? `${what}:` : '');
}

export function reportSuccess() {
  if (!restarting) hideBanner('connection');
}

// ---- restarts ----

let restarting = false;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function reachable() {
  try {
    const r = await fetch(apiUrl('errors.json'), { cache: 'no-store' });
    return r.ok && r.status !== 204;
  } catch (e) {
    return false;
  }
}

// After a request that restarts the application: shows the restart banner, waits until the
// old process has gone (or a short while has passed) and the new one answers, then calls
// onBack (default: reload the page). Gives up with an error banner after `limitMs`.
export async function waitForRestart(reason = 'The application is restarting', onBack = null,
                                     limitMs = 180000) {
  restarting = true;
  hideBanner('connection');
  showBanner('restart', 'warn', `${reason}… this page reconnects by itself.`, 'Please wait.');
  const start = Date.now();
  let sawDown = false;
  // The old process finishes its frame and shuts down first; wait to see it go.
  while (Date.now() - start < 15000) {
    if (!(await reachable())) {
      sawDown = true;
      break;
    }
    await sleep(500);
  }
  while (Date.now() - start < limitMs) {
    if (await reachable()) {
      restarting = false;
      showBanner('restart', 'ok', sawDown ? 'The application has restarted.' : 'The application is back.');
      if (onBack) await onBack();
      else location.reload();
      setTimeout(() => hideBanner('restart'), 4000);
      return true;
    }
    await sleep(1000);
  }
  restarting = false;
  showBanner('restart', 'error', 'The application did not come back. Check the camera and reload this page.');
  return false;
}

export function isRestarting() {
  return restarting;
}

// ---- role ----

// The caller's role, found by asking a harmless endpoint through the operator and admin paths:
// the HTTP service refuses a path above the caller's group before the application sees it.
let rolePromise = null;
export function currentRole() {
  if (!rolePromise) {
    rolePromise = (async () => {
      const ok = async (level) => {
        try {
          const r = await fetch(apiUrl('errors.json', {}, level), { cache: 'no-store' });
          return r.ok && r.status !== 204;
        } catch (e) {
          return false;
        }
      };
      if (await ok('admin')) return 'admin';
      if (await ok('operator')) return 'operator';
      return 'viewer';
    })();
  }
  return rolePromise;
}

export const ROLE_RANK = { viewer: 0, operator: 1, admin: 2 };

// Disables every element marked data-needs="operator"/"admin" above the caller's role and
// shows the elements marked data-notice-for="viewer"/"operator" meant for lower roles.
export async function applyRole() {
  const role = await currentRole();
  const rank = ROLE_RANK[role];
  for (const el of document.querySelectorAll('[data-needs]')) {
    const allowed = rank >= ROLE_RANK[el.dataset.needs];
    if ('disabled' in el) el.disabled = el.disabled || !allowed;
    el.classList.toggle('locked', !allowed);
    if (!allowed) el.title = `Needs an ${el.dataset.needs} account`;
  }
  for (const el of document.querySelectorAll('[data-notice-below]')) {
    el.classList.toggle('hidden', rank >= ROLE_RANK[el.dataset.noticeBelow]);
  }
  const badge = document.querySelector('header.top .role');
  if (badge) badge.textContent = `Logged in as ${role}`;
  document.body.dataset.role = role;
  return role;
}

// ---- shared page frame ----

const PAGES = [
  ['index.html', 'Live'],
  ['counts.html', 'Counts'],
  ['settings.html', 'Settings'],
  ['events.html', 'Event rules'],
  ['maintenance.html', 'Maintenance'],
];

function renderHeader() {
  const header = document.createElement('header');
  header.className = 'top';
  const here = location.pathname.split('/').pop() || 'index.html';
  const brand = document.createElement('div');
  brand.className = 'brand';
  brand.innerHTML = 'Audience Profiler<small id="counter-name"></small>';
  const nav = document.createElement('nav');
  nav.className = 'main';
  for (const [href, label] of PAGES) {
    const a = document.createElement('a');
    a.href = href;
    a.textContent = label;
    if (href === here) {
      a.className = 'current';
      a.setAttribute('aria-current', 'page');
    }
    nav.appendChild(a);
  }
  const role = document.createElement('span');
  role.className = 'role';
  header.append(brand, nav, role);
  document.body.prepend(header);
}

// The application's status messages ("errors.json"), shown on every page.
async function refreshStatus() {
  if (restarting) return;
  try {
    const data = JSON.parse(await apiText('errors.json'));
    const errors = data.errors || {};
    const host = bannerHost();
    const keys = Object.keys(errors);
    for (const el of host.querySelectorAll('[data-banner^="status-"]')) {
      if (!keys.includes(el.dataset.banner.slice(7))) el.remove();
    }
    for (const k of keys) showBanner(`status-${k}`, 'warn', errors[k], 'Camera status:');
    reportSuccess();
  } catch (e) {
    reportFailure(e, 'Status');
  }
}

export function setCounterName(name) {
  const el = document.getElementById('counter-name');
  if (el) el.textContent = name ? `· ${name}` : '';
}

// Lays out the shared header, starts the status polling and the role check.
export function initPage() {
  renderHeader();
  bannerHost();
  refreshStatus();
  setInterval(refreshStatus, 5000);
  return applyRole();
}

// ---- small helpers ----

export function $(sel, root = document) {
  return root.querySelector(sel);
}

export function setStatusLine(el, kind, text) {
  el.className = `status-line ${kind}`;
  el.textContent = text;
}

// Local date as YYYYMMDD, the form the endpoints use.
export function ymd(d) {
  return `${d.getFullYear()}${String(d.getMonth() + 1).padStart(2, '0')}${String(d.getDate()).padStart(2, '0')}`;
}

export function prettyYmd(s) {
  return `${s.slice(0, 4)}-${s.slice(4, 6)}-${s.slice(6, 8)}`;
}
