// The Portico web console: sign in, run aliases as jobs, follow their output.
// Every text from the gateway is set as text (textContent, append), never as markup.
import {
  AnsiStripper, FINISHED, RawJson, SseParser, base64ToBytes, basicAuthorization, codePoints, compilePattern,
  formatDuration, formatTime, paramsJson, safeFileName, splitErrors, stripAnsi, toDate,
} from './lib.js';

// The console is served at <base>/console/, the API at <base>/v1/..., so a
// reverse proxy may mount the gateway under any prefix.
const API = new URL('../', document.baseURI);
const SHOWN_LIMIT = 2 * 1024 * 1024; // characters per pane; the whole text is offered as a file
const HISTORY_PAGE = 20;

const $ = (selector, root = document) => root.querySelector(selector);

function h(tag, attrs = {}, ...children) {
  const el = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs)) {
    if (value === false || value === null || value === undefined) continue;
    if (key === 'class') el.className = value;
    else el.setAttribute(key, value === true ? '' : String(value));
  }
  return put(el, ...children);
}

// Appends the children that are there: null and false stand for "nothing".
function put(el, ...children) {
  el.append(...children.filter((c) => c !== null && c !== undefined && c !== false));
  return el;
}

let authorization = null; // the Basic credentials: page memory only, never stored
let view = null; // the job on screen
let historyBefore = null;
let historyToken = 0;
let fieldSeq = 0;

class SignedOut extends Error {}

// credentials 'omit': no cookies go out, and a 401 cannot open the browser's own password dialog.
async function send(path, { method = 'GET', body, auth = authorization, signal, accept = 'application/json' } = {}) {
  const headers = { Accept: accept };
  if (auth) headers.Authorization = auth;
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  return fetch(new URL(path, API), { method, headers, body, signal, credentials: 'omit', cache: 'no-store', redirect: 'error' });
}

async function readJson(res) {
  if (!(res.headers.get('Content-Type') || '').includes('json')) return null;
  return res.json().catch(() => null);
}

// A call made while signed in; a 401 means the credentials no longer hold
// (unless the answer belongs to a session already ended).
async function api(path, options = {}) {
  const sent = authorization;
  const res = await send(path, options);
  if (res.status === 401) {
    if (sent === authorization) signOut('The gateway no longer accepts your credentials. Please sign in again.');
    throw new SignedOut();
  }
  return { status: res.status, ok: res.ok, headers: res.headers, data: await readJson(res) };
}

function retryAfter(res) {
  const s = Number.parseInt(res.headers.get('Retry-After') || '', 10);
  return Number.isFinite(s) ? ` Try again in ${s} s.` : ' Try again shortly.';
}

function refusal(res) {
  const said = res.data && typeof res.data.error === 'string' ? res.data.error : '';
  switch (res.status) {
    case 404: return 'This command is not available to you (it may have been removed).';
    case 413: return 'The parameters are too large for the gateway.';
    case 429: return `The gateway is busy: too many runs are waiting.${retryAfter(res)}`;
    default: return said || `The gateway answered with status ${res.status}.`;
  }
}

function failureText(err) {
  return err instanceof TypeError ? 'The gateway could not be reached.' : String(err && err.message || err);
}

// ---- sign-in ----

const signinForm = $('#signin');

signinForm.addEventListener('submit', async (event) => {
  event.preventDefault();
  const user = signinForm.elements.user.value;
  const password = signinForm.elements.password.value;
  const error = $('#signin-error');
  const button = $('button[type=submit]', signinForm);
  error.textContent = '';
  if (user.includes(':')) {
    error.textContent = 'A user name cannot contain ":".';
    return;
  }
  button.disabled = true;
  try {
    const auth = basicAuthorization(user, password);
    const res = await send('v1/aliases', { auth });
    if (res.status === 401) error.textContent = 'Wrong user name or password.';
    else if (res.status === 429) error.textContent = `Too many failed sign-ins.${retryAfter(res)}`;
    else if (!res.ok) error.textContent = `The gateway answered with status ${res.status}.`;
    else {
      const data = await readJson(res);
      authorization = auth;
      signinForm.elements.password.value = '';
      showApp(user, data && Array.isArray(data.aliases) ? data.aliases : []);
    }
  } catch (err) {
    error.textContent = failureText(err);
  } finally {
    button.disabled = false;
  }
});

