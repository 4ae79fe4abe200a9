// app.js - the page of qna web: a grid of one area's words or bits, the tag
// table, the server's information, event queues and, when qna web allows
// it, forms that write.  Values come from one stream of server-sent events
// (/api/stream), which sends what changed; the rest is the JSON API.
// Every name and text that comes from the server or the tag file is set as
// text (textContent), never as markup.
'use strict';

const $ = (id) => document.getElementById(id);
const PAGE_WORDS = 256;   // a page of words (qna web's view size)
const PAGE_BITS = 256;    // a page of bits: 16 words
const TAG_PAGE = 50;
const KEPT_EVENTS = 200;

const state = {
  areas: [], area: 1, form: 'u16', page: 0, writes: false,
  words: [], labels: [], tagSearch: '', tagStart: 0, tagMatched: 0, stream: null,
};

function el(tag, text, className) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (className) e.className = className;
  return e;
}

function row(cells) {
  const tr = el('tr');
  for (const c of cells) tr.append(c instanceof Node ? c : el('td', c));
  return tr;
}

async function api(method, path, body) {
  const options = { method, headers: {} };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  const j = await response.json().catch(() => ({ text: response.statusText }));
  if (!response.ok) {
    const codes = j.result !== null && j.result !== undefined ? ` (result ${j.result}, detail ${j.detail})` : '';
    throw new Error(j.text + codes);
  }
  return j;
}

function say(id, text, bad) {
  const p = $(id);
  p.textContent = text;
  p.classList.toggle('bad', !!bad);
}

// ---- The grid -----------------------------------------------------------------

function areaName() { return state.areas[state.area] ? state.areas[state.area].name : String(state.area); }
function areaWords() { return state.areas[state.area] ? state.areas[state.area].words : 0; }
function bitsForm() { return state.form === 'bits'; }
function wideForm() { return state.form === 'u32' || state.form === 'i32'; }

// The words the page shows: [start, start + count).
function viewWords() {
  const per = bitsForm() ? PAGE_BITS / 16 : PAGE_WORDS;
  const start = state.page * per;
  return { start, count: Math.max(0, Math.min(per, areaWords() - start)) };
}

function pages() {
  const per = bitsForm() ? PAGE_BITS / 16 : PAGE_WORDS;
  return Math.max(1, Math.ceil(areaWords() / per));
}

function format(i) {
  const w = state.words;
  if (w[i] === undefined) return '…';
  switch (state.form) {
    case 'hex': return '0x' + w[i].toString(16).toUpperCase().padStart(4, '0');
    case 'i16': return w[i] >= 32768 ? w[i] - 65536 : w[i];
    case 'u32':
    case 'i32': {
      if (w[i + 1] === undefined) return '…';
      const v = w[i] + w[i + 1] * 65536;
      return state.form === 'u32' ? v : (v >= 2147483648 ? v - 4294967296 : v);
    }
    default: return w[i];
  }
}

function labelFor(address, bit) {
  return state.labels.filter((l) => (l.type === 'bit') === bit && l.offset === address).map((l) => l.tag);
}

function cell(address, text, bit, labels) {
  const td = el('td', null, bit ? 'bit' : '');
  td.dataset.address = areaName() + address;
  td.dataset.kind = bit ? 'bit' : 'word';
  td.append(el('span', text, 'value'));
  if (labels.length > 0) {
    td.classList.add('tagged');
    td.title = labels.join(', ');
    td.append(el('span', labels.join(', '), 'label'));
  }
  return td;
}

