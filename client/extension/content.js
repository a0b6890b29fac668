// The reference extension's bridge between a page and its background: takes the page's requests
// from window.postMessage and answers the same window. Every message that is not a request of
// ours, or that comes from another window, is ignored.
(() => {
  const CHANNEL = 'npcorvane';
  const api = globalThis.browser ?? globalThis.chrome;
  // Copied field by field: nothing of the page's objects but these strings travels on.
  const FIELDS = ['certificate', 'data', 'digest', 'hash', 'padding'];

  // Characters per message to the background: Chromium carries a message as JSON in one go, so
  // a 22 MB document goes about three times faster in pieces that overlap than in one message.
  const PIECE = 262_144;

  const post = (message) => window.postMessage({ channel: CHANNEL, ...message }, '*');

  // One port per request: the long fields in pieces, then the request with their last pieces.
  function ask(operation, params) {
    return new Promise((resolve, reject) => {
      const port = api.runtime.connect({ name: 'npcorvane-request' });
      port.onMessage.addListener((reply) => {
        resolve(reply);
        port.disconnect();
      });
      port.onDisconnect.addListener(() => reject(new Error(api.runtime.lastError?.message ?? 'the extension went away')));
      const last = { ...params };
      for (const field of ['data', 'digest']) {
        const text = params[field];
        if (typeof text !== 'string') continue;
        let at = 0;
        for (; text.length - at > PIECE; at += PIECE) port.postMessage({ field, piece: text.slice(at, at + PIECE) });
        last[field] = text.slice(at);
      }
      port.postMessage({ operation, params: last });
    });
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window) return;
    const message = event.data;
    if (message === null || typeof message !== 'object' || message.channel !== CHANNEL) return;
    if (message.kind === 'hello') {
      post({ kind: 'ready' });
      return;
    }
    if (message.kind !== 'request' || typeof message.id !== 'string' || typeof message.operation !== 'string') return;
    const { id } = message;
    const params = {};
    const given = message.params !== null && typeof message.params === 'object' ? message.params : {};
    for (const name of FIELDS) if (typeof given[name] === 'string') params[name] = given[name];
    // The extension was updated or removed while the page stayed open: this script is orphaned.
    ask(message.operation, params).then(
      (reply) => post({ kind: 'reply', id, ...(reply ?? { ok: false, error: { code: 'extension_unavailable', message: 'the extension did not answer' } }) }),
      (error) => post({ kind: 'reply', id, ok: false, error: { code: 'extension_unavailable', message: String(error?.message ?? error) } }));
  });

  // A page that asked before this script ran hears it is here now.
  post({ kind: 'ready' });
})();