$('#signout').addEventListener('click', () => signOut(''));

function showApp(user, aliases) {
  $('#signin-view').hidden = true;
  $('#app').hidden = false;
  $('#session').hidden = false;
  $('#whoami').textContent = `Signed in as ${user}`;
  renderAliases(aliases);
  loadHistory(false);
  const wanted = jobInLocation();
  if (wanted) openJob(wanted, {});
  else $('#aliases-title').focus({ preventScroll: true });
}

// A link to a job (#job=ID) opens it after sign-in.
function jobInLocation() {
  const m = /^#job=(.+)$/.exec(location.hash);
  try {
    return m ? decodeURIComponent(m[1]) : null;
  } catch {
    return null;
  }
}

function signOut(message) {
  authorization = null;
  closeJob();
  historyToken++;
  $('#alias-list').replaceChildren();
  $('#history-list').replaceChildren();
  $('#app').hidden = true;
  $('#session').hidden = true;
  $('#signin-view').hidden = false;
  $('#signin-error').textContent = message;
  signinForm.elements.password.value = '';
  signinForm.elements.user.focus();
}

// ---- alias forms ----

function renderAliases(aliases) {
  const list = $('#alias-list');
  list.replaceChildren(...aliases.filter((a) => a && typeof a.name === 'string').map(aliasCard));
  $('#aliases-empty').hidden = list.children.length > 0;
  $('#alias-filter').value = '';
}

$('#alias-filter').addEventListener('input', (event) => {
  const needle = event.target.value.trim().toLowerCase();
  for (const card of $('#alias-list').children)
    card.hidden = needle !== '' && !card.dataset.search.includes(needle);
});

function aliasCard(alias) {
  const decls = alias.parameters && typeof alias.parameters === 'object' ? alias.parameters : {};
  const fields = Object.entries(decls).map(([name, decl]) => paramField(name, decl && typeof decl === 'object' ? decl : {}));
  const description = typeof alias.description === 'string' ? alias.description : '';
  const formError = h('p', { class: 'error', role: 'alert' });
  const button = h('button', { type: 'submit' }, 'Run');
  const actions = h('div', { class: 'actions' }, button);
  // A field named like a form property (hidden, action, addEventListener)
  // shadows that property once it is inside the form: everything that uses the
  // form's own properties happens before its fields go in, or on the card.
  const form = h('form', { class: 'alias', 'data-alias': alias.name, method: 'post' });

  // The browser's own checks fire "invalid" per field; show each message beside its field.
  form.addEventListener('invalid', (event) => {
    const field = fields.find((f) => f.input === event.target);
    if (field) field.showError(event.target.validationMessage);
  }, true);

  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    formError.textContent = '';
    for (const f of fields) f.showError('');
    const entries = fields.map((f) => [f.name, f.value()]).filter(([, v]) => v !== undefined);
    button.disabled = true;
    try {
      const res = await api(`v1/jobs/${encodeURIComponent(alias.name)}`, { method: 'POST', body: paramsJson(entries) });
      if (res.status === 202 && res.data && res.data.job_id) {
        openJob(String(res.data.job_id), { alias: alias.name, status: res.data.status || 'queued' }, true);
        loadHistory(false);
      } else if (res.status === 400 && res.data && Array.isArray(res.data.errors)) {
        const { byField, rest } = splitErrors(res.data.errors, fields.map((f) => f.name));
        for (const f of fields) if (byField.has(f.name)) f.showError(byField.get(f.name).join(' '));
        formError.textContent = rest.join(' ');
        const first = fields.find((f) => byField.has(f.name));
        if (first) first.input.focus();
      } else {
        formError.textContent = refusal(res);
      }
    } catch (err) {
      if (!(err instanceof SignedOut)) formError.textContent = failureText(err);
    } finally {
      button.disabled = false;
    }
  });

  put(form,
    h('div', { class: 'alias-head' },
      h('h3', { class: 'mono' }, alias.name),
      typeof alias.type === 'string' ? h('span', { class: 'tag' }, alias.type) : null,
      fields.length ? null : actions),
    description ? h('p', { class: 'description' }, description) : null,
    ...fields.map((f) => f.element),
    formError,
    fields.length ? actions : null);
  return h('div', { class: 'card', 'data-search': `${alias.name} ${description}`.toLowerCase() }, form);
}

