// The floor of the browser benchmark: the fastest an extension and a host can move the messages the
// module moves. It posts the module's own messages, made the way the module makes them but before
// the clock starts, to a host that only answers (floor_host.c), and looks at nothing it receives
// beyond its first key. Any benchmark may use it: the page path measures against it too.

const CHUNK_SIZE = 786_423;
const encoder = new TextEncoder();

// As the module makes them: short ASCII texts with btoa, everything from bytes with toBase64.
const MORE = btoa('{"more":"more"}');
const PIECE_HEAD = { part: encoder.encode('{"part":"'), last: encoder.encode('{"last":"') };
const PIECE_TAIL = encoder.encode('"}');

/** The message that asks a host for a reply of n bytes (or, streamed, for all its chunks at once). */
export const replyMessage = (n, { oneWay = false } = {}) => encoder.encode(`${oneWay ? 'stream' : 'reply'}:${n}`).toBase64();

/**
 * The messages the module posts to send `text` in pieces: the start, the pieces, the last piece.
 * oneWay marks the start so that the floor host acknowledges none of them.
 */
export function requestMessages(text, { oneWay = false } = {}) {
  const bytes = encoder.encode(text);
  const count = Math.max(0, Math.ceil(bytes.length / CHUNK_SIZE) - 1);
  const messages = [btoa(`{"part":"true","count":${count}${oneWay ? ',"oneway":1' : ''}}`)];
  let buffer = null;
  for (let i = 0; i <= count; i++) {
    const inner = bytes.subarray(i * CHUNK_SIZE, (i + 1) * CHUNK_SIZE).toBase64();
    const head = PIECE_HEAD[i < count ? 'part' : 'last'];
    const length = head.length + inner.length + PIECE_TAIL.length;
    buffer ??= new Uint8Array(length);
    buffer.set(head);
    encoder.encodeInto(inner, buffer.subarray(head.length));
    buffer.set(PIECE_TAIL, head.length + inner.length);
    messages.push(buffer.subarray(0, length).toBase64());
  }
  return messages;
}

const keyOf = (message) => (message && typeof message === 'object' ? Object.keys(message)[0] : null);

/**
 * The floor's side of a port to the floor host. Each call resolves when the exchange is over and
 * throws when the host answered with something else than expected; postMs adds up the time spent
 * inside postMessage, the rest of a call's time being the wait for the browser and the host.
 */
export function openFloor(port) {
  let waiting = null;  // {until(message), resolve}
  const floor = { postMs: 0 };
  port.onMessage.addListener((message) => {
    if (waiting?.until(message)) {
      const { resolve } = waiting;
      waiting = null;
      resolve(message);
    }
  });
  port.onDisconnect.addListener(() => waiting?.resolve(null));
  const post = (text) => {
    const start = performance.now();
    port.postMessage(text);
    floor.postMs += performance.now() - start;
  };
  const ask = (text, until = () => true) => new Promise((resolve) => {
    waiting = { until, resolve };
    post(text);
  });
  const expect = (message, key) => {
    if (keyOf(message) !== key) throw new Error(`the floor host answered ${JSON.stringify(message)?.slice(0, 80)}`);
  };

  /** A reply of n bytes, a chunk for each request. */
  floor.reply = async (n) => {
    let message = await ask(replyMessage(n));
    while (keyOf(message) === 'part') message = await ask(MORE);
    expect(message, 'last');
  };
  /** A reply of n bytes that the host streams unasked. */
  floor.streamReply = async (n) => {
    expect(await ask(replyMessage(n, { oneWay: true }), (m) => keyOf(m) !== 'part'), 'last');
  };
  /** A request's messages from requestMessages(text), each sent once the one before is answered. */
  floor.request = async (messages) => {
    let answer = null;
    for (const text of messages) answer = await ask(text);
    expect(answer, 'length');
  };
  /** A request's messages from requestMessages(text, {oneWay: true}), back to back. */
  floor.streamRequest = async (messages) => {
    for (const text of messages.slice(0, -1)) post(text);
    expect(await ask(messages.at(-1)), 'length');
  };
  return floor;
}
