// The reference extension's bridge between a page and its background: takes the page's requests
// from window.postMessage and answers the same window. Every message that is not a request of
// ours, or that comes from another window, is ignored.
(() => {
  const CHANNEL = 'npcorvane';
  const api = globalThis.browser ?? globalThis.chrome;
  // Copied field by field: nothing of the page's objects but these strings travels on.
  const FIELDS = ['certificate', 'data', 'digest', 'hash', 'padding'];

  const post = (message) => window.postMessage({ channel: CHANNEL, ...message }, '*');

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
    let sent;
    try {
      sent = api.runtime.sendMessage({ operation: message.operation, params });
    } catch (error) {
      sent = Promise.reject(error);
    }
    // The extension was updated or removed while the page stayed open: this script is orphaned.
    Promise.resolve(sent).then(
      (reply) => post({ kind: 'reply', id, ...(reply ?? { ok: false, error: { code: 'extension_unavailable', message: 'the extension did not answer' } }) }),
      (error) => post({ kind: 'reply', id, ok: false, error: { code: 'extension_unavailable', message: String(error?.message ?? error) } }));
  });

  // A page that asked before this script ran hears it is here now.
  post({ kind: 'ready' });
})();
