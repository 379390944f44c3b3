// The dashboard page: one event stream of snapshots from kordash, open only
// while the page is visible; actions go back as small JSON posts.
'use strict';

const $ = (id) => document.getElementById(id);
const view = { name: 'channels', channel: -1, bStart: 100, bCount: 40, varKind: 'I', varStart: 0, varCount: 20 };
let last = null;
let lastMessageAt = 0;
let chart = null;
let streamTrouble = '';  // why the page has no live data from kordash, or ''
// Which controller, when kordash watches several: ?c=N, passed on to every request.
const ctl = new URLSearchParams(location.search).get('c');
const forCtl = (url) => (ctl === null ? url : url + (url.includes('?') ? '&' : '?') + 'c=' + encodeURIComponent(ctl));

function text(el, value) {
  const s = String(value);
  if (el.textContent !== s) el.textContent = s;
}

function eventUrl() {
  const p = new URLSearchParams({ channel: view.channel, vk: view.varKind, vs: view.varStart, vn: view.varCount });
  if (view.name === 'bvars') { p.set('b', view.bStart); p.set('n', view.bCount); }
  logParams(view.name, p);  // activity.js
  if (ctl !== null) p.set('c', ctl);
  return '/api/events?' + p.toString();
}

function troubled(why) {
  streamTrouble = why;
  text($('link-error'), why);
  showChannelsUnknown(why);
}

const live = liveStream(eventUrl, (s) => { lastMessageAt = Date.now(); streamTrouble = ''; render(s); }, troubled);
const connect = live.connect;
const disconnect = live.disconnect;

async function post(url, body) {
  let r;
  try {
    r = await fetch(forCtl(url), {
      method: 'POST', headers: { 'Content-Type': 'application/json', 'X-Kordash': '1' },
      body: JSON.stringify(body || {}),
    });
  } catch (e) { return { ok: false, message: 'no connection to kordash' }; }
  if (r.status === 401) { location.href = '/login'; return { ok: false, message: 'log-in needed' }; }
  const reply = await r.text();
  try { return JSON.parse(reply); } catch (e) { return { ok: false, message: reply || 'HTTP ' + r.status }; }
}

function showResult(el, res, prefix) {
  el.classList.toggle('fail', !res.ok);
  text(el, (prefix ? prefix + ': ' : '') + (res.message || (res.ok ? 'done' : 'failed')));
}

function hexToBytes(hex) {
  const out = new Uint8Array(hex.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(2 * i, 2), 16);
  return out;
}

function hexDump(bytes) {
  const lines = [];
  for (let off = 0; off < bytes.length; off += 16) {
    const row = Array.from(bytes.slice(off, off + 16));
    const hex = row.map((b) => b.toString(16).padStart(2, '0')).join(' ').padEnd(47);
    const txt = row.map((b) => (b >= 32 && b < 127 ? String.fromCharCode(b) : '.')).join('');
    lines.push(off.toString(16).padStart(4, '0') + '  ' + hex + '  ' + txt);
  }
  return lines.join('\n');
}

function showView(name) {
  const before = eventUrl();
  view.name = name;
  const reopen = eventUrl() !== before;
  document.querySelectorAll('nav button').forEach((b) => b.classList.toggle('active', b.dataset.view === name));
  document.querySelectorAll('main section').forEach((s) => { s.hidden = s.id !== 'view-' + name; });
  if (reopen) connect();
  if (last) render(last);
  showLogs(name);
}

function selectChannel(handle) {
  view.channel = handle;
  connect();
  showView('channel');
}

function renderHeader(s) {
  text($('controller'), s.controller);
  text($('version'), s.version || '–');
  const st = $('link-state');
  text(st, s.link);
  st.className = 'state ' + s.link;
  text($('last-refresh'), s.lastGood ? new Date(s.lastGood).toLocaleTimeString() : 'never');
  text($('link-error'), s.error || '');
}

// Without a fresh channel list the table shows why, never an empty list.
function showChannelsUnknown(why) {
  const body = $('channels').tBodies[0];
  while (body.rows.length) body.deleteRow(-1);
  text($('no-channels'), 'unknown (' + why + ')');
  $('no-channels').hidden = false;
}

function renderChannels(s) {
  if (streamTrouble || s.link !== 'reachable') {
    showChannelsUnknown(streamTrouble || (s.link + (s.error ? ': ' + s.error : '')));
    return;
  }
  text($('no-channels'), 'No channel in use.');
  const body = $('channels').tBodies[0];
  const rows = s.channels.map((c) => [c.handle, c.kind, c.peer || '–', c.local || '–', c.task, c.queued]);
  while (body.rows.length > rows.length) body.deleteRow(-1);
  rows.forEach((cells, i) => {
    const tr = body.rows[i] || body.insertRow();
    tr.dataset.handle = cells[0];
    tr.classList.toggle('selected', cells[0] === view.channel);
    while (tr.cells.length < cells.length) tr.insertCell();
    cells.forEach((v, k) => text(tr.cells[k], v));
    tr.cells[2].className = 'peer';
  });
  $('no-channels').hidden = rows.length > 0;
  const select = $('channel-select');
  const options = s.channels.map((c) => String(c.handle)).join(',');
  if (select.dataset.options !== options) {
    select.dataset.options = options;
    select.innerHTML = '<option value="-1">–</option>' +
      s.channels.map((c) => `<option value="${c.handle}">${c.handle}</option>`).join('');
  }
  select.value = String(view.channel);
}

