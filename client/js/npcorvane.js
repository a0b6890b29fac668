// The extension's side of the npcorvane native host: one request at a time over a
// runtime.connectNative port, with long requests and long replies carried in pieces.

/** Most bytes one piece of a split request or one chunk of a split reply carries. */
export const CHUNK_SIZE = 786_423;

/** The longest message, in bytes, the host sends whole; longer replies come in chunks. */
export const DIRECT_REPLY_LIMIT = 1_048_576;

const CLOSE_TEXT = '{"close":"close"}';
const MORE_TEXT = '{"more":"more"}';

// The host sorts every message by its first bytes: a request that begins like one of its own
// messages would be taken for that message. Such a request goes in pieces, which carry any text
// to the library byte for byte. (The start prefix, {"part":"true", is covered by the piece's.)
const CONTROL_PREFIXES = [CLOSE_TEXT, '{"more":"more"', '{"part":', '{"last":'];

/** The default for maxReplyBytes: the longest split reply a client accepts, in bytes. */
export const MAX_REPLY_BYTES = 256 * 1024 * 1024;

/** The default for chunkTimeout, in milliseconds. */
export const CHUNK_TIMEOUT = 30_000;

/**
 * The default for timeout, in milliseconds: the bundled library answers within this even when
 * the user takes each of its dialogs to the dialog's own limit (300 s), while a host that hangs
 * still ends in an error rather than a wait without end.
 */
export const REQUEST_TIMEOUT = 600_000;

