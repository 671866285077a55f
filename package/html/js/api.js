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

// The caller's role, as camera-time.json reports it; from an application without it, found by
// asking a harmless endpoint through the operator and admin paths (the HTTP service refuses a
// path above the caller's group before the application sees it).
let rolePromise = null;
export function currentRole() {
  if (!rolePromise) {
    rolePromise = (async () => {
      const known = (await cameraClock()).role;
      if (ROLE_RANK[known] !== undefined) return known;
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
  if (badge) badge.dataset.role = role;
  showLogin();
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
  if (!document.querySelector('link[rel="icon"]')) {
    const icon = document.createElement('link');
    icon.rel = 'icon';
    icon.type = 'image/svg+xml';
    icon.href = 'favicon.svg';
    document.head.appendChild(icon);
  }
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
  loadCounterName();
  return Promise.all([applyRole(), cameraClock().catch(() => null)]).then(([role]) => role);
}

async function loadCounterName() {
  try {
    const sum = await apiJson('live-sum.json');
    setCounterName(sum.name);
  } catch (e) {
    /* the page's own requests report a failure */
  }
}

function showLogin() {
  const badge = document.querySelector('header.top .role');
  if (!badge || !badge.dataset.role) return;
  const who = clock?.user ? `${clock.user} (${badge.dataset.role})` : badge.dataset.role;
  badge.textContent = `Logged in as ${who}`;
}

// ---- the camera's clock ----
//
// Every date a page shows or sends is the camera's: counts are kept in the camera's zone, and
// the browser may be anywhere. camera-time.json gives the camera's time and UTC offset; times
// are shown by shifting them by that offset and formatting them as UTC in the browser's locale.

let clock = null; // { epoch, utc_offset, zone, user, at: browser ms when read }
let clockPromise = null;

export function cameraClock() {
  if (!clockPromise) {
    clockPromise = (async () => {
      try {
        const c = await apiJson('camera-time.json');
        clock = { ...c, at: Date.now() };
      } catch (e) {
        // An application without the endpoint: the browser's clock and zone stand in.
        const now = new Date();
        clock = { epoch: Math.floor(now.getTime() / 1000), utc_offset: -now.getTimezoneOffset() * 60, zone: '', user: '', at: Date.now(), guessed: true };
      }
      showLogin();
      return clock;
    })();
  }
  return clockPromise;
}

// The camera's "now" in epoch seconds (its clock read once, advanced by the browser's).
export function cameraNow() {
  if (!clock) return Math.floor(Date.now() / 1000);
  return clock.epoch + Math.floor((Date.now() - clock.at) / 1000);
}

export function cameraZone() {
  if (!clock) return '';
  if (clock.zone) return clock.zone;
  const h = clock.utc_offset / 3600;
  return `UTC${h >= 0 ? '+' : ''}${h}`;
}

// A Date whose UTC fields are the camera's local wall time at epoch seconds t.
export function cameraWall(t) {
  return new Date((t + (clock ? clock.utc_offset : 0)) * 1000);
}

// The camera's date (YYYYMMDD) of epoch seconds t (default: now).
export function cameraYmd(t = cameraNow()) {
  const d = cameraWall(t);
  return `${d.getUTCFullYear()}${p2(d.getUTCMonth() + 1)}${p2(d.getUTCDate())}`;
}

const p2 = (n) => String(n).padStart(2, '0');

// YYYYMMDD shifted by n days (calendar arithmetic, no zone involved).
export function addDays(ymdText, n) {
  const d = ymdUtc(ymdText);
  d.setUTCDate(d.getUTCDate() + n);
  return `${d.getUTCFullYear()}${p2(d.getUTCMonth() + 1)}${p2(d.getUTCDate())}`;
}

export function ymdUtc(s) {
  return new Date(Date.UTC(Number(s.slice(0, 4)), Number(s.slice(4, 6)) - 1, Number(s.slice(6, 8))));
}

// The one date format of the pages: the browser's locale, medium length ("10 Dec 2026").
const DATE_FMT = new Intl.DateTimeFormat(undefined, { timeZone: 'UTC', day: 'numeric', month: 'short', year: 'numeric' });
const DAY_FMT = new Intl.DateTimeFormat(undefined, { timeZone: 'UTC', day: 'numeric', month: 'short' });
const WEEKDAY_FMT = new Intl.DateTimeFormat(undefined, { timeZone: 'UTC', weekday: 'short' });
const TIME_FMT = new Intl.DateTimeFormat(undefined, { timeZone: 'UTC', hour: '2-digit', minute: '2-digit', second: '2-digit' });
const HM_FMT = new Intl.DateTimeFormat(undefined, { timeZone: 'UTC', hour: '2-digit', minute: '2-digit' });

export function fmtDate(ymdText) {
  return DATE_FMT.format(ymdUtc(ymdText));
}
// The same without the year, where the year is plain (chart axes).
export function fmtDay(ymdText) {
  return DAY_FMT.format(ymdUtc(ymdText));
}
// Weekday name of the browser's locale; 0 = Sunday.
export function fmtWeekday(w) {
  return WEEKDAY_FMT.format(new Date(Date.UTC(2023, 0, 1 + w)));
}
// Camera wall time of epoch seconds t.
export function fmtTime(t) {
  return TIME_FMT.format(cameraWall(t));
}
export function fmtHourMinute(h, m = 0) {
  return HM_FMT.format(new Date(Date.UTC(2023, 0, 1, h, m)));
}

// ---- small helpers ----

export function $(sel, root = document) {
  return root.querySelector(sel);
}

export function setStatusLine(el, kind, text) {
  el.className = `status-line ${kind}`;
  el.textContent = text;
}

// YYYYMMDD as the YYYY-MM-DD value of a date input.
export function inputYmd(s) {
  return `${s.slice(0, 4)}-${s.slice(4, 6)}-${s.slice(6, 8)}`;
}