function renderChannel(s) {
  const c = s.channels.find((x) => x.handle === view.channel);
  text($('channel-handle'), view.channel >= 0 ? view.channel : '–');
  const known = !streamTrouble && s.link === 'reachable';
  text($('channel-kind'), c ? `${c.kind}, ${c.peer || 'no peer'}`
    : view.channel < 0 ? 'choose a channel' : known ? 'not in use' : 'unknown (' + (streamTrouble || s.link) + ')');
  const bytes = hexToBytes((s.queues && s.queues[view.channel]) || '');
  text($('queue-count'), bytes.length);
  text($('queue-hex'), hexDump(bytes));
  text($('queue-text'), Array.from(bytes).map((b) => (b >= 32 && b < 127) || b === 10 ? String.fromCharCode(b) : '·').join(''));
}

function renderBvars(s) {
  const values = s.bvars[view.bStart + ':' + view.bCount];
  const grid = $('b-grid');
  if (grid.dataset.range !== view.bStart + ':' + view.bCount) {
    grid.dataset.range = view.bStart + ':' + view.bCount;
    grid.innerHTML = '';
    for (let k = 0; k < view.bCount; k++) {
      const label = document.createElement('label');
      const input = document.createElement('input');
      input.dataset.index = view.bStart + k;
      input.id = 'b' + (view.bStart + k);
      label.append('B' + (view.bStart + k) + ' ', input);
      grid.append(label);
    }
  }
  if (!values) return;
  grid.querySelectorAll('input').forEach((input, k) => {
    if (document.activeElement !== input && !input.classList.contains('changed')) input.value = values[k];
  });
}

function renderJobs(s) {
  const names = s.jobs.join('\n');
  const list = $('jobs');
  if (list.dataset.names === names) return;
  list.dataset.names = names;
  list.innerHTML = '';
  s.jobs.forEach((n) => { const li = document.createElement('li'); li.textContent = n; list.append(li); });
  if (!s.jobs.length) list.innerHTML = '<li class="hint">no job files</li>';
}

function fillTable(body, rows) {
  while (body.rows.length > rows.length) body.deleteRow(-1);
  rows.forEach((cells, i) => {
    const tr = body.rows[i] || body.insertRow();
    while (tr.cells.length < cells.length) tr.insertCell();
    cells.forEach((v, k) => text(tr.cells[k], v));
  });
}

function renderState(s) {
  const st = s.state;
  $('state-missing').hidden = !!st;
  $('state-views').hidden = !st;
  if (!st) return;
  text($('state-path'), st.error ? st.path + ': ' + st.error : st.path);
  if (st.error) return;
  // The launcher sets the command variable back to 0 at once: the last command
  // comes from the journal, and the result is read as its result.
  fillTable($('slots').tBodies[0], st.slots.map((x) => [
    x.slot, `B${x.idVar} = ${x.id}` + (x.name ? ` ${x.name}` : '') + (x.last ? `, last ${x.last.name}` : ''),
    `I${x.firstParam}..: ${x.params.join(' ')}`,
    `B${x.resultVar}`, x.result === null ? '–' : x.result + (x.meaning ? ' ' + x.meaning : '')]));
  const v = st.vars[view.varKind + ':' + view.varStart + ':' + view.varCount];
  fillTable($('vars').tBodies[0], v ? v.values.map((val, k) => [
    v.kind + (v.start + k), Array.isArray(val) ? val.join(', ') : val]) : []);
  fillTable($('robot').tBodies[0], st.robot.map((r, k) => [k, ...r.values, r.figure]));
}

function makeChart() {
  const ds = (label, color) => ({ label, data: [], borderColor: color, pointRadius: 0, borderWidth: 1.5 });
  chart = new Chart($('stream-chart'), {
    type: 'line',
    data: { datasets: [ds('X', '#c62828'), ds('Y', '#2e7d32'), ds('Z', '#1565c0')] },
    options: {
      animation: false, parsing: false, normalized: true, maintainAspectRatio: false,
      scales: { x: { type: 'linear', min: -10, max: 0, title: { display: true, text: 'seconds ago' } },
                y: { title: { display: true, text: 'µm' } } },
    },
  });
}