/**
 * Every failure of a request or of the connection: the port went away (the message carries
 * what the browser said), the host broke the protocol, a split reply was not valid JSON or grew
 * past its limit, or no answer came in time.
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

const utf8Encoder = new TextEncoder();

// The browser's own base64 on typed arrays, where it has all of it; looked up on each use so
// that a test can take it away.
function hasNativeBase64() {
  return typeof Uint8Array.fromBase64 === 'function' &&
         typeof Uint8Array.prototype.toBase64 === 'function' &&
         typeof Uint8Array.prototype.setFromBase64 === 'function';
}

// Without the browser's encoder: btoa takes one character per byte; build that string in slices,
// as apply() limits the number of arguments.
function bytesToBase64(bytes) {
  if (hasNativeBase64()) return bytes.toBase64();
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

// Decodes base64 into the start of `into`, which has room for it; returns the number of bytes
// written. Throws on text that is not base64.
function decodeBase64Into(text, into) {
  if (hasNativeBase64()) {
    const { read, written } = into.setFromBase64(text);
    if (read !== text.length) throw new SyntaxError('the base64 text ends early');
    return written;
  }
  const binary = atob(text);
  for (let i = 0; i < binary.length; i++) into[i] = binary.charCodeAt(i);
  return binary.length;
}

// The UTF-8 bytes of text. encodeInto a buffer the size of the text, which holds all of it when the
// text is ASCII, is several times faster in Chromium than encode(); the rest of a text that is not
// goes into a buffer with room for three bytes a code unit. Lone surrogates become U+FFFD, as
// encode() makes them.
function utf8Bytes(text) {
  const ascii = new Uint8Array(text.length);
  const { read, written } = utf8Encoder.encodeInto(text, ascii);
  if (read === text.length) return ascii.subarray(0, written);
  const bytes = new Uint8Array(written + (text.length - read) * 3);
  bytes.set(ascii.subarray(0, written));
  return bytes.subarray(0, written + utf8Encoder.encodeInto(text.slice(read), bytes.subarray(written)).written);
}

// How many bytes a base64 text stands for, its padding aside.
function decodedSize(text) {
  let end = text.length;
  while (end > 0 && text[end - 1] === '=') end--;
  return Math.floor((end * 3) / 4);
}

function startsLikeControl(text) {
  return CONTROL_PREFIXES.some((prefix) => text.startsWith(prefix));
}

// The envelope of a message text that is ASCII: base64 of its bytes, which are its characters.
const asciiEnvelope = (text) => btoa(text);
const CLOSE_ENVELOPE = asciiEnvelope(CLOSE_TEXT);
const MORE_ENVELOPE = asciiEnvelope(MORE_TEXT);

const PIECE_HEAD = { part: utf8Encoder.encode('{"part":"'), last: utf8Encoder.encode('{"last":"') };
const PIECE_TAIL = utf8Encoder.encode('"}');

// Builds the envelopes of a split request's pieces from the request's UTF-8 bytes. With the
// browser's base64 each piece message is assembled in one reused buffer and its envelope made
// from those bytes; otherwise the message is a string, ASCII throughout, which btoa takes as is.
class PieceWriter {
  #buffer = null;

  envelope(key, piece) {
    const inner = bytesToBase64(piece);
    if (!hasNativeBase64()) return asciiEnvelope(`{"${key}":"${inner}"}`);
    const head = PIECE_HEAD[key];
    const length = head.length + inner.length + PIECE_TAIL.length;
    if (this.#buffer === null || this.#buffer.length < length) this.#buffer = new Uint8Array(length);
    const message = this.#buffer;
    message.set(head);
    utf8Encoder.encodeInto(inner, message.subarray(head.length));
    message.set(PIECE_TAIL, head.length + inner.length);
    return message.subarray(0, length).toBase64();
  }
}

// Collects a split reply. Each chunk is decoded into one chunk-sized buffer and its UTF-8 at once
// into text, the decoder keeping a character cut at the chunk's edge for the next, so that both
// happen while the next chunk is on its way; the end has only the text to join and parse. The
// reply is held at most twice: its text in pieces and joined, then the text and the value.
class ReplyReader {
  #scratch = null;
  #decoder = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true });
  #texts = [];
  length = 0;
  // The first chunk that failed to decode, and the first UTF-8 error: kept for the end, so that
  // the rest is still fetched and counted.
  #badBase64 = null;
  #badUtf8 = null;

  add(base64) {
    if (this.#badBase64) return;
    const room = Math.ceil(base64.length / 4) * 3;
    if (this.#scratch === null || this.#scratch.length < room) this.#scratch = new Uint8Array(Math.max(room, CHUNK_SIZE));
    let written;
    try {
      written = decodeBase64Into(base64, this.#scratch);
    } catch (error) {
      this.#badBase64 = error;
      this.#texts = [];
      return;
    }
    this.length += written;
    if (this.#badUtf8) return;
    try {
      const text = this.#decoder.decode(this.#scratch.subarray(0, written), { stream: true });
      if (text.length > 0) this.#texts.push(text);
    } catch (error) {
      this.#badUtf8 = error;
      this.#texts = [];
    }
  }

  // The reply's value; throws a NativeHostError when a chunk was not base64, the bytes are not
  // UTF-8 or the text is not JSON.
  value() {
    this.#scratch = null;
    if (this.#badBase64) {
      throw new NativeHostError('a chunk of a split reply is not valid base64', { cause: this.#badBase64 });
    }
    if (!this.#badUtf8) {
      try {
        this.#texts.push(this.#decoder.decode());
      } catch (error) {
        this.#badUtf8 = error;
      }
    }
    if (this.#badUtf8) {
      throw new NativeHostError(`a split reply of ${this.length} bytes is not valid UTF-8`, { cause: this.#badUtf8 });
    }
    const text = this.#texts.length === 1 ? this.#texts[0] : this.#texts.join('');
    this.#texts = [];
    try {
      return JSON.parse(text);
    } catch (error) {
      throw new NativeHostError(`a split reply of ${this.length} bytes is not valid JSON: ${error.message}`,
                                { cause: error });
    }
  }
}

// A chunk of a split reply is an object with exactly one member, "part" or "last", holding a string.
function chunkOf(message) {
  if (message === null || typeof message !== 'object' || Array.isArray(message)) return null;
  const keys = Object.keys(message);
  if (keys.length !== 1 || (keys[0] !== 'part' && keys[0] !== 'last')) return null;
  if (typeof message[keys[0]] !== 'string') return null;
  return { last: keys[0] === 'last', data: message[keys[0]] };
}

function isMoreAck(message) {
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
function disconnectReason(port) {
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
  #chunkTimeout;
  #maxReplyBytes;
  #pieces = new PieceWriter();
  #queue = Promise.resolve();
  #waiter = null;    // the exchange waiting for the host's next message
  #failure = null;   // once set, the connection is over and every request rejects with it
  #closing = false;  // close() was called: no new requests
  #onGone = null;   // close() waiting for the host to exit

  /**
   * Use {@link connect} or {@link createClient} rather than this constructor.
   * @param {object} port a runtime.Port (or anything with postMessage, disconnect, onMessage and
   *   onDisconnect)
   * @param {{timeout?: number, chunkTimeout?: number, maxReplyBytes?: number}} [options] see
   *   {@link createClient}
   */
  constructor(port, { timeout = REQUEST_TIMEOUT, chunkTimeout = CHUNK_TIMEOUT, maxReplyBytes = MAX_REPLY_BYTES } = {}) {
    this.#port = port;
    this.#timeout = timeout;
    // The host answers a piece or a request for the next chunk at once, without the library: a
    // long wait there is a host that stalled, whatever the time-out for the library's answers.
    this.#chunkTimeout = timeout > 0 && (chunkTimeout <= 0 || timeout < chunkTimeout) ? timeout : chunkTimeout;
    this.#maxReplyBytes = maxReplyBytes;
    port.onMessage.addListener((message) => this.#receive(message));
    port.onDisconnect.addListener((p) => this.#disconnected(p ?? port));
  }

  /**
   * Sends a request to the host's signing library and resolves with its reply, parsed as JSON.
   * A reply too long for one message is fetched in chunks, joined and parsed here, so the caller
   * sees the same value either way; a request too long for one message, or one that begins like
   * a message of the protocol, is sent in pieces. Requests wait for those made before them.
   *
   * @param {string} text the request text, passed to the library unchanged
   * @returns {Promise<any>} the reply (null when the library gave none); rejects with a
   *   {@link NativeHostError} when the port disconnects, the host breaks the protocol, a split
   *   reply is not valid UTF-8 JSON or grows past maxReplyBytes, or a time-out passes
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
      const gone = new Promise((resolve) => { this.#onGone = resolve; });
      let timer;
      try {
        this.#post(CLOSE_ENVELOPE);
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
    const request = utf8Bytes(text);
    let message;
    if (request.length <= CHUNK_SIZE && !startsLikeControl(text)) {
      message = await this.#sendAndWait(bytesToBase64(request), this.#timeout);
    } else {
      message = await this.#sendPieces(request);
    }
    const first = chunkOf(message);
    if (first === null || first.last) return message;
    return this.#fetchChunks(first);
  }

  // A start message with the number of full pieces, the pieces, then the last piece; the host
  // acknowledges all but the last, whose answer is the reply. Each piece's envelope is made while
  // the acknowledgement of the one before is on its way.
  async #sendPieces(request) {
    const count = Math.max(0, Math.ceil(request.length / CHUNK_SIZE) - 1);
    const piece = (i) => this.#pieces.envelope(i < count ? 'part' : 'last',
                                               request.subarray(i * CHUNK_SIZE, (i + 1) * CHUNK_SIZE));
    let next = asciiEnvelope(`{"part":"true","count":${count}}`);
    for (let i = 0; i <= count; i++) {
      const ack = this.#sendAndWait(next, this.#chunkTimeout);
      try {
        next = piece(i);
      } catch (error) {
        // The acknowledgement on its way would be taken for the answer to the next request.
        throw this.#fail(new NativeHostError(`cannot build a piece: ${error.message}`, { cause: error }),
                         { disconnect: true });
      }
      this.#expectAck(await ack, i === 0 ? 'the start' : `piece ${i} of ${count + 1}`);
    }
    return this.#sendAndWait(next, this.#timeout);
  }

  // what: the message acknowledged, 'the start' or 'piece i of n' (the last piece is not).
  #expectAck(message, what) {
    if (!isMoreAck(message)) {
      throw this.#fail(new NativeHostError(
        `the host answered ${what} of a split request with ${describe(message)}`), { disconnect: true });
    }
  }

  // The next chunk is asked for before this one is decoded, so the host and the browser carry it
  // while the module decodes; the host answers more messages in order.
  async #fetchChunks(first) {
    const reader = new ReplyReader();
    let charged = 0;
    let chunk = first;
    for (;;) {
      // A part chunk counts as a full one, so a host cannot keep the module asking with small ones.
      const size = decodedSize(chunk.data);
      charged += chunk.last ? size : Math.max(CHUNK_SIZE, size);
      if (charged > this.#maxReplyBytes) {
        throw this.#fail(new NativeHostError(
          `a split reply grew past the limit of ${this.#maxReplyBytes} bytes`), { disconnect: true });
      }
      const next = chunk.last ? null : this.#sendAndWait(MORE_ENVELOPE, this.#chunkTimeout);
      reader.add(chunk.data);
      if (next === null) break;
      const message = await next;
      chunk = chunkOf(message);
      if (chunk === null) {
        throw this.#fail(new NativeHostError(
          `the host answered a request for the next chunk with ${describe(message)}`), { disconnect: true });
      }
    }
    return reader.value();
  }

  // The waiter is in place before the message goes out, so no answer can slip past it. A
  // time-out of 0 waits without limit.
  #sendAndWait(envelope, timeout) {
    const answer = new Promise((resolve, reject) => {
      const waiter = { resolve, reject, timer: null };
      if (timeout > 0) {
        waiter.timer = setTimeout(() => {
          // A late answer would be taken for the answer to the next request: end the connection.
          this.#fail(new NativeHostError(`no answer from the native host within ${timeout} ms`),
                     { disconnect: true });
        }, timeout);
      }
      this.#waiter = waiter;
    });
    try {
      this.#post(envelope);
    } catch (error) {
      answer.catch(() => {});  // #post failed the connection, which rejected the waiter too
      throw error;
    }
    // Nobody may be awaiting it yet (a piece is built first): a rejection is handled when awaited.
    answer.catch(() => {});
    return answer;
  }

  // Posts a message in its envelope: the base64 of the message text's UTF-8 bytes. The browser
  // sends the string as JSON, so the host sees it between quotes and skips them.
  #post(envelope) {
    try {
      this.#port.postMessage(envelope);
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
    const reason = disconnectReason(port);
    if (this.#onGone) {
      this.#onGone();
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
 * @param {{timeout?: number, chunkTimeout?: number, maxReplyBytes?: number}} [options]
 *   timeout: the longest wait, in milliseconds, for the library's answer to a request (default
 *   {@link REQUEST_TIMEOUT}, ten minutes, as a signing library may wait for the user; 0 waits
 *   without limit).
 *   chunkTimeout: the longest wait for what the host answers by itself, the acknowledgement of a
 *   piece and the next chunk of a split reply (default {@link CHUNK_TIMEOUT}; 0 waits without
 *   limit; a shorter timeout applies to these too).
 *   When either passes, the request rejects and the port is disconnected, since a late answer
 *   could no longer be matched to its request.
 *   maxReplyBytes: the longest split reply accepted (default {@link MAX_REPLY_BYTES}); past it the
 *   request rejects and the port is disconnected, so a host that keeps sending chunks cannot
 *   exhaust the extension's memory. Every chunk but the last counts as a full one.
 * @returns {NativeHostClient}
 */
export function createClient(port, options = {}) {
  return new NativeHostClient(port, options);
}

/**
 * Starts the native host registered under name and connects to it.
 * @param {string} name the host's name in its native-messaging manifest
 * @param {{timeout?: number, chunkTimeout?: number, maxReplyBytes?: number, runtime?: object}} [options]
 *   as for {@link createClient};
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