const isNumber = (v) => typeof v === 'number' && Number.isFinite(v);
const isCount = (v) => Number.isInteger(v) && v >= 0;
const sameValue = (a, b) => JSON.stringify(a) === JSON.stringify(b);
const choiceText = (c) => (typeof c === 'string' ? c : JSON.stringify(c));

function hintText(type, decl) {
  const parts = [type];
  if (isNumber(decl.min) && isNumber(decl.max)) parts.push(`${decl.min} to ${decl.max}`);
  else if (isNumber(decl.min)) parts.push(`at least ${decl.min}`);
  else if (isNumber(decl.max)) parts.push(`at most ${decl.max}`);
  if (isCount(decl.min_length) && isCount(decl.max_length)) parts.push(`${decl.min_length} to ${decl.max_length} characters`);
  else if (isCount(decl.min_length)) parts.push(`at least ${decl.min_length} characters`);
  else if (isCount(decl.max_length)) parts.push(`at most ${decl.max_length} characters`);
  if (typeof decl.pattern === 'string') parts.push(`matching ${decl.pattern}`);
  if ('default' in decl && decl.default !== null) parts.push(`default ${choiceText(decl.default)}`);
  return parts.join(' · ');
}

// One form field for one parameter declaration; value() is what is sent, or
// undefined to leave the parameter out so that its default applies.
function paramField(name, decl) {
  const id = `param-${++fieldSeq}`;
  const type = ['string', 'integer', 'number', 'boolean'].includes(decl.type) ? decl.type : 'string';
  const required = decl.required === true;
  const hasDefault = 'default' in decl && decl.default !== null;
  const describedBy = `${id}-help ${id}-hint ${id}-error`;
  let input;
  let value;
  let check = () => {};

  if (Array.isArray(decl.choices)) {
    const choices = decl.choices;
    input = h('select', { id, name, required, 'aria-describedby': describedBy });
    if (!hasDefault) input.append(h('option', { value: '' }, required ? 'Choose…' : '(none)'));
    choices.forEach((c, i) => input.append(h('option', { value: String(i) }, choiceText(c))));
    if (hasDefault) {
      const i = choices.findIndex((c) => sameValue(c, decl.default));
      if (i >= 0) input.value = String(i);
    }
    value = () => (input.value === '' ? undefined : choices[Number(input.value)]);
  } else if (type === 'boolean' && (hasDefault || required)) {
    input = h('input', { id, name, type: 'checkbox', 'aria-describedby': describedBy });
    input.checked = decl.default === true;
    value = () => input.checked;
  } else if (type === 'boolean') {
    input = h('select', { id, name, 'aria-describedby': describedBy },
      h('option', { value: '' }, '(none)'), h('option', { value: 'true' }, 'true'), h('option', { value: 'false' }, 'false'));
    value = () => (input.value === '' ? undefined : input.value === 'true');
  } else if (type === 'integer' || type === 'number') {
    const integer = type === 'integer';
    input = h('input', {
      id, name, type: 'number', required, 'aria-describedby': describedBy,
      step: integer ? '1' : 'any', inputmode: integer ? 'numeric' : 'decimal',
      min: isNumber(decl.min) ? (integer ? Math.ceil(decl.min) : decl.min) : null,
      max: isNumber(decl.max) ? decl.max : null,
    });
    if (hasDefault) input.value = String(decl.default);
    value = () => {
      const text = input.value;
      if (text === '') return undefined;
      if (integer && /^-?\d+$/.test(text)) return new RawJson(text.replace(/^(-?)0+(?=\d)/, '$1'));
      return Number(text);
    };
  } else {
    const pattern = compilePattern(decl.pattern);
    const minLength = isCount(decl.min_length) ? decl.min_length : 0;
    const maxLength = isCount(decl.max_length) ? decl.max_length : 4096;
    input = h('input', {
      id, name, type: 'text', required, autocomplete: 'off', spellcheck: 'false', autocapitalize: 'none',
      'aria-describedby': describedBy, pattern: pattern.attribute,
      title: typeof decl.pattern === 'string' ? `Must match ${decl.pattern}` : null,
    });
    if (hasDefault) input.value = String(decl.default);
    // Lengths are counted in characters as the gateway counts them; maxlength
    // would count UTF-16 units and silently cut pasted text.
    check = () => {
      let message = '';
      const text = input.value;
      if (text !== '') {
        const n = codePoints(text);
        if (n < minLength) message = `Use at least ${minLength} characters (now ${n}).`;
        else if (n > maxLength) message = `Use at most ${maxLength} characters (now ${n}).`;
        else if (pattern.regex && !pattern.regex.test(text)) message = `Must match ${decl.pattern}.`;
      }
      input.setCustomValidity(message);
    };
    check();
    value = () => (input.value === '' ? undefined : input.value);
  }

  const error = h('p', { class: 'field-error', id: `${id}-error` });
  const showError = (message) => {
    error.textContent = message;
    if (message) input.setAttribute('aria-invalid', 'true');
    else input.removeAttribute('aria-invalid');
  };
  input.addEventListener('input', () => {
    check();
    if (error.textContent) showError(input.validity.valid ? '' : input.validationMessage);
  });

  const label = h('label', { for: id },
    h('span', { class: 'mono' }, name),
    required ? h('span', { class: 'required', title: 'required' }, ' *') : null,
    required ? h('span', { class: 'sr-only' }, ' (required)') : null);
  const help = typeof decl.description === 'string' ? decl.description : '';
  const element = h('div', { class: input.type === 'checkbox' ? 'field check' : 'field' },
    input.type === 'checkbox' ? h('div', { class: 'check-row' }, input, label) : label,
    input.type === 'checkbox' ? null : input,
    h('p', { class: 'help', id: `${id}-help` }, help),
    h('p', { class: 'hint', id: `${id}-hint` }, hintText(type, decl)),
    error);
  return { name, input, element, value, showError };
}