function renderStream(s) {
  const st = s.stream;
  $('stream-missing').hidden = !!st;
  $('stream-views').hidden = !st;
  if (!st) return;
  text($('stream-port'), st.port);
  text($('stream-rate'), Math.round(st.rate));
  text($('stream-datagrams'), st.datagrams);
  text($('stream-gaps'), st.gaps);
  text($('stream-points'), st.plotted);
  text($('stream-last'), st.last ? `sequence ${st.last.seq}, I/O byte ${st.last.io}, figure ${st.last.figure}\n` +
    `X ${st.last.values[0]}  Y ${st.last.values[1]}  Z ${st.last.values[2]}\n` +
    `RX ${st.last.values[3]}  RY ${st.last.values[4]}  RZ ${st.last.values[5]}  RE ${st.last.values[6]}\n` +
    `${st.last.ageSeconds.toFixed(1)} s ago` : 'nothing received yet');
  if (view.name !== 'stream' || typeof Chart === 'undefined') return;
  if (!chart) makeChart();
  [st.x, st.y, st.z].forEach((values, k) => {
    chart.data.datasets[k].data = values.map((v, i) => ({ x: st.t[i], y: v }));
  });
  chart.update('none');
}

// The input limits kordash keeps (the most B variables and variables a page
// may watch), from the snapshot.
let limits = { bCount: Infinity, varWindow: Infinity };
function applyLimits(l) {
  if (!l || (l.bCount === limits.bCount && l.varWindow === limits.varWindow)) return;
  limits = l;
  $('b-count').max = l.bCount;
  $('var-count').max = l.varWindow;
}

function render(s) {
  last = s;
  applyLimits(s.limits);
  renderHeader(s);
  renderChannels(s);
  if (view.name === 'channel') renderChannel(s);
  if (view.name === 'bvars') renderBvars(s);
  if (view.name === 'jobs') renderJobs(s);
  if (view.name === 'state') renderState(s);
  renderStream(s);
  renderLogs(s);
  if (typeof renderCounters === 'function') renderCounters(s, view.name === 'counters');
}

function wire() {
  document.querySelectorAll('nav button').forEach((b) => b.addEventListener('click', () => showView(b.dataset.view)));
  $('channels').addEventListener('click', (e) => {
    const tr = e.target.closest('tr[data-handle]');
    if (tr) selectChannel(Number(tr.dataset.handle));
  });
  $('channel-select').addEventListener('change', (e) => selectChannel(Number(e.target.value)));
  $('btn-clear').addEventListener('click', async () =>
    showResult($('channel-result'), await post('/api/channel/clear', { handle: view.channel }), 'clear'));
  // Closing ends the controller's connection under the job's feet: ask first.
  $('btn-close').addEventListener('click', () => {
    if (view.channel < 0) return;
    text($('close-question'), 'Close channel ' + view.channel + '? The job loses its connection.');
    $('close-confirm').hidden = false;
  });
  $('btn-close-no').addEventListener('click', () => { $('close-confirm').hidden = true; });
  $('btn-close-yes').addEventListener('click', async () => {
    $('close-confirm').hidden = true;
    showResult($('channel-result'), await post('/api/channel/close', { handle: view.channel }), 'close');
  });
  $('send-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    showResult($('channel-result'), await post('/api/channel/send', { handle: view.channel, text: $('send-text').value }), 'send');
  });
  $('b-range').addEventListener('submit', (e) => {
    e.preventDefault();
    view.bStart = Math.max(0, Math.min(65535, Number($('b-start').value) || 0));
    view.bCount = Math.max(1, Math.min(limits.bCount, Number($('b-count').value) || 1, 65536 - view.bStart));
    connect();
  });
  $('b-grid').addEventListener('input', (e) => e.target.classList.add('changed'));
  $('b-grid').addEventListener('keydown', async (e) => {
    if (e.key !== 'Enter' || !e.target.dataset.index) return;
    const index = Number(e.target.dataset.index);
    const value = Number(e.target.value);
    const res = Number.isInteger(value) && value >= 0 && value <= 255
      ? await post('/api/b', { index, value }) : { ok: false, message: 'a B value is 0..255' };
    showResult($('b-result'), res, 'B' + index);
    if (res.ok) { e.target.classList.remove('changed'); e.target.blur(); }
  });
  $('btn-jobs').addEventListener('click', () => post('/api/jobs'));
  $('ftp-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const form = new FormData(e.target);
    const body = Object.fromEntries(form.entries());
    const dir = e.submitter && e.submitter.value === 'put' ? 'put' : 'get';
    text($('ftp-result'), 'transfer running…');
    const res = await post('/api/ftp/' + dir, body);
    showResult($('ftp-result'), res, res.code !== undefined ? String(res.code) : dir);
  });
  $('var-range').addEventListener('submit', (e) => {
    e.preventDefault();
    view.varKind = $('var-kind').value;
    view.varStart = Math.max(0, Number($('var-start').value) || 0);
    view.varCount = Math.max(1, Math.min(limits.varWindow, Number($('var-count').value) || 1));
    connect();
  });
  // A page that hears nothing for a while says so rather than show old values as live.
  setInterval(() => {
    if (live.open() && lastMessageAt && Date.now() - lastMessageAt > 3000) troubled('no update from kordash for ' + Math.round((Date.now() - lastMessageAt) / 1000) + ' s');
  }, 1000);
  wireLogs();
  $('overview-link').hidden = ctl === null;
  if (!document.hidden) connect();
}

wire();
