// The Counters view: the controller's counters (read by kordash about once a
// second while the page is open) as figures, rates charted over the last
// minutes, and the commands by result. Uses $ and text() of app.js.
'use strict';

const kCounterHistorySeconds = 300;
const counterHistory = [];  // {t (ms), and the totals charted}, one per reading
const counterCharts = {};

// The totals the charts follow, from one reading.
function counterTotals(c) {
  return {
    t: c.time, success: c.byResult.success, empty: c.byResult.empty, failure: c.byResult.failure,
    bytesIn: c.bytesIn, bytesOut: c.bytesOut, dropped: c.dropped, ticksMissed: c.ticksMissed,
  };
}

function keepReading(c) {
  const prev = counterHistory[counterHistory.length - 1];
  if (!c.ok || (prev && prev.t === c.time)) return;
  counterHistory.push(counterTotals(c));
  while (counterHistory.length > 2 && counterHistory[0].t < c.time - kCounterHistorySeconds * 1000) counterHistory.shift();
}

// Per second between consecutive readings, as {x: seconds ago, y}; a
// controller that started again (a counter going down) leaves a gap.
function ratesOf(key, now) {
  const points = [];
  for (let i = 1; i < counterHistory.length; i++) {
    const a = counterHistory[i - 1], b = counterHistory[i];
    const dt = (b.t - a.t) / 1000;
    if (dt > 0 && b[key] >= a[key]) points.push({ x: (b.t - now) / 1000, y: (b[key] - a[key]) / dt });
  }
  return points;
}

const kCounterCharts = {
  'counters-commands-chart': { unit: 'commands / s', series: [['success', 'success', '#2e7d32'], ['empty', 'nothing yet', '#90a4ae'], ['failure', 'failure', '#c62828']] },
  'counters-bytes-chart': { unit: 'bytes / s', series: [['bytesIn', 'received', '#1565c0'], ['bytesOut', 'sent', '#ef6c00']] },
  'counters-dropped-chart': { unit: 'bytes / s', series: [['dropped', 'dropped: queue full', '#c62828']] },
  'counters-ticks-chart': { unit: 'ticks / s', series: [['ticksMissed', 'stream ticks missed', '#6a1b9a']] },
};

function makeCounterChart(id) {
  const layout = kCounterCharts[id];
  counterCharts[id] = new Chart($(id), {
    type: 'line',
    data: { datasets: layout.series.map(([, label, color]) => ({ label, data: [], borderColor: color, backgroundColor: color, pointRadius: 0, borderWidth: 1.5, stepped: 'before' })) },
    options: {
      animation: false, parsing: false, normalized: true, maintainAspectRatio: false,
      scales: { x: { type: 'linear', min: -kCounterHistorySeconds, max: 0, title: { display: true, text: 'seconds ago' } },
                y: { beginAtZero: true, suggestedMax: 1, title: { display: true, text: layout.unit } } },
    },
  });
}

function renderCounterFigures(c) {
  const figures = {
    'counters-commands': c.byResult.success + c.byResult.empty + c.byResult.failure,
    'counters-success': c.byResult.success, 'counters-empty': c.byResult.empty, 'counters-failure': c.byResult.failure,
    'counters-bytes-in': c.bytesIn, 'counters-bytes-out': c.bytesOut, 'counters-dropped': c.dropped,
    'counters-ticks-missed': c.ticksMissed, 'counters-datagrams': c.positionDatagrams,
    'counters-channels-opened': c.channelsOpened, 'counters-ftp-failed': c.ftpFailed,
    'counters-mails-failed': c.mailsFailed, 'counters-admin-sessions': c.adminSessions,
  };
  for (const [id, v] of Object.entries(figures)) text($(id), v);
  $('counters-failure').classList.toggle('fail', c.byResult.failure > 0);
  $('counters-dropped').classList.toggle('fail', c.dropped > 0);
  const rows = c.commands.map((x) => [x.command, x.result, x.code === null ? '–' : x.code + ' ' + x.meaning, x.count]);
  fillTable($('counters-table').tBodies[0], rows);
  Array.from($('counters-table').tBodies[0].rows).forEach((tr, i) => tr.classList.toggle('fail', c.commands[i].result === 'failure'));
}

// s: a snapshot; shown: whether the Counters view is the one open.
function renderCounters(s, shown) {
  const c = s.counters;
  if (c) keepReading(c);
  if (!shown) return;
  const known = c && c.ok;
  text($('counters-state'), !c ? 'not read yet' : known ? 'read ' + new Date(c.time).toLocaleTimeString()
    : 'unknown (the last reading failed: ' + (s.link + (s.error ? ': ' + s.error : '')) + ')');
  $('counters-views').hidden = !known;
  if (!known) return;
  renderCounterFigures(c);
  if (typeof Chart === 'undefined') return;
  // The time axis grows with the history, up to its five minutes.
  const span = Math.min(kCounterHistorySeconds, Math.max(10, Math.ceil((c.time - counterHistory[0].t) / 1000)));
  for (const id of Object.keys(kCounterCharts)) {
    if (!counterCharts[id]) makeCounterChart(id);
    counterCharts[id].options.scales.x.min = -span;
    kCounterCharts[id].series.forEach(([key], k) => { counterCharts[id].data.datasets[k].data = ratesOf(key, c.time); });
    counterCharts[id].update('none');
  }
}