// ---- the job on screen ----

const jobSection = $('#job');
const panes = { stdout: $('[data-stream="stdout"]'), stderr: $('[data-stream="stderr"]') };
const statusBadge = $('[data-job-status]');
const cancelButton = $('[data-action="cancel"]');

const sleep = (ms, signal) => new Promise((resolve) => {
  const t = setTimeout(resolve, ms);
  signal.addEventListener('abort', () => { clearTimeout(t); resolve(); }, { once: true });
});

function setPaneText(pane, text, fileName, urls) {
  const shown = text.length > SHOWN_LIMIT ? text.slice(0, SHOWN_LIMIT) : text;
  pane.replaceChildren(shown);
  if (shown.length < text.length) {
    const url = URL.createObjectURL(new Blob([text], { type: 'text/plain;charset=utf-8' }));
    urls.push(url);
    return h('span', {}, `Showing the first ${SHOWN_LIMIT} characters. `, h('a', { href: url, download: fileName }, 'Save the whole text'));
  }
  return null;
}

class JobView {
  // fresh: the job was just submitted, so there is nothing to look up first.
  constructor(id, known, fresh) {
    this.id = id;
    this.job = { ...known, job_id: id };
    this.abort = new AbortController();
    this.urls = [];
    this.ended = false;
    this.closed = false;
    this.resetLive();
    $('#job-error').textContent = '';
    $('#job-files').replaceChildren();
    jobSection.hidden = false;
    this.render();
    this.timer = setInterval(() => this.renderTimes(), 1000);
    this.start(fresh);
  }

  async start(fresh) {
    if (!fresh && await this.refresh()) return;
    this.follow();
    if (fresh) this.loadTimes();
  }

  // The submission answer carries no times; the job itself does.
  async loadTimes() {
    try {
      const res = await api(`v1/jobs/${encodeURIComponent(this.id)}`, { signal: this.abort.signal });
      if (!res.ok || !res.data || this.closed || this.ended) return;
      for (const key of ['created', 'started']) if (res.data[key]) this.job[key] = res.data[key];
      this.render();
    } catch { /* the times are a nicety; the stream carries the rest */ }
  }