function renderGrid() {
  const grid = $('grid');
  grid.replaceChildren();
  grid.classList.toggle('writable', state.writes);
  const { start, count } = viewWords();
  const head = el('tr');
  head.append(el('th'));
  if (bitsForm()) {
    for (let b = 0; b < 16; ++b) head.append(el('th', b));
    grid.append(head);
    for (let i = 0; i < count; ++i) {
      const tr = el('tr');
      tr.append(el('th', areaName() + (start + i) * 16));
      for (let b = 0; b < 16; ++b) {
        const bit = (start + i) * 16 + b;
        const td = cell(bit, state.words[i] === undefined ? '·' : (state.words[i] >> b) & 1, true, labelFor(bit, true));
        if (state.words[i] !== undefined && ((state.words[i] >> b) & 1)) td.classList.add('one');
        tr.append(td);
      }
      grid.append(tr);
    }
  } else {
    const step = wideForm() ? 2 : 1;
    const across = wideForm() ? 8 : 16;
    for (let c = 0; c < across; ++c) head.append(el('th', '+' + c * step));
    grid.append(head);
    for (let i = 0; i < count; i += across * step) {
      const tr = el('tr');
      tr.append(el('th', areaName() + (start + i)));
      for (let j = i; j < Math.min(count, i + across * step); j += step)
        tr.append(cell(start + j, format(j), false, labelFor(start + j, false).concat(step === 2 ? labelFor(start + j + 1, false) : [])));
      grid.append(tr);
    }
  }
  const last = bitsForm() ? (start + count) * 16 - 1 : start + count - 1;
  $('range').textContent = `${bitsForm() ? 'bits ' : ''}${areaName()}${bitsForm() ? start * 16 : start}..${last} ` +
    `(page ${state.page + 1} of ${pages()})`;
}

// Shows word i of the view anew; `changed` marks it.
function updateWord(i, changed) {
  const { start } = viewWords();
  const cells = [];
  if (bitsForm()) {
    for (let b = 0; b < 16; ++b) cells.push([(start + i) * 16 + b, (state.words[i] >> b) & 1]);
  } else {
    const first = wideForm() ? i - (i % 2) : i;
    cells.push([start + first, format(first)]);
  }
  for (const [address, text] of cells) {
    const td = document.querySelector(`#grid td[data-address="${areaName()}${address}"]`);
    if (!td) continue;
    const value = td.querySelector('.value');
    if (value.textContent === String(text)) continue;
    value.textContent = text;
    if (bitsForm()) td.classList.toggle('one', text === 1);
    if (changed) {
      td.classList.remove('changed');
      void td.offsetWidth;  // restarts the animation
      td.classList.add('changed');
    }
  }
}

function renderAreas() {
  const nav = $('areas');
  nav.replaceChildren();
  for (const a of state.areas) {
    const b = el('button', `${a.name} (${a.words})`, a.area === state.area ? 'on' : '');
    b.type = 'button';
    b.dataset.area = a.name;
    b.addEventListener('click', () => { state.area = a.area; state.page = 0; renderAreas(); openStream(); });
    nav.append(b);
  }
}

// ---- Tags ---------------------------------------------------------------------

async function loadTags() {
  const q = new URLSearchParams({ search: state.tagSearch, start: state.tagStart, count: TAG_PAGE });
  const j = await api('GET', '/api/tags?' + q);
  $('tags-why').textContent = j.loaded ? '' : j.why;
  state.tagMatched = j.matched;
  const body = $('tag-table').tBodies[0];
  body.replaceChildren();
  for (const t of j.tags) {
    const value = el('td', t.value !== undefined ? t.value : (t.error ? t.error.text : ''), 'value');
    const tr = row([t.tag, t.address, t.type, value]);
    tr.dataset.tag = t.tag;
    tr.addEventListener('click', () => pick('tag', t.tag));
    body.append(tr);
  }
  $('tags-range').textContent = j.matched === 0 ? 'none' :
    `${state.tagStart + 1}..${Math.min(j.matched, state.tagStart + TAG_PAGE)} of ${j.matched}`;
}

function updateTags(tags) {
  for (const t of tags) {
    const tr = $('tag-table').querySelector(`tr[data-tag="${CSS.escape(t.tag)}"]`);
    if (tr) tr.querySelector('.value').textContent = t.value;
  }
}

// ---- Server information -------------------------------------------------------

