// The views of what happened: Activity (the command journal as a timeline),
// Traffic (a channel's captured conversation) and Console. kordash reads the
// controller; the page fetches only what it has not got yet (after its last
// index). Loaded before app.js, whose helpers ($, text, view, forCtl) it uses.
'use strict';

(() => {
const kKeep = 1000;         // entries and lines a page keeps (as kordash does)
const kTrafficRows = 500;   // the newest chunks shown
const logs = {
  journal: [], journalLast: 0, console: [], consoleLast: 0, busy: {},
  traffic: -1, captureVersion: '', capture: null, selected: null, drawnAt: 0,
};

// What the event stream must ask kordash to read for the view shown.
function logParams(name, p) {
  if (name === 'activity') p.set('logs', 'journal');
  if (name === 'console') p.set('logs', 'console');
  if (name === 'traffic' && logs.traffic > 0) p.set('capture', logs.traffic);
}

const pad = (n, w) => String(n).padStart(w || 2, '0');
function clock(ms) {
  const d = new Date(ms);
  return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}.${pad(d.getMilliseconds(), 3)}`;
}

// Fetches the entries after the page's last one; kordash started again (its
// numbering went back): everything again.
async function fetchLog(kind) {
  if (logs.busy[kind]) return;
  logs.busy[kind] = true;
  try {
    const r = await fetch(forCtl('/api/' + kind + '?after=' + logs[kind + 'Last']));
    if (!r.ok) return;
    const page = await r.json();
    if (page.last < logs[kind + 'Last']) { logs[kind] = []; logs[kind + 'Last'] = 0; return; }
    logs[kind].push(...page.items);
    if (logs[kind].length > kKeep) logs[kind].splice(0, logs[kind].length - kKeep);
    logs[kind + 'Last'] = page.last;
    if (kind === 'journal') { fillFilters(); drawActivity(true); } else drawConsole();
  } catch (e) { /* the next snapshot tries again */ } finally { logs.busy[kind] = false; }
}

function logStatus(el, part, what) {
  if (!part) { text(el, ''); return; }
  const missed = part.missed ? `, ${part.missed} ${what} missed (overwritten before kordash read them)` : '';
  text(el, part.error ? 'cannot read: ' + part.error : `${what} kept here: up to ${kKeep}${missed}`);
}

// ---- Activity ----

function isFailure(e) { return e.outcome === 'failure'; }

function filtered() {
  const slot = $('f-slot').value;
  const command = $('f-command').value;
  const failures = $('f-failures').checked;
  return logs.journal.filter((e) => (slot === '' || String(e.slot) === slot) &&
    (command === '' || e.name === command) && (!failures || isFailure(e)));
}

function setOptions(select, values) {
  const key = values.join('\n');
  if (select.dataset.values === key) return;
  select.dataset.values = key;
  const chosen = select.value;
  while (select.options.length > 1) select.remove(1);
  values.forEach((v) => select.add(new Option(v, v)));
  select.value = values.includes(chosen) ? chosen : '';
}

function fillFilters() {
  setOptions($('f-slot'), [...new Set(logs.journal.map((e) => String(e.slot)))].sort((a, b) => a - b));
  setOptions($('f-command'), [...new Set(logs.journal.map((e) => e.name))].sort());
}

// p4..p7 of a command that takes an address are its octets: shown dotted, as one.
function params(e) {
  if (e.address === undefined) return e.params.join(' ');
  return [...e.params.slice(0, 4), e.address, ...e.params.slice(8)].join(' ');
}
function namedParams(e) {
  const named = e.params.map((v, k) => `p${k}=${v}`);
  if (e.address !== undefined) named.splice(4, 4, 'p4..p7=' + e.address);
  return named.join('  ');
}
function resultText(e) {
  return (e.result === -1 ? 'none' : e.result) + ' ' + e.meaning + (e.outcome === 'empty' ? ' (nothing yet)' : '');
}

function showDetail(e) {
  logs.selected = e.i;
  $('journal-detail').hidden = false;
  text($('jd-title'), `${e.name} (command ${e.command}), #${e.seq}`);
  text($('jd-slot'), e.slot);
  text($('jd-start'), new Date(e.start_ms).toLocaleDateString() + ' ' + clock(e.start_ms));
  text($('jd-duration'), e.duration_ms + ' ms');
  text($('jd-result'), resultText(e));
  $('jd-result').className = e.outcome;
  text($('jd-params'), namedParams(e));
  text($('jd-console'), e.console.length ? e.console.join('\n') : '(none)');
  drawActivity(true);
}

// One lane per slot; a bar per command over the chosen span up to now.
function drawTimeline(entries) {
  const span = Number($('f-span').value);
  const t0 = Date.now() - span;
  const box = $('timeline');
  box.replaceChildren();
  const slots = [...new Set(entries.map((e) => e.slot))].sort((a, b) => a - b);
  for (const slot of slots) {
    const lane = document.createElement('div');
    lane.className = 'lane';
    const label = document.createElement('span');
    label.className = 'lane-label';
    label.textContent = 'slot ' + slot;
    const track = document.createElement('div');
    track.className = 'track';
    for (const e of entries) {
      if (e.slot !== slot || e.start_ms + e.duration_ms < t0) continue;
      const bar = document.createElement('div');
      bar.className = 'bar ' + e.outcome + (e.i === logs.selected ? ' selected' : '');
      bar.style.left = Math.max(0, (e.start_ms - t0) / span * 100) + '%';
      bar.style.width = Math.max(0.25, e.duration_ms / span * 100) + '%';
      bar.title = `${e.name} → ${resultText(e)}, ${e.duration_ms} ms`;
      bar.dataset.i = e.i;
      bar.textContent = e.duration_ms / span > 0.04 ? e.name : '';
      track.append(bar);
    }
    lane.append(label, track);
    box.append(lane);
  }
  const axis = document.createElement('div');
  axis.className = 'axis';
  axis.textContent = `${clock(t0)} … now (${span / 60000} min)`;
  box.append(axis);
}

function drawJournalTable(entries) {
  const rows = entries.slice(-Number($('f-rows').value)).reverse();
  const body = $('journal').tBodies[0];
  while (body.rows.length > rows.length) body.deleteRow(-1);
  rows.forEach((e, k) => {
    const tr = body.rows[k] || body.insertRow();
    const cells = [e.seq, clock(e.start_ms), e.slot, e.name, params(e), resultText(e), e.duration_ms + ' ms'];
    while (tr.cells.length < cells.length) tr.insertCell();
    cells.forEach((v, c) => text(tr.cells[c], v));
    tr.dataset.i = e.i;
    tr.className = e.outcome + (e.i === logs.selected ? ' selected' : '');
  });
  $('no-journal').hidden = rows.length > 0;
}

// Redrawn when entries arrive, and twice a second for the moving time axis.
function drawActivity(now) {
  if (view.name !== 'activity' || (!now && Date.now() - logs.drawnAt < 500)) return;
  logs.drawnAt = Date.now();
  const entries = filtered();
  drawTimeline(entries);
  drawJournalTable(entries);
}

function pickEntry(ev) {
  const el = ev.target.closest('[data-i]');
  const e = el && logs.journal.find((x) => x.i === Number(el.dataset.i));
  if (e) showDetail(e);
}

// ---- Console ----

function drawConsole() {
  if (view.name !== 'console') return;
  const filter = $('console-filter').value.toLowerCase();
  const lines = logs.console.filter((l) => !filter || (l.task + ' ' + l.text).toLowerCase().includes(filter));
  const pre = $('console-lines');
  text(pre, lines.map((l) => `${clock(l.time)}  ${l.task.padEnd(10)} ${l.text}`).join('\n'));
  text($('console-status'), `${lines.length} of ${logs.console.length} lines`);
  if ($('console-follow').checked) pre.scrollTop = pre.scrollHeight;
}

// ---- Traffic ----

function bytesOf(hex) {
  const out = [];
  for (let k = 0; k + 1 < hex.length; k += 2) out.push(parseInt(hex.substr(k, 2), 16));
  return out;
}

function chunkText(bytes) {
  const hex = bytes.map((b) => pad(b.toString(16))).join(' ');
  const txt = bytes.map((b) => (b >= 32 && b < 127 ? String.fromCharCode(b) : '·')).join('');
  return hex + '\n' + txt;
}

async function fetchCapture(handle, version) {
  if (logs.busy.capture) return;
  logs.busy.capture = true;
  try {
    const r = await fetch(forCtl('/api/capture?channel=' + handle));
    const cap = r.ok ? await r.json() : null;
    if (cap && cap.handle === logs.traffic) { logs.capture = cap; logs.captureVersion = version; drawTraffic(); }
  } catch (e) { /* the next snapshot tries again */ } finally { logs.busy.capture = false; }
}

function trafficRows(records) {
  const seen = new Set();
  const rows = [];
  for (const r of records) {
    const bytes = bytesOf(r.hex);
    if (r.kind === 'O') {
      // The endpoints of the last connections come first; each once.
      const what = 'connection ' + r.conn + ' opened: ' + String.fromCharCode(...bytes);
      if (!seen.has(what)) rows.push({ t: r.t, open: what });
      seen.add(what);
    } else {
      rows.push({ t: r.t, side: r.kind === 'R' ? 1 : 2, data: chunkText(bytes) + (r.cut ? '\n(cut)' : '') });
    }
  }
  return rows.slice(-kTrafficRows);
}

function drawTraffic() {
  if (view.name !== 'traffic') return;
  const cap = logs.capture && logs.capture.handle === logs.traffic ? logs.capture : null;
  const rows = cap ? trafficRows(cap.records) : [];
  const body = $('traffic').tBodies[0];
  body.replaceChildren();
  for (const row of rows) {
    const tr = body.insertRow();
    const time = tr.insertCell();
    time.textContent = clock(row.t / 1000) + pad(row.t % 1000, 3);
    if (row.open) {
      const cell = tr.insertCell();
      cell.colSpan = 2;
      cell.className = 'opened';
      cell.textContent = row.open;
      continue;
    }
    const received = tr.insertCell();
    const sent = tr.insertCell();
    (row.side === 1 ? received : sent).textContent = row.data;
    tr.className = row.side === 1 ? 'received' : 'sent';
  }
  $('no-traffic').hidden = rows.length > 0;
  text($('no-traffic'), logs.traffic < 0 ? 'Choose a channel.'
    : cap && cap.error ? 'cannot read the capture: ' + cap.error : 'Nothing captured on this channel.');
}

// Every handle: a closed channel's capture stays readable (what was said before it closed).
function fillTrafficSelect(channels, lastHandle) {
  const select = $('traffic-select');
  const labels = [];
  for (let h = 1; h <= lastHandle; h++) {
    const ch = channels.find((x) => x.handle === h);
    labels.push(ch ? `${h}: ${ch.kind}${ch.peer ? ', ' + ch.peer : ''}` : `${h}: not in use`);
  }
  const key = labels.join('\n');
  if (select.dataset.labels !== key) {
    select.dataset.labels = key;
    while (select.options.length > 1) select.remove(1);
    labels.forEach((label, k) => select.add(new Option(label, String(k + 1))));
  }
  select.value = String(logs.traffic);
}

function renderTraffic(s) {
  fillTrafficSelect(s.channels, s.limits ? s.limits.lastHandle : 0);
  const c = s.logs && s.logs.capture;
  const mine = c && c.handle === logs.traffic;
  text($('capture-status'), logs.traffic < 0 ? '' : !mine ? 'reading…'
    : `channel ${c.handle}: capture ${c.on ? 'on' : 'off'}, ${c.count} records kept` +
      (c.dropped ? `, ${c.dropped} older bytes overwritten` : ''));
  $('pcap-download').hidden = logs.traffic < 0;
  if (mine && c.version !== logs.captureVersion) fetchCapture(c.handle, c.version);
}

function selectTraffic(handle) {
  logs.traffic = handle;
  logs.capture = null;
  logs.captureVersion = '';
  $('pcap-download').href = forCtl('/api/capture.pcapng?channel=' + handle);
  connect();
  drawTraffic();
}

// ---- for app.js ----

function renderLogs(s) {
  const l = s.logs || {};
  if (view.name === 'activity') {
    logStatus($('journal-status'), l.journal, 'commands');
    if (l.journal && l.journal.last !== logs.journalLast) fetchLog('journal');
    drawActivity(false);
  }
  if (view.name === 'console') {
    if (l.console && l.console.error) text($('console-status'), 'cannot read: ' + l.console.error);
    if (l.console && l.console.last !== logs.consoleLast) fetchLog('console');
  }
  if (view.name === 'traffic') renderTraffic(s);
}

function wireLogs() {
  ['f-slot', 'f-command', 'f-failures', 'f-span', 'f-rows'].forEach((id) =>
    $(id).addEventListener('change', () => drawActivity(true)));
  $('timeline').addEventListener('click', pickEntry);
  $('journal').addEventListener('click', pickEntry);
  $('console-filter').addEventListener('input', drawConsole);
  $('traffic-select').addEventListener('change', (e) => selectTraffic(Number(e.target.value)));
  const capture = async (on) => {
    if (logs.traffic < 0) return;
    showResult($('capture-result'), await post('/api/capture', { handle: logs.traffic, on }), 'capture');
    logs.captureVersion = '';
  };
  $('btn-capture-on').addEventListener('click', () => capture(true));
  $('btn-capture-off').addEventListener('click', () => capture(false));
  $('pcap-download').hidden = true;
}

// Called by showView in app.js.
function showLogs(name) {
  if (name === 'activity') drawActivity(true);
  if (name === 'console') drawConsole();
  if (name === 'traffic' && logs.traffic < 0 && view.channel > 0) selectTraffic(view.channel);
  if (name === 'traffic') drawTraffic();
}

// What app.js calls; everything else stays inside.
Object.assign(window, { logParams, renderLogs, wireLogs, showLogs });
})();