  close() {
    this.closed = true;
    this.abort.abort();
    clearInterval(this.timer);
    for (const url of this.urls) URL.revokeObjectURL(url);
  }

  // A (re)connected stream replays the output from the start.
  resetLive() {
    this.strippers = { stdout: new AnsiStripper(), stderr: new AnsiStripper() };
    this.pending = { stdout: '', stderr: '' };
    this.shown = { stdout: 0, stderr: 0 };
    for (const [stream, pane] of Object.entries(panes)) {
      pane.replaceChildren();
      this.note(stream, '');
    }
  }

  note(stream, content) {
    $(`[data-note="${stream}"]`).replaceChildren(...(content ? [content] : []));
  }

  async follow() {
    const signal = this.abort.signal;
    let delay = 1000;
    while (!this.closed && !this.ended) {
      try {
        const res = await send(`v1/jobs/${encodeURIComponent(this.id)}/events`, { accept: 'text/event-stream', signal });
        if (res.status === 401) {
          signOut('The gateway no longer accepts your credentials. Please sign in again.');
          return;
        }
        if (res.ok && res.body) {
          this.resetLive();
          const reader = res.body.pipeThrough(new TextDecoderStream()).getReader();
          const parser = new SseParser();
          for (;;) {
            const { value, done } = await reader.read();
            if (done) break;
            for (const event of parser.push(value)) this.onEvent(event);
            this.flush();
            if (this.ended || this.closed) {
              reader.cancel().catch(() => {});
              return;
            }
            delay = 1000;
          }
        }
      } catch (err) {
        if (this.closed || err instanceof SignedOut) return;
      }
      if (this.closed || this.ended) return;
      // The stream ended before the job did (a proxy's time limit, a restart):
      // the job may be over by now, otherwise connect again.
      if (await this.refresh()) return;
      await sleep(delay, signal);
      delay = Math.min(delay * 2, 15000);
    }
  }

  // Fetches the job; true when nothing more will happen to it.
  async refresh() {
    try {
      const res = await api(`v1/jobs/${encodeURIComponent(this.id)}`, { signal: this.abort.signal });
      if (this.closed) return true;
      if (res.status === 404) {
        this.gone();
        return true;
      }
      if (res.ok && res.data) {
        if (FINISHED.has(res.data.status)) {
          this.finish(res.data);
          return true;
        }
        this.job = { ...this.job, ...res.data };
        this.render();
      }
    } catch (err) {
      if (err instanceof SignedOut) return true;
    }
    return this.closed;
  }

  gone() {
    this.ended = true;
    this.job.status = this.job.status || 'unknown';
    $('#job-error').textContent = 'This job does not exist, or it is not yours.';
    this.render();
  }

  onEvent({ event, data: text }) {
    let data;
    try {
      data = JSON.parse(text);
    } catch {
      return;
    }
    if ((event === 'stdout' || event === 'stderr') && typeof data === 'string') {
      this.pending[event] += this.strippers[event].push(data);
    } else if (event === 'status' && data && typeof data.status === 'string') {
      if (data.status === 'running' && !this.job.started) this.runningSince = Date.now();
      this.job.status = data.status;
      this.render();
    } else if (event === 'truncated' && data && panes[data.stream]) {
      this.note(data.stream, 'Live output stopped at the gateway\'s limit; the whole text appears when the job ends.');
    } else if (event === 'end' && data && typeof data === 'object' && !this.ended) {
      this.flush();
      this.finish(data);
    }
  }

  flush() {
    for (const [stream, pane] of Object.entries(panes)) {
      let text = this.pending[stream];
      this.pending[stream] = '';
      if (!text || this.shown[stream] >= SHOWN_LIMIT) continue;
      text = text.slice(0, SHOWN_LIMIT - this.shown[stream]);
      this.shown[stream] += text.length;
      const atBottom = pane.scrollTop + pane.clientHeight >= pane.scrollHeight - 4;
      pane.append(text);
      if (atBottom) pane.scrollTop = pane.scrollHeight;
    }
  }