function renderInfo(info) {
  const facts = $('facts').tBodies[0];
  facts.replaceChildren();
  const apps = $('apps').tBodies[0];
  apps.replaceChildren();
  if (info.server === null) {
    facts.append(row(['server', info.error ? info.error.text : 'not quonix: its information blocks have another layout']));
    return;
  }
  const kinds = Object.entries(info.links_by_kind).filter(([, n]) => n > 0).map(([k, n]) => `${n} ${k}`).join(', ');
  for (const [name, value] of [
    ['server', 'quonix ' + info.version], ['process id', info.pid], ['up (s)', info.uptime],
    ['links now', info.links + (kinds ? ` (${kinds})` : '')], ['registrations', info.registrations],
    ['messages queued', `${info.messages} in ${info.channels} channels`], ['programs running', info.programs],
    ['applications known', info.known]])
    facts.append(row([name, value]));
  for (const a of info.applications) {
    const tr = row([a.app, a.kind, a.link, a.kind === 'registered' ? a.requests : '', a.id, a.pid, a.since]);
    tr.dataset.app = a.app;
    apps.append(tr);
  }
}

// ---- Event queues -------------------------------------------------------------

function renderQueues(queues) {
  const list = $('open-queues');
  list.replaceChildren();
  for (const q of queues) {
    const li = el('li', `queue ${q.queue}${q.name ? ' "' + q.name + '"' : ''}${q.error ? ': ' + q.error : ''}`);
    li.dataset.queue = q.queue;
    const close = el('button', 'close');
    close.type = 'button';
    close.addEventListener('click', () => api('DELETE', '/api/queues/' + q.queue).catch((e) => say('open-result', e.message, true)));
    li.append(close);
    list.append(li);
  }
}

const KINDS = { 0: 'refused', 1: 'event', 2: 'lost' };

function addEvents(events) {
  const body = $('events').tBodies[0];
  for (const e of events) {
    const tr = row([e.time.slice(11, 23), e.queue, KINDS[e.kind] || e.kind, e.from || '', e.value ?? '', e.bytes ?? '',
      e.text || e.data || '']);
    tr.dataset.queue = e.queue;
    tr.dataset.value = e.value;
    body.prepend(tr);
  }
  while (body.rows.length > KEPT_EVENTS) body.deleteRow(-1);
}

// ---- The stream ---------------------------------------------------------------

function openStream() {
  if (state.stream) state.stream.close();
  state.words = [];
  state.labels = [];
  renderGrid();
  const { start, count } = viewWords();
  const q = new URLSearchParams({ area: areaName(), start, count, search: state.tagSearch, tagstart: state.tagStart,
    tagcount: TAG_PAGE });
  const stream = new EventSource('/api/stream?' + q);
  state.stream = stream;
  stream.onmessage = (m) => {
    if (stream !== state.stream) return;
    const j = JSON.parse(m.data);
    if (j.web) takeWeb(j.web);
    if (j.labels) { state.labels = j.labels; renderGrid(); }
    for (const [i, v] of j.words || []) {
      const known = state.words[i] !== undefined;
      state.words[i] = v;
      updateWord(i, known);
      if (wideForm() && i % 2 === 1) updateWord(i - 1, known);
    }
    if (j.tags) updateTags(j.tags);
    if (j.info) renderInfo(j.info);
    if (j.queues) renderQueues(j.queues);
    if (j.events) addEvents(j.events);
    if (j.status) showStatus(j.status.ok ? 'live' : 'stopped: ' + j.status.text, j.status.ok);
  };
  stream.onerror = () => { if (stream === state.stream) showStatus('disconnected from qna web', false); };
  stream.onopen = () => showStatus('live', true);
}

function showStatus(text, good) {
  const s = $('status');
  s.textContent = text;
  s.classList.toggle('live', good);
  s.classList.toggle('bad', !good);
}

function takeWeb(web) {
  state.writes = web.writes;
  document.body.classList.toggle('writes', web.writes);
  $('via').textContent = `${web.via}, as ${web.app}, every ${web.interval} ms`;
  $('writes').textContent = web.writes ? 'writes allowed' : 'read only';
  $('grid').classList.toggle('writable', web.writes);
}

// ---- Writing ------------------------------------------------------------------

function pick(kind, target) {
  if (!state.writes) return;
  $('set-kind').value = kind;
  $('set-target').value = target;
  $('set-value').focus();
}

