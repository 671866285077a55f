// Event rules editor: shows the rules file ("events.json"), validates a text, saves it and
// offers the default rules. Saved rules take effect at the application's next start.
import { apiJson, apiText, initPage, reportFailure, reportSuccess, setStatusLine, $, ROLE_RANK } from './api.js';

const STATUS_TEXT = {
  OK: 'The rules are valid.',
  JSON_ERROR: 'The text is not valid rules JSON',
  SETUP_ERROR: 'The rules could not be read (unknown key, gender or nesting).',
  CANT_WRITE_FILE: 'The camera could not write the rules file.',
  NO_FILE: 'There is no rules file yet.',
};

const editor = $('#rules');

// The rules text exactly as stored: the reply embeds the file unchanged as its "json" member,
// so it is cut out of the reply text (re-printing it would lose the file's own layout and make
// saved defaults differ from the default file).
async function rulesReply(args) {
  const text = await apiText('events.json', args);
  const reply = JSON.parse(text);
  const prefix = '{"json":';
  const end = text.lastIndexOf(',"status":"');
  reply.raw = text.startsWith(prefix) && end > prefix.length
    ? text.slice(prefix.length, end) : JSON.stringify(reply.json, null, 4);
  return reply;
}

function renderTable(text) {
  const body = $('#rules-table tbody');
  body.textContent = '';
  let rules;
  try {
    rules = JSON.parse(text);
  } catch (e) {
    return;
  }
  const rows = Object.entries(rules).filter(([, v]) => v && typeof v === 'object');
  rows.sort((a, b) => (a[1].event_order ?? 1e9) - (b[1].event_order ?? 1e9));
  for (const [name, r] of rows) {
    const tr = document.createElement('tr');
    const cells = [name, r.gender ?? 'any', `${r.min_age ?? 0}–${r.max_age ?? 100}`, `${r.t_min ?? 0} s`];
    for (const c of cells) {
      const td = document.createElement('td');
      td.textContent = String(c);
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
}

async function load() {
  try {
    const reply = await rulesReply({});
    if (reply.status === 'NO_FILE') {
      editor.value = '';
      setStatusLine($('#rules-status'), 'error', STATUS_TEXT.NO_FILE);
    } else {
      editor.value = reply.raw;
      $('#is-default').textContent = reply.default === 'yes' ? 'These are the default rules.' : 'These rules differ from the defaults.';
    }
    renderTable(editor.value);
    reportSuccess();
  } catch (e) {
    reportFailure(e, 'Event rules');
  }
}

function checkText() {
  const text = editor.value;
  if (!text.trim()) return 'Enter the rules first.';
  if (text.includes('&')) return 'The rules cannot contain the character &.';
  return '';
}

// Validates (save=false) or validates and saves the editor's text.
async function submit(save) {
  const status = $('#rules-status');
  const problem = checkText();
  if (problem) return setStatusLine(status, 'error', problem);
  setStatusLine(status, '', save ? 'Saving…' : 'Checking…');
  try {
    const args = save ? { json: editor.value, save: 'yes' } : { json: editor.value };
    const reply = await apiJson('events.json', args, save ? 'operator' : 'viewer');
    if (reply.status === 'OK') {
      const n = Number(reply.msg) || 0;
      setStatusLine(status, 'ok', save
        ? `Saved ${n} rule${n === 1 ? '' : 's'}. They take effect when the application next starts.`
        : `Valid: ${n} rule${n === 1 ? '' : 's'}.`);
      renderTable(editor.value);
      if (save) $('#is-default').textContent = '';
    } else if (reply.status === 'JSON_ERROR') {
      setStatusLine(status, 'error', `${STATUS_TEXT.JSON_ERROR}: ${reply.msg}`);
    } else {
      setStatusLine(status, 'error', STATUS_TEXT[reply.status] || `Refused: ${reply.status}`);
    }
  } catch (e) {
    setStatusLine(status, 'error', e.message);
  }
}

async function loadDefault() {
  try {
    const reply = await rulesReply({ default: 'yes' });
    editor.value = reply.raw;
    renderTable(editor.value);
    setStatusLine($('#rules-status'), '', 'Default rules loaded into the editor. Save them to use them.');
  } catch (e) {
    setStatusLine($('#rules-status'), 'error', e.message);
  }
}

async function start() {
  const role = await initPage();
  if (ROLE_RANK[role] < ROLE_RANK.operator) editor.readOnly = true;
  $('#validate').addEventListener('click', () => submit(false));
  $('#save').addEventListener('click', () => submit(true));
  $('#default').addEventListener('click', loadDefault);
  $('#reload').addEventListener('click', load);
  await load();
}

start();