  finish(job) {
    if (this.ended) return;
    this.ended = true;
    clearInterval(this.timer);
    const result = job.result && typeof job.result === 'object' ? job.result : {};
    this.job = { ...this.job, ...job };
    if (!FINISHED.has(this.job.status)) this.job.status = result.success ? 'succeeded' : 'failed';
    for (const stream of ['stdout', 'stderr']) {
      // A run that did not complete carries no output in its result: keep what was seen live.
      if (typeof result[stream] !== 'string') {
        panes[stream].append(this.strippers[stream].flush());
        continue;
      }
      this.note(stream, setPaneText(panes[stream], stripAnsi(result[stream]),
        `${safeFileName(this.job.alias || 'job')}-${safeFileName(this.id.slice(0, 8))}.${stream}.txt`, this.urls));
    }
    $('#job-error').textContent = typeof result.error === 'string' ? result.error : '';
    this.renderFiles(result.file_outputs);
    this.render();
    loadHistory(false);
  }

  renderFiles(files) {
    const box = $('#job-files');
    box.replaceChildren();
    if (!files || typeof files !== 'object') return;
    const entries = Object.entries(files);
    if (!entries.length) return;
    box.append(h('h3', {}, 'Files'));
    const prefix = `${safeFileName(this.job.alias || 'job')}-${safeFileName(this.id.slice(0, 8))}`;
    for (const [source, content] of entries) {
      const text = typeof content === 'string' ? content : '';
      if (source.endsWith('/')) {
        box.append(this.archive(source, text, prefix));
        continue;
      }
      const pre = h('pre', { class: 'file', tabindex: '0' });
      const note = text === '' ? h('span', { class: 'muted' }, '(empty or missing)') : null;
      const more = setPaneText(pre, stripAnsi(text), `${prefix}-${safeFileName(source)}`, this.urls);
      box.append(h('details', { class: 'output', open: true },
        h('summary', {}, h('span', { class: 'mono' }, source), ' ', note), pre, more));
    }
  }

  archive(source, base64, prefix) {
    const row = h('div', { class: 'output archive' }, h('span', { class: 'mono' }, source), ' ');
    if (base64 === '') {
      row.append(h('span', { class: 'muted' }, '(the directory was not produced)'));
      return row;
    }
    let bytes;
    try {
      bytes = base64ToBytes(base64);
    } catch {
      row.append(h('span', { class: 'error' }, 'The archive could not be decoded.'));
      return row;
    }
    const url = URL.createObjectURL(new Blob([bytes], { type: 'application/zip' }));
    this.urls.push(url);
    const dir = source.replace(/\/+$/, '').split('/').pop() || 'files';
    const name = `${prefix}-${safeFileName(dir)}.zip`;
    row.append(h('a', { href: url, download: name, class: 'button', 'data-download': source }, 'Download .zip'),
      h('span', { class: 'muted small' }, `${name} · ${formatBytes(bytes.length)}`));
    return row;
  }

  render() {
    const status = this.job.status || 'queued';
    $('#job-alias').textContent = this.job.alias || '';
    $('#job-id').textContent = this.id;
    statusBadge.textContent = status.replace('_', ' ');
    statusBadge.dataset.jobStatus = status;
    cancelButton.hidden = this.ended || FINISHED.has(status);
    const result = this.job.result && typeof this.job.result === 'object' ? this.job.result : null;
    $('#job-exit').textContent = exitText(result);
    $('#job-exit').classList.toggle('nonzero', Boolean(result) && result.returncode !== 0);
    $('#job-created').textContent = formatTime(toDate(this.job.created));
    this.renderTimes();
    const row = $(`.history-item[data-job-id="${CSS.escape(this.id)}"] .badge`);
    if (row) {
      row.textContent = statusBadge.textContent;
      row.dataset.status = status;
    }
  }

  renderTimes() {
    const started = toDate(this.job.started);
    const finished = toDate(this.job.finished);
    let ms = NaN;
    if (started && finished) ms = finished - started;
    else if (!this.ended && started) ms = Date.now() - started;
    else if (!this.ended && this.runningSince) ms = Date.now() - this.runningSince;
    $('#job-duration').textContent = formatDuration(ms);
  }
}

