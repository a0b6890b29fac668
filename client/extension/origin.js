// Who is asking: the origin of a message's sender as the browser recorded it, and whether the
// administrator's policy lets that origin ask at all. Shared by the background and its tests.

/**
 * The origin of the frame that sent a runtime message, from the browser's own record of the
 * sender (sender.origin, else the origin of sender.url), never from the message itself; null
 * when the browser gives neither or the sender is not one of this extension's own scripts.
 * @param {{id?: string, origin?: string, url?: string}} sender
 * @param {string} extensionId runtime.id
 * @returns {string|null}
 */
export function senderOrigin(sender, extensionId) {
  if (!sender || sender.id !== extensionId) return null;
  if (typeof sender.origin === 'string' && sender.origin !== '' && sender.origin !== 'null') {
    return sender.origin;
  }
  if (typeof sender.url !== 'string') return null;
  try {
    const origin = new URL(sender.url).origin;
    return origin === 'null' ? null : origin;
  } catch {
    return null;
  }
}

// The schemes and hosts the content script runs on; anything else (file:, data:, another
// extension, http: on a public host) is refused before a host is started.
export function originScheme(origin) {
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;
  }
  if (url.origin !== origin) return false;
  if (url.protocol === 'https:') return true;
  return url.protocol === 'http:' && (url.hostname === 'localhost' || url.hostname === '127.0.0.1');
}

// A policy entry is an origin ("https://sign.example.org", any port written out) or a pattern
// for a site and its subdomains ("https://*.example.org").
function matches(origin, entry) {
  if (typeof entry !== 'string') return false;
  if (entry === origin) return true;
  const wild = /^(https?):\/\/\*\.([^/*]+)$/.exec(entry);
  if (!wild) return false;
  const url = new URL(origin);
  const host = url.port ? `${url.hostname}:${url.port}` : url.hostname;
  return url.protocol === `${wild[1]}:` && (host === wild[2] || host.endsWith(`.${wild[2]}`));
}

/**
 * Whether origin may ask, under the administrator's policy: refused when it is not an https
 * origin (or http on localhost), when blockedOrigins names it, or when allowedOrigins is a
 * non-empty list that does not name it. Blocking wins.
 * @param {string|null} origin
 * @param {{allowedOrigins?: string[], blockedOrigins?: string[]}} [policy]
 * @returns {boolean}
 */
export function originAllowed(origin, { allowedOrigins = [], blockedOrigins = [] } = {}) {
  if (origin === null || !originScheme(origin)) return false;
  const list = (value) => (Array.isArray(value) ? value : []);
  if (list(blockedOrigins).some((entry) => matches(origin, entry))) return false;
  const allowed = list(allowedOrigins);
  return allowed.length === 0 || allowed.some((entry) => matches(origin, entry));
}
