// The overview of every controller kordash watches: one event stream of rows.
'use strict';

const $ = (id) => document.getElementById(id);

function text(el, value) {
  const s = String(value);
  if (el.textContent !== s) el.textContent = s;
}

// null: a figure the controller does not report (yet).
const figure = (v) => (v === null || v === undefined ? '—' : String(v));

function render(data) {
  text($('link-error'), '');
  const body = $('controllers').tBodies[0];
  while (body.rows.length > data.rows.length) body.deleteRow(-1);
  data.rows.forEach((r, i) => {
    const tr = body.rows[i] || body.insertRow();
    if (!tr.cells.length) {
      for (let k = 0; k < 7; ++k) tr.insertCell();
      const a = document.createElement('a');
      tr.cells[0].appendChild(a);
    }
    tr.dataset.index = r.index;
    tr.classList.toggle('fail', r.link !== 'reachable');
    const a = tr.cells[0].firstChild;
    a.href = '/?c=' + r.index;
    text(a, r.name);
    text(tr.cells[1], r.controller);
    text(tr.cells[2], r.link + (r.error ? ': ' + r.error : ''));
    text(tr.cells[3], r.channels === null ? 'unknown' : r.channels);
    text(tr.cells[4], figure(r.commandsPerMinute === null ? null : Math.round(r.commandsPerMinute * 10) / 10));
    text(tr.cells[5], figure(r.failuresLastHour));
    text(tr.cells[6], figure(r.streamTicksMissed));
  });
  text($('controller-count'), data.rows.length);
  text($('reachable-count'), data.rows.filter((r) => r.link === 'reachable').length);
}

liveStream(() => '/api/overview', render, (why) => text($('link-error'), why)).connect();