function formatBytes(n) {
  if (n < 1024) return `${n} bytes`;
  if (n < 1024 * 1024) return `${(n / 1024).toFixed(1)} KiB`;
  return `${(n / 1024 / 1024).toFixed(1)} MiB`;
}

function exitText(result) {
  if (!result) return '';
  const code = result.returncode;
  if (Number.isInteger(code)) return code < 0 ? `killed by signal ${-code}` : String(code);
  if (result.timed_out) return 'none (timed out)';
  return 'none';
}

cancelButton.addEventListener('click', async () => {
  const current = view;
  if (!current || current.ended) return;
  cancelButton.disabled = true;
  try {
    const res = await api(`v1/jobs/${encodeURIComponent(current.id)}`, { method: 'DELETE' });
    if (res.status === 409) $('#job-error').textContent = 'The job had already finished.';
    else if (!res.ok) $('#job-error').textContent = refusal(res);
    // The stream brings the end; if it stalls (a buffering proxy), ask for it.
    for (let i = 0; i < 20 && current === view && !current.ended && !current.closed; i++) {
      if (await current.refresh()) break;
      await sleep(500, current.abort.signal);
    }
  } catch (err) {
    if (!(err instanceof SignedOut)) $('#job-error').textContent = failureText(err);
  } finally {
    cancelButton.disabled = false;
  }
});

$('[data-action="close"]').addEventListener('click', () => {
  closeJob();
  $('#history-title').focus({ preventScroll: true });
});

function openJob(id, known, fresh = false) {
  closeJob();
  view = new JobView(id, known, fresh);
  history.replaceState(null, '', `#job=${encodeURIComponent(id)}`);
  markCurrent();
  $('#job-title').focus();
}

function closeJob() {
  if (view) view.close();
  view = null;
  jobSection.hidden = true;
  if (location.hash) history.replaceState(null, '', location.pathname + location.search);
  markCurrent();
}

// ---- history ----

const jobIdOf = (job) => String(job.job_id ?? job.id ?? '');

async function loadHistory(more) {
  const token = ++historyToken;
  const query = new URLSearchParams({ limit: String(HISTORY_PAGE) });
  const status = $('#history-status').value;
  if (status) query.set('status', status);
  if (more && historyBefore) query.set('before', historyBefore);
  const error = $('#history-error');
  try {
    const res = await api(`v1/jobs?${query}`);
    if (token !== historyToken) return;
    if (!res.ok || !res.data || !Array.isArray(res.data.jobs)) {
      error.textContent = refusal(res);
      return;
    }
    error.textContent = '';
    const list = $('#history-list');
    const items = res.data.jobs.filter((j) => jobIdOf(j)).map(historyItem);
    if (more) list.append(...items);
    else list.replaceChildren(...items);
    historyBefore = res.data.next_before ?? null;
    $('#history-more').hidden = !historyBefore;
    $('#history-empty').hidden = list.children.length > 0;
    markCurrent();
  } catch (err) {
    if (token === historyToken && !(err instanceof SignedOut)) error.textContent = failureText(err);
  }
}

function historyItem(job) {
  const id = jobIdOf(job);
  const status = typeof job.status === 'string' ? job.status : '';
  const started = toDate(job.started);
  const finished = toDate(job.finished);
  const button = h('button', { type: 'button', class: 'history-item', 'data-job-id': id },
    h('span', { class: 'mono alias-name' }, String(job.alias ?? '')),
    h('span', { class: 'badge', 'data-status': status }, status.replace('_', ' ')),
    h('span', { class: 'muted when' }, formatTime(toDate(job.created))),
    h('span', { class: 'muted took' }, started && finished ? formatDuration(finished - started) : ''));
  button.addEventListener('click', () => openJob(id, { alias: job.alias, status, created: job.created }));
  return h('li', {}, button);
}

function markCurrent() {
  for (const b of document.querySelectorAll('.history-item')) {
    if (view && b.dataset.jobId === view.id) b.setAttribute('aria-current', 'true');
    else b.removeAttribute('aria-current');
  }
}

$('#history-status').addEventListener('change', () => loadHistory(false));
$('#history-refresh').addEventListener('click', () => loadHistory(false));
$('#history-more').addEventListener('click', () => loadHistory(true));

signinForm.elements.user.focus();
