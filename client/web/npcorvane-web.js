// The page's side of npcorvane: a site asks the reference extension (through its content script)
// for the user's certificates and for signatures. An ES module with no dependencies.

/** How long a call waits, at most, for the extension's content script to say it is there. */
export const EXTENSION_WAIT = 1000;

/** The default per-call timeout, in milliseconds: a signature waits for the user. */
export const DEFAULT_TIMEOUT = 120_000;

const CHANNEL = 'npcorvane';

/**
 * Every failure of a call. code is stable and meant for programs: extension_unavailable,
 * host_unavailable, host_error, origin_not_allowed, timeout, bad_request, or the signing
 * library's own codes (cancelled, pin_locked, certificate_not_found, ...). message is for people.
 */
export class NpcError extends Error {
  /**
   * @param {string} code
   * @param {string} message
   */
  constructor(code, message) {
    super(message);
    this.name = 'NpcError';
    this.code = code;
  }
}

function toBase64(bytes) {
  if (typeof bytes.toBase64 === 'function') return bytes.toBase64();
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

function fromBase64(text, field) {
  if (typeof text !== 'string') throw new NpcError('host_error', `the reply has no ${field}`);
  try {
    if (typeof Uint8Array.fromBase64 === 'function') return Uint8Array.fromBase64(text);
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
  } catch {
    throw new NpcError('host_error', `the reply's ${field} is not base64`);
  }
}

// Uint8Array, ArrayBuffer or any view, as the bytes it covers (not the whole buffer behind a view).
function bytesOf(value, field) {
  if (value instanceof Uint8Array) return value;
  if (value instanceof ArrayBuffer) return new Uint8Array(value);
  if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  throw new NpcError('bad_request', `"${field}" must be a Uint8Array, an ArrayBuffer or a view`);
}

function randomId() {
  if (typeof crypto?.randomUUID === 'function') return crypto.randomUUID();
  return `${Date.now().toString(36)}-${Math.random().toString(36).slice(2)}`;
}

/**
 * A connection to the extension through one window. The module's own functions use one made
 * for the page's window; make another only for a window of your own (an iframe's, or a test's).
 */
export class NpcClient {
  #window;
  #timeout;
  #ready = false;
  #waiting = null;
  #announced = null;
  #pending = new Map();

  /**
   * @param {{window?: Window, timeout?: number}} [options] window: the window whose content
   *   script to talk to (default: the page's); timeout: the default per-call timeout in ms
   */
  constructor({ window = globalThis.window, timeout = DEFAULT_TIMEOUT } = {}) {
    this.#window = window;
    this.#timeout = timeout;
    window.addEventListener('message', (event) => this.#receive(event));
  }

  /**
   * The extension's, the host's and the library's versions, and the library's operations.
   * @param {{timeout?: number}} [options]
   * @returns {Promise<{extension: string, host: string, library: string, operations: string[]}>}
   */
  status(options = {}) {
    return this.#call('status', {}, options);
  }

  /**
   * The certificates on the user's tokens. The first call of a site asks the user.
   * @param {{timeout?: number}} [options]
   * @returns {Promise<object[]>} the library's certificate objects, certificate as DER bytes
   */
  async getCertificates(options = {}) {
    const list = await this.#call('getCertificates', {}, options);
    if (!Array.isArray(list)) throw new NpcError('host_error', 'the reply has no certificates');
    return list.map((entry) => ({ ...entry, certificate: fromBase64(entry?.certificate, 'certificate') }));
  }

  /**
   * Signs data (hashed by the library) or a digest with the key of a certificate; the user
   * approves it and types the PIN in a dialog of their own system.
   * @param {{certificate: string, data?: BufferSource, digest?: BufferSource, hash?: string,
   *   padding?: string}} request certificate: the certificate's id from getCertificates
   * @param {{timeout?: number}} [options]
   * @returns {Promise<{signature: Uint8Array, certificate: Uint8Array, algorithm: string}>}
   */
  async sign(request, options = {}) {
    if (request === null || typeof request !== 'object') throw new NpcError('bad_request', 'sign takes an object');
    const { certificate, data, digest, hash, padding } = request;
    if (typeof certificate !== 'string') throw new NpcError('bad_request', '"certificate" must be the id of a certificate');
    if ((data === undefined) === (digest === undefined)) {
      throw new NpcError('bad_request', 'give either "data" or "digest"');
    }
    const params = { certificate };
    if (data !== undefined) params.data = toBase64(bytesOf(data, 'data'));
    else params.digest = toBase64(bytesOf(digest, 'digest'));
    for (const [name, value] of [['hash', hash], ['padding', padding]]) {
      if (value === undefined) continue;
      if (typeof value !== 'string') throw new NpcError('bad_request', `"${name}" must be a string`);
      params[name] = value;
    }
    const result = await this.#call('sign', params, options);
    return {
      signature: fromBase64(result?.signature, 'signature'),
      certificate: fromBase64(result?.certificate, 'certificate'),
      algorithm: result.algorithm,
    };
  }

  /**
   * A login for this site: the user picks a certificate for logging in (or the page names one)
   * and approves the login in a dialog that names the site. The token is for the server, which
   * checks it against the challenge it issued (verify.js).
   * @param {{challenge: BufferSource, certificate?: string}} request challenge: 32 to 1,024
   *   bytes from the server
   * @param {{timeout?: number}} [options]
   * @returns {Promise<object>} the login token, ready for JSON.stringify
   */
  async authenticate(request, options = {}) {
    if (request === null || typeof request !== 'object') {
      throw new NpcError('bad_request', 'authenticate takes an object');
    }
    const { challenge, certificate } = request;
    const params = { challenge: toBase64(bytesOf(challenge, 'challenge')) };
    if (certificate !== undefined) {
      if (typeof certificate !== 'string') throw new NpcError('bad_request', '"certificate" must be the id of a certificate');
      params.certificate = certificate;
    }
    const token = await this.#call('authenticate', params, options);
    if (token === null || typeof token !== 'object' || typeof token.signature !== 'string') {
      throw new NpcError('host_error', 'the reply holds no login token');
    }
    return token;
  }

  /**
   * The one certificate the user picks in their system's chooser, which names this site; the
   * page learns of no other.
   * @param {{purpose?: 'sign'|'authenticate'}} [request] what it is for; sign by default
   * @param {{timeout?: number}} [options]
   * @returns {Promise<object>} as getCertificates() gives each
   */
  async selectCertificate({ purpose = 'sign' } = {}, options = {}) {
    if (purpose !== 'sign' && purpose !== 'authenticate') {
      throw new NpcError('bad_request', '"purpose" is sign or authenticate');
    }
    const entry = await this.#call('selectCertificate', { purpose }, options);
    if (entry === null || typeof entry !== 'object') throw new NpcError('host_error', 'the reply holds no certificate');
    return { ...entry, certificate: fromBase64(entry.certificate, 'certificate') };
  }

  async #call(operation, params, { timeout = this.#timeout } = {}) {
    await this.#extension();
    const id = randomId();
    return new Promise((resolve, reject) => {
      const timer = timeout > 0 ? setTimeout(() => {
        this.#pending.delete(id);
        reject(new NpcError('timeout', `no answer within ${timeout} ms`));
      }, timeout) : null;
      this.#pending.set(id, { resolve, reject, timer });
      this.#post({ kind: 'request', id, operation, params });
    });
  }

  // A call made before the content script has run waits for its announcement; one that comes
  // after asks, and the script answers.
  #extension() {
    if (this.#ready) return Promise.resolve();
    if (!this.#waiting) {
      this.#waiting = new Promise((resolve, reject) => {
        const timer = setTimeout(() => {
          this.#waiting = null;
          this.#announced = null;
          reject(new NpcError('extension_unavailable',
                              'the npcorvane extension did not answer: is it installed and enabled?'));
        }, EXTENSION_WAIT);
        this.#announced = () => {
          clearTimeout(timer);
          resolve();
        };
      });
      this.#post({ kind: 'hello' });
    }
    return this.#waiting;
  }

  #post(message) {
    this.#window.postMessage({ channel: CHANNEL, ...message }, '*');
  }

  // Only the extension's messages to this very window count: not those of other frames, and not
  // the page's own requests, which pass through here as well.
  #receive(event) {
    if (event.source !== this.#window) return;
    const message = event.data;
    if (message === null || typeof message !== 'object' || message.channel !== CHANNEL) return;
    if (message.kind === 'ready') {
      this.#ready = true;
      this.#announced?.();
      this.#announced = null;
      this.#waiting = null;
      return;
    }
    if (message.kind !== 'reply') return;
    const waiter = this.#pending.get(message.id);
    if (!waiter) return;
    this.#pending.delete(message.id);
    clearTimeout(waiter.timer);
    if (message.ok === true) {
      waiter.resolve(message.result);
    } else {
      const code = typeof message.error?.code === 'string' ? message.error.code : 'host_error';
      const text = typeof message.error?.message === 'string' ? message.error.message : code;
      waiter.reject(new NpcError(code, text));
    }
  }
}

let shared = null;
const client = () => (shared ??= new NpcClient());

/** @see NpcClient#status */
export const status = (options) => client().status(options);
/** @see NpcClient#getCertificates */
export const getCertificates = (options) => client().getCertificates(options);
/** @see NpcClient#sign */
export const sign = (request, options) => client().sign(request, options);
/** @see NpcClient#authenticate */
export const authenticate = (request, options) => client().authenticate(request, options);
/** @see NpcClient#selectCertificate */
export const selectCertificate = (request, options) => client().selectCertificate(request, options);