function parseAddress(text) {
  const m = /^([A-Za-z]+)(\d+)$/.exec(text.trim()) || /^([0-5]):(\d+)$/.exec(text.trim());
  return m ? { area: m[1].toUpperCase(), offset: Number(m[2]) } : null;
}

async function submitSet(event) {
  event.preventDefault();
  const kind = $('set-kind').value;
  const target = $('set-target').value.trim();
  const value = $('set-value').value.trim();
  try {
    if (kind === 'tag') {
      await api('POST', '/api/tags/' + encodeURIComponent(target), { value });
    } else {
      const a = parseAddress(target);
      if (!a) throw new Error(`'${target}' is no address: an area and a number, as CW10`);
      await api('POST', `/api/areas/${a.area}/${a.offset}${kind === 'bit' ? '?bits=1' : ''}`, { value });
    }
    say('set-result', `wrote ${value} to ${target}`);
  } catch (e) {
    say('set-result', e.message, true);
  }
}

async function submit(event, id, call) {
  event.preventDefault();
  try {
    say(id, await call());
  } catch (e) {
    say(id, e.message, true);
  }
}

// ---- Start --------------------------------------------------------------------

async function start() {
  const j = await api('GET', '/api/areas');
  state.areas = j.areas;
  state.writes = j.writes;
  renderAreas();
  $('form').addEventListener('change', () => {
    const first = viewWords().start;  // the page that holds the first word shown
    state.form = $('form').value;
    state.page = Math.floor(first / (bitsForm() ? PAGE_BITS / 16 : PAGE_WORDS));
    openStream();
  });
  $('prev').addEventListener('click', () => { if (state.page > 0) { --state.page; openStream(); } });
  $('next').addEventListener('click', () => { if (state.page + 1 < pages()) { ++state.page; openStream(); } });
  $('goto').addEventListener('change', () => {
    const n = Number($('goto').value);
    if (!Number.isInteger(n) || n < 0) return;
    const word = bitsForm() ? Math.floor(n / 16) : n;
    state.page = Math.min(pages() - 1, Math.floor(word / (bitsForm() ? PAGE_BITS / 16 : PAGE_WORDS)));
    openStream();
  });
  $('grid').addEventListener('click', (e) => {
    const td = e.target.closest('td[data-address]');
    if (td) pick(td.dataset.kind, td.dataset.address);
  });
  let searching = 0;
  $('tag-search').addEventListener('input', () => {
    clearTimeout(searching);
    searching = setTimeout(() => { state.tagSearch = $('tag-search').value; state.tagStart = 0; refreshTags(); }, 300);
  });
  $('tags-prev').addEventListener('click', () => { if (state.tagStart > 0) { state.tagStart -= TAG_PAGE; refreshTags(); } });
  $('tags-next').addEventListener('click', () => {
    if (state.tagStart + TAG_PAGE < state.tagMatched) { state.tagStart += TAG_PAGE; refreshTags(); }
  });
  $('set-form').addEventListener('submit', submitSet);
  $('open-form').addEventListener('submit', (e) => submit(e, 'open-result', async () => {
    const text = $('open-queue').value.trim();
    const body = { queue: text === '' || text === 'any' ? 'any' : text };
    if ($('open-name').value) body.name = $('open-name').value;
    const r = await api('POST', '/api/queues', body);
    return `queue ${r.queue} open`;
  }));
  $('post-form').addEventListener('submit', (e) => submit(e, 'open-result', async () => {
    const q = $('post-queue').value.trim();
    await api('POST', `/api/queues/${encodeURIComponent(q)}/events`, { value: $('post-value').value.trim() || '0', data: $('post-data').value });
    return `posted to queue ${q}`;
  }));
  $('msg-form').addEventListener('submit', (e) => submit(e, 'msg-result', async () => {
    const r = await api('POST', '/api/messages', { channel: $('msg-channel').value.trim(), text: $('msg-text').value });
    return `sent ${r.bytes} bytes on channel ${r.channel}`;
  }));
  await refreshTags();
}

async function refreshTags() {
  await loadTags().catch((e) => { $('tags-why').textContent = e.message; });
  openStream();
}

start().catch((e) => showStatus(e.message, false));
