// Maintenance page: logs, diagnostic archive, parameter backup/copy and restore, restart and
// reboot (operators), privacy mode (administrators).
import {
  apiText, apiUrl, currentRole, initPage, reportFailure, reportSuccess, waitForRestart, setStatusLine, $,
} from './api.js';

async function showLogs() {
  const out = $('#logs');
  const status = $('#logs-status');
  setStatusLine(status, '', 'Loading…');
  try {
    const text = await apiText('show-logs', {}, 'operator');
    out.textContent = text || '(empty)';
    out.classList.remove('hidden');
    out.scrollTop = out.scrollHeight;
    setStatusLine(status, 'ok', `${text.split('\n').length} lines.`);
  } catch (e) {
    setStatusLine(status, 'error', e.message);
  }
}

// Downloads an archive endpoint after checking that the camera built one (an empty reply
// means the archive could not be made).
async function downloadArchive(name, fallbackName, statusEl) {
  setStatusLine(statusEl, '', 'Preparing…');
  try {
    // Secrets are put in a backup only on the administrators' path.
    const level = (await currentRole()) === 'admin' ? 'admin' : 'operator';
    const resp = await fetch(apiUrl(name, {}, level), { cache: 'no-store' });
    if (!resp.ok || resp.status === 204) {
      throw new Error(resp.status === 403 ? 'Your account is not allowed to do this.' : `The request failed (HTTP ${resp.status}).`);
    }
    const blob = await resp.blob();
    if (blob.size === 0) throw new Error('The camera could not build the archive.');
    const disp = resp.headers.get('Content-Disposition') || '';
    const m = /filename="([^"]+)"/.exec(disp);
    const a = document.createElement('a');
    a.href = URL.createObjectURL(blob);
    a.download = m ? m[1] : fallbackName;
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
    setStatusLine(statusEl, 'ok', `Downloaded ${a.download} (${Math.round(blob.size / 1024)} KiB).`);
  } catch (e) {
    setStatusLine(statusEl, 'error', e.message?.startsWith('Failed to fetch') ? 'The camera application cannot be reached.' : e.message);
  }
}

async function restore(ev) {
  ev.preventDefault();
  const status = $('#restore-status');
  const file = $('#restore-file').files[0];
  if (!file) return setStatusLine(status, 'error', 'Choose a parameter archive (.tar.gz) first.');
  if (!confirm(`Restore the settings from ${file.name}? The application restarts afterwards.`)) return;
  const form = new FormData();
  form.append('file', file, file.name);
  setStatusLine(status, '', 'Uploading…');
  try {
    const resp = await fetch('apiadmin/restore_backup', { method: 'POST', body: form, cache: 'no-store' });
    if (resp.status === 403) throw new Error('Restoring settings needs an administrator account.');
    if (resp.status === 413) throw new Error('The file is too large.');
    if (!resp.ok) throw new Error(`The upload failed (HTTP ${resp.status}).`);
    const html = await resp.text();
    const text = new DOMParser().parseFromString(html, 'text/html').body.textContent.trim();
    if (!html.includes('Restarting services')) {
      setStatusLine(status, 'error', `Not restored: ${text || 'no answer'}`);
      return;
    }
    setStatusLine(status, 'ok', 'Settings restored. The application restarts to use them.');
    await waitForRestart('Settings restored; the application is restarting', async () => {
      setStatusLine(status, 'ok', 'Settings restored and running.');
    });
  } catch (e) {
    setStatusLine(status, 'error', e.message?.startsWith('Failed to fetch') ? 'The camera application cannot be reached.' : e.message);
  }
}

async function restartApp(kind) {
  const question = kind === 'reboot'
    ? 'Reboot the camera? Counting stops until it is back (a few minutes).'
    : 'Restart the application? Counting pauses for a few seconds.';
  if (!confirm(question)) return;
  const status = $('#power-status');
  try {
    await apiText(kind, {}, 'operator');
    setStatusLine(status, 'ok', kind === 'reboot' ? 'The camera is rebooting.' : 'The application is restarting.');
    await waitForRestart(kind === 'reboot' ? 'The camera is rebooting' : 'The application is restarting', async () => {
      setStatusLine(status, 'ok', 'Running again.');
    }, kind === 'reboot' ? 600000 : 180000);
  } catch (e) {
    setStatusLine(status, 'error', e.message);
  }
}

async function refreshPrivacy() {
  try {
    const params = JSON.parse(await apiText('params.json'));
    const on = Number(params.Static?.Anonymous) === 1;
    $('#privacy-state').textContent = on ? 'on: the camera shows the privacy picture instead of its image' : 'off';
    $('#privacy-state').dataset.on = on ? '1' : '0';
    reportSuccess();
  } catch (e) {
    reportFailure(e, 'Privacy state');
  }
}

const PRIVACY_MESSAGES = {
  no_operators: 'No operator account would remain to use the camera. Create an operator account first.',
  'Could not lock accounts': 'The administrator accounts could not all be locked.',
  'Could not anonimize': 'The privacy picture could not be switched on.',
  "Missing 'type' variable": 'The request had no type.',
};

async function privacy(type) {
  const status = $('#privacy-status');
  if (type === 'hard' && !confirm('Hard privacy mode gives every administrator account (yours too) a new random password that nobody knows. Only operators can use the camera afterwards. Continue?')) return;
  if (type === 'soft' && !confirm('Switch privacy mode on? The camera then shows a privacy picture instead of its image.')) return;
  if (type === 'reset' && !confirm('Switch privacy mode off? Locked accounts keep their new passwords.')) return;
  setStatusLine(status, '', type === 'hard' ? 'Locking accounts; this takes a few seconds per account…' : 'Working…');
  try {
    const text = type === 'reset'
      ? await apiText('anonymize_reset', {}, 'admin')
      : await apiText('anonymize', { type }, 'admin');
    const reply = JSON.parse(text);
    if (reply.status === 'OV_OK') {
      setStatusLine(status, 'ok', type === 'reset' ? 'Privacy mode is off.' : 'Privacy mode is on.');
    } else {
      setStatusLine(status, 'error', PRIVACY_MESSAGES[reply.message] || `Refused${reply.message ? `: ${reply.message}` : ''}.`);
    }
  } catch (e) {
    setStatusLine(status, 'error', e.message);
  }
  refreshPrivacy();
}

async function start() {
  await initPage();
  $('#show-logs').addEventListener('click', showLogs);
  $('#gen-logs').addEventListener('click', () => downloadArchive('generate-logs', 'logs.tgz', $('#archive-status')));
  $('#backup').addEventListener('click', () => downloadArchive('backup_params', 'params.tar.gz', $('#archive-status')));
  $('#copy').addEventListener('click', () => downloadArchive('copy_params', 'params-copy.tar.gz', $('#archive-status')));
  $('#restore-form').addEventListener('submit', restore);
  $('#restart').addEventListener('click', () => restartApp('restart'));
  $('#reboot').addEventListener('click', () => restartApp('reboot'));
  $('#privacy-soft').addEventListener('click', () => privacy('soft'));
  $('#privacy-hard').addEventListener('click', () => privacy('hard'));
  $('#privacy-reset').addEventListener('click', () => privacy('reset'));
  refreshPrivacy();
}

start();
