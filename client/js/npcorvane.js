// The extension's side of the npcorvane native host: one request at a time over a
// runtime.connectNative port, with long requests and long replies carried in pieces.

/** Most bytes one piece of a split request or one chunk of a split reply carries. */
export const CHUNK_SIZE = 786_423;

/** The longest message, in bytes, the host sends whole; longer replies come in chunks. */
export const DIRECT_REPLY_LIMIT = 1_048_576;

const CLOSE_TEXT = '{"close":"close"}';
const MORE_TEXT = '{"more":"more"}';

/**
 * Every failure of a request or of the connection: the port went away (the message carries
 * what the browser said), the host broke the protocol, a split reply was not valid JSON, or no
 * answer came in time.
 */
export class NativeHostError extends Error {
  /**
   * @param {string} message
   * @param {{cause?: unknown}} [options]
   */
  constructor(message, options) {
    super(message, options);
    this.name = 'NativeHostError';
  }
}

const utf8_encoder = new TextEncoder();

function bytes_to_base64(bytes) {
  // btoa takes one character per byte; build that string in slices, as apply() limits the
  // number of arguments.
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

function base64_to_bytes(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

// The host reads every message as base64 of the message text's UTF-8 bytes; the browser sends the
// string as JSON, so the host sees it between quotes and skips them.
function envelope(text) {
  return bytes_to_base64(utf8_encoder.encode(text));
}

// A chunk of a split reply is an object with exactly one member, "part" or "last", holding a string.
function chunk_of(message) {
  if (message === null || typeof message !== 'object' || Array.isArray(message)) return null;
  const keys = Object.keys(message);
  if (keys.length !== 1 || (keys[0] !== 'part' && keys[0] !== 'last')) return null;
  if (typeof message[keys[0]] !== 'string') return null;
  return { last: keys[0] === 'last', data: message[keys[0]] };
}

function is_more_ack(message) {
  return message !== null && typeof message === 'object' && !Array.isArray(message) &&
         Object.keys(message).length === 1 && message.more === 'more';
}

function describe(message) {
  const text = JSON.stringify(message) ?? String(message);
  return text.length > 80 ? `${text.slice(0, 80)}...` : text;
}

// What the browser said about a port that went away: Firefox sets port.error, Chromium sets
// runtime.lastError while the onDisconnect listeners run (reading it there also keeps Chromium from
// logging it as unchecked).
function disconnect_reason(port) {
  const firefox = port?.error?.message;
  const chromium = globalThis.chrome?.runtime?.lastError?.message;
  return firefox || chromium || 'the port was closed';
}

/**
 * A connection to the native host over one port. Requests run one at a time in the order they
 * were made; each returns the library's reply as a JSON value.
 */
export class NativeHostClient {
  #port;
  #timeout;
  #queue = Promise.resolve();
  #waiter = null;    // the exchange waiting for the host's next message
  #failure = null;   // once set, the connection is over and every request rejects with it
  #closing = false;  // close() was called: no new requests
  #on_gone = null;   // close() waiting for the host to exit

  /**
   * Use {@link connect} or {@link createClient} rather than this constructor.
   * @param {object} port a runtime.Port (or anything with postMessage, disconnect, onMessage and
   *   onDisconnect)
   * @param {{timeout?: number}} [options] see {@link createClient}
   */
  constructor(port, { timeout = 0 } = {}) {
    this.#port = port;
    this.#timeout = timeout;
    port.onMessage.addListener((message) => this.#receive(message));
    port.onDisconnect.addListener((p) => this.#disconnected(p ?? port));
  }

  /**
   * Sends a request to the host's signing library and resolves with its reply, parsed as JSON.
   * A reply too long for one message is fetched in chunks, joined and parsed here, so the caller
   * sees the same value either way; a request too long for one message is sent in pieces.
   * Requests wait for those made before them.
   *
   * @param {string} text the request text, passed to the library unchanged
   * @returns {Promise<any>} the reply (null when the library gave none); rejects with a
   *   {@link NativeHostError} when the port disconnects, the host breaks the protocol, a split
   *   reply is not valid UTF-8 JSON, or the time-out passes
   */
  request(text) {
    if (typeof text !== 'string') {
      return Promise.reject(new TypeError('the request text must be a string'));
    }
    if (this.#failure) return Promise.reject(this.#failure);
    if (this.#closing) return Promise.reject(new NativeHostError('the client is closed'));
    const run = this.#queue.then(() => {
      if (this.#failure) throw this.#failure;
      return this.#exchange(text);
    });
    this.#queue = run.catch(() => {});
    return run;
  }

  /**
   * Ends the host after the requests already made: sends the close message, waits (up to two
   * seconds) for the host to exit, then disconnects the port. Later requests reject.
   * @returns {Promise<void>} resolves once the connection is over; never rejects
   */
  close() {
    this.#closing = true;
    const run = this.#queue.then(async () => {
      if (this.#failure) return;
      const gone = new Promise((resolve) => { this.#on_gone = resolve; });
      let timer;
      try {
        this.#post(CLOSE_TEXT);
        await Promise.race([gone, new Promise((resolve) => { timer = setTimeout(resolve, 2000); })]);
      } catch {
        // the port is gone already, which is what close wants
      } finally {
        clearTimeout(timer);
      }
      this.#fail(new NativeHostError('the client is closed'), { disconnect: true });
    });
    this.#queue = run;
    return run;
  }

  /** True once the port has gone away or close() has finished. */
  get closed() {
    return this.#failure !== null;
  }

  async #exchange(text) {
    const request = utf8_encoder.encode(text);
    let message;
    if (request.length <= CHUNK_SIZE) {
      message = await this.#send_and_wait(text);
    } else {
      message = await this.#send_pieces(request);
    }
    const first = chunk_of(message);
    if (first === null || first.last) return message;
    return this.#fetch_chunks(first);
  }

  // A start message with the number of full pieces, the pieces, then the last piece; the host
  // acknowledges all but the last, whose answer is the reply.
  async #send_pieces(request) {
    const count = Math.ceil(request.length / CHUNK_SIZE) - 1;
    this.#expect_ack(await this.#send_and_wait(`{"part":"true","count":${count}}`));
    for (let i = 0; i < count; i++) {
      const piece = bytes_to_base64(request.subarray(i * CHUNK_SIZE, (i + 1) * CHUNK_SIZE));
      this.#expect_ack(await this.#send_and_wait(`{"part":"${piece}"}`));
    }
    const last = bytes_to_base64(request.subarray(count * CHUNK_SIZE));
    return this.#send_and_wait(`{"last":"${last}"}`);
  }

  #expect_ack(message) {
    if (!is_more_ack(message)) {
      throw this.#fail(new NativeHostError(
        `the host answered a piece of a split request with ${describe(message)}`), { disconnect: true });
    }
  }

  // Bytes are joined before UTF-8 is decoded, since a chunk may end inside a character.
  async #fetch_chunks(first) {
    const chunks = [];
    let bad_chunk = null;
    let chunk = first;
    for (;;) {
      try {
        chunks.push(base64_to_bytes(chunk.data));
      } catch (error) {
        // Fetch the rest anyway so the conversation stays in step for the next request.
        bad_chunk ??= error;
      }
      if (chunk.last) break;
      const message = await this.#send_and_wait(MORE_TEXT);
      chunk = chunk_of(message);
      if (chunk === null) {
        throw this.#fail(new NativeHostError(
          `the host answered a request for the next chunk with ${describe(message)}`), { disconnect: true });
      }
    }
    if (bad_chunk) {
      throw new NativeHostError('a chunk of a split reply is not valid base64', { cause: bad_chunk });
    }
    let length = 0;
    for (const c of chunks) length += c.length;
    const joined = new Uint8Array(length);
    let offset = 0;
    for (const c of chunks) {
      joined.set(c, offset);
      offset += c.length;
    }
    let reply;
    try {
      reply = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true }).decode(joined);
    } catch (error) {
      throw new NativeHostError(`a split reply of ${length} bytes is not valid UTF-8`, { cause: error });
    }
    try {
      return JSON.parse(reply);
    } catch (error) {
      throw new NativeHostError(`a split reply of ${length} bytes is not valid JSON: ${error.message}`,
                                { cause: error });
    }
  }

  // The waiter is in place before the message goes out, so no answer can slip past it.
  #send_and_wait(text) {
    const answer = new Promise((resolve, reject) => {
      const waiter = { resolve, reject, timer: null };
      if (this.#timeout > 0) {
        waiter.timer = setTimeout(() => {
          // A late answer would be taken for the answer to the next request: end the connection.
          this.#fail(new NativeHostError(`no answer from the native host within ${this.#timeout} ms`),
                     { disconnect: true });
        }, this.#timeout);
      }
      this.#waiter = waiter;
    });
    try {
      this.#post(text);
    } catch (error) {
      answer.catch(() => {});  // #post failed the connection, which rejected the waiter too
      throw error;
    }
    return answer;
  }

  #post(text) {
    try {
      this.#port.postMessage(envelope(text));
    } catch (error) {
      throw this.#fail(new NativeHostError(`cannot send to the native host: ${error.message}`,
                                           { cause: error }));
    }
  }

  #receive(message) {
    const waiter = this.#waiter;
    // The host speaks only when spoken to; anything else has no request to belong to.
    if (waiter === null) return;
    this.#waiter = null;
    clearTimeout(waiter.timer);
    waiter.resolve(message);
  }

  #disconnected(port) {
    const reason = disconnect_reason(port);
    if (this.#on_gone) {
      this.#on_gone();
      return;
    }
    this.#fail(new NativeHostError(`the native host disconnected: ${reason}`));
  }

  // Ends the connection for good: the waiting exchange and every queued request reject with error.
  // A host that broke the protocol or fell silent is disconnected too: what it sends next could no
  // longer be matched to a request.
  #fail(error, { disconnect = false } = {}) {
    if (this.#failure) return this.#failure;
    this.#failure = error;
    const waiter = this.#waiter;
    this.#waiter = null;
    if (waiter) {
      clearTimeout(waiter.timer);
      waiter.reject(error);
    }
    if (disconnect) {
      try {
        this.#port.disconnect();
      } catch {
        // already disconnected
      }
    }
    return error;
  }
}

/**
 * Wraps a port that is already open to the host.
 * @param {object} port a runtime.Port from runtime.connectNative
 * @param {{timeout?: number}} [options] timeout: the longest wait, in milliseconds, for each message
 *   from the host (0, the default, waits without limit; a signing library may wait for the user).
 *   When it passes, the request rejects and the port is disconnected, since a late answer could
 *   no longer be matched to its request.
 * @returns {NativeHostClient}
 */
export function createClient(port, options = {}) {
  return new NativeHostClient(port, options);
}

/**
 * Starts the native host registered under name and connects to it.
 * @param {string} name the host's name in its native-messaging manifest
 * @param {{timeout?: number, runtime?: object}} [options] timeout as for {@link createClient};
 *   runtime: the extension runtime to use (default: browser.runtime, else chrome.runtime)
 * @returns {NativeHostClient}
 */
export function connect(name, options = {}) {
  const runtime = options.runtime ?? globalThis.browser?.runtime ?? globalThis.chrome?.runtime;
  if (typeof runtime?.connectNative !== 'function') {
    throw new TypeError('runtime.connectNative is not available: is "nativeMessaging" a permission?');
  }
  return createClient(runtime.connectNative(name), options);
}
