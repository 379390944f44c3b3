// A page's live data: one event stream from kordash, open only while the page
// is visible. A refusal (such as 503 when too many pages watch) ends an event
// stream for good, so it is retried here, unless it was for an expired log-in.
'use strict';

function liveStream(url, onData, onTrouble) {
  const kRetryMs = 3000;
  let events = null;
  let retryTimer = null;

  function disconnect() {
    if (events) events.close();
    clearTimeout(retryTimer);
    events = null;
  }

  function connect() {
    disconnect();
    const source = new EventSource(url());
    events = source;
    source.onmessage = (e) => onData(JSON.parse(e.data));
    source.onerror = () => {
      if (source.readyState !== EventSource.CLOSED) { onTrouble('no connection to kordash; retrying'); return; }
      if (events === source) events = null;
      fetch('/', { method: 'HEAD' }).then((r) => { if (r.status === 401) location.href = '/login'; }, () => {});
      onTrouble('kordash refused the live data (too many pages open?); retrying in ' + kRetryMs / 1000 + ' s');
      retryTimer = setTimeout(() => { if (!document.hidden) connect(); }, kRetryMs);
    };
  }

  document.addEventListener('visibilitychange', () => (document.hidden ? disconnect() : connect()));
  return { connect, disconnect, open: () => events !== null };
}
