// Helpers without DOM access, kept apart so the browser test can import and
// check them directly.

// Server-sent events, parsed from decoded text as it arrives. EventSource
// cannot send an Authorization header, so the stream is read with fetch().
export class SseParser {
  constructor() {
    this.partial = []; // pieces of a line still without its end
    this.pendingCR = false; // a chunk ended in CR: a LF starting the next one belongs to it
    this.type = '';
    this.data = [];
  }

  // Returns the events completed by this piece of text: [{event, data}]. Only
  // the new text is searched for line ends, so an event of many megabytes
  // (an end event with a large result) arriving in small chunks costs linear time.
  push(text) {
    const events = [];
    if (text === '') return events;
    if (this.pendingCR && text.startsWith('\n')) text = text.slice(1);
    this.pendingCR = false;
    const eol = /\r\n|\r|\n/g;
    let start = 0;
    let m;
    while ((m = eol.exec(text)) !== null) {
      if (m[0] === '\r' && m.index === text.length - 1) this.pendingCR = true;
      this.partial.push(text.slice(start, m.index));
      this.line(this.partial.join(''), events);
      this.partial = [];
      start = eol.lastIndex;
    }
    if (start < text.length) this.partial.push(text.slice(start));
    return events;
  }

  line(line, events) {
    if (line === '') {
      if (this.data.length) events.push({ event: this.type || 'message', data: this.data.join('\n') });
      this.type = '';
      this.data = [];
      return;
    }
    if (line.startsWith(':')) return;
    const colon = line.indexOf(':');
    const field = colon < 0 ? line : line.slice(0, colon);
    let value = colon < 0 ? '' : line.slice(colon + 1);
    if (value.startsWith(' ')) value = value.slice(1);
    if (field === 'event') this.type = value;
    else if (field === 'data') this.data.push(value);
  }
}

// Terminal escape sequences and other control characters, removed from output
// shown on the page. An escape split across two chunks is held back until it
// is complete, so no "[31m" debris appears between chunks.
const SEQUENCE = /\x1b(?:\[[0-?]*[ -\/]*[@-~]|\][^\x07\x1b]*(?:\x07|\x1b\\)|[PX^_][^\x1b]*\x1b\\|[ -\/]*[0-~])|\x9b[0-?]*[ -\/]*[@-~]|[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]/g;
const UNFINISHED = /(?:\x1b(?:\[[0-?]*[ -\/]*|\][^\x07\x1b]*\x1b?|[PX^_][^\x1b]*\x1b?|[ -\/]*)|\x9b[0-?]*[ -\/]*|\r)$/;
const HOLD_LIMIT = 4096;

export class AnsiStripper {
  constructor() { this.tail = ''; }

  push(text) {
    let s = this.tail + text;
    this.tail = '';
    const m = UNFINISHED.exec(s);
    if (m && m[0].length <= HOLD_LIMIT) {
      this.tail = m[0];
      s = s.slice(0, m.index);
    }
    return clean(s);
  }

  flush() {
    const s = this.tail;
    this.tail = '';
    return clean(s);
  }
}

function clean(s) {
  return s.replace(SEQUENCE, '').replace(/\r\n?/g, '\n');
}

export function stripAnsi(text) {
  const s = new AnsiStripper();
  return s.push(text) + s.flush();
}

// The Authorization value for HTTP Basic; user names and passwords may hold
// any UTF-8, which btoa() alone cannot take.
export function basicAuthorization(user, password) {
  const bytes = new TextEncoder().encode(`${user}:${password}`);
  let bin = '';
  for (const b of bytes) bin += String.fromCharCode(b);
  return `Basic ${btoa(bin)}`;
}

export function base64ToBytes(text) {
  const bin = atob(text);
  const out = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
  return out;
}

// Validation messages start with the parameter's name; those that name no
// field of the form are shown for the form as a whole.
export function splitErrors(errors, names) {
  const byField = new Map();
  const rest = [];
  for (const e of Array.isArray(errors) ? errors : []) {
    const text = String(e);
    const name = names.find((n) => text.startsWith(`${n} `));
    if (name === undefined) rest.push(text);
    else byField.set(name, [...(byField.get(name) || []), text]);
  }
  return { byField, rest };
}

// Parameter patterns are RE2 and must match whole values. Browsers compile the
// pattern attribute with the "v" flag, which refuses some RE2 spellings (an
// unescaped "-" or "/" inside a class); those are checked with the looser "u"
// flag instead, and patterns JavaScript cannot read at all are left to the server.
export function compilePattern(pattern) {
  if (typeof pattern !== 'string') return {};
  for (const flags of ['v', 'u']) {
    try {
      const regex = new RegExp(`^(?:${pattern})$`, flags);
      return { regex, attribute: flags === 'v' ? pattern : null };
    } catch { /* try the next flag */ }
  }
  return {};
}

export function codePoints(text) {
  let n = 0;
  for (const _ of text) n++;
  return n;
}

// A value already written as JSON: integers keep the digits typed, because
// Number would round those beyond 2^53.
export class RawJson {
  constructor(text) { this.text = text; }
}

export function paramsJson(entries) {
  const parts = entries.map(([name, value]) => {
    const json = value instanceof RawJson ? value.text : JSON.stringify(value);
    return `${JSON.stringify(name)}:${json}`;
  });
  return `{${parts.join(',')}}`;
}

// Times arrive as ISO 8601 text or as seconds since the epoch.
export function toDate(value) {
  if (typeof value === 'number') return new Date(value * 1000);
  if (typeof value === 'string' && value) {
    const d = new Date(value);
    if (!Number.isNaN(d.getTime())) return d;
  }
  return null;
}

export function formatDuration(ms) {
  if (!(ms >= 0)) return '';
  if (ms < 1000) return `${Math.round(ms)} ms`;
  const s = ms / 1000;
  if (s < 60) return `${s.toFixed(s < 10 ? 2 : 1)} s`;
  const m = Math.floor(s / 60);
  const rest = Math.floor(s % 60);
  if (m < 60) return `${m} min ${rest} s`;
  return `${Math.floor(m / 60)} h ${m % 60} min`;
}

export function formatTime(date) {
  if (!date) return '';
  const p = (n) => String(n).padStart(2, '0');
  return `${date.getFullYear()}-${p(date.getMonth() + 1)}-${p(date.getDate())} ` +
    `${p(date.getHours())}:${p(date.getMinutes())}:${p(date.getSeconds())}`;
}

// A name safe for a downloaded file on every platform.
export function safeFileName(text) {
  return String(text).replace(/[^A-Za-z0-9._-]+/g, '_').replace(/^[._]+/, '').slice(0, 120) || 'output';
}

export const FINISHED = new Set(['succeeded', 'failed', 'timed_out', 'cancelled', 'interrupted']);
