// The module against a scripted port, for what the real host never sends: broken acknowledgements
// and chunks, silence, and a reply shaped like a chunk.

import { test } from 'node:test';
import assert from 'node:assert/strict';

import { createClient, NativeHostError, CHUNK_SIZE } from '../npcorvane.js';

// A port whose answers come from script(text), text being the message text the module sent; an
// answer of undefined is no answer at all.
function scriptedPort(script) {
  const listeners = { message: [], disconnect: [] };
  const port = {
    sent: [],
    disconnected: false,
    onMessage: { addListener: (l) => listeners.message.push(l) },
    onDisconnect: { addListener: (l) => listeners.disconnect.push(l) },
    postMessage(value) {
      if (port.disconnected) throw new Error('Attempting to use a disconnected port object');
      const text = Buffer.from(value, 'base64').toString('utf8');
      port.sent.push(text);
      const answer = script(text, port.sent.length);
      if (answer !== undefined) setImmediate(() => listeners.message.forEach((l) => l(answer, port)));
    },
    disconnect() { port.disconnected = true; },
  };
  return port;
}

const b64 = (bytes) => Buffer.from(bytes).toString('base64');

test('a chunked reply is joined before it is decoded', async () => {
  const bytes = Buffer.from('"a😀b"');
  const port = scriptedPort((text) => (text === 'q' ? { part: b64(bytes.subarray(0, 3)) }
    : { last: b64(bytes.subarray(3)) }));
  assert.equal(await createClient(port).request('q'), 'a😀b');
  assert.deepEqual(port.sent, ['q', '{"more":"more"}']);
});

const broken = [
  {
    name: 'a split reply that is not UTF-8 rejects; the port goes on',
    answer: (text) => (text === 'q' ? { part: b64([0x22, 0xc3]) } : { last: b64([0x28, 0x22]) }),
    error: /split reply of 4 bytes is not valid UTF-8/,
    fatal: false,
  },
  {
    name: 'an ASCII chunk, then one that is not UTF-8, rejects; the port goes on',
    answer: (text) => (text === 'q' ? { part: b64('"ab') } : { last: b64([0xff, 0x22]) }),
    error: /split reply of 5 bytes is not valid UTF-8/,
    fatal: false,
  },
  {
    name: 'a chunk that is not base64 rejects after the rest is fetched',
    answer: (text) => (text === 'q' ? { part: '*not base64*' } : { last: b64('"x"') }),
    error: /not valid base64/,
    fatal: false,
  },
  {
    name: 'a chunk followed by something else ends the connection',
    answer: (text) => (text === 'q' ? { part: b64('"x') } : { more: 'more' }),
    error: /answered a request for the next chunk with {"more":"more"}/,
    fatal: true,
  },
  {
    name: 'a split request whose start is not acknowledged ends the connection',
    request: 'x'.repeat(800_000),
    answer: () => ({ length: 3 }),
    error: /answered the start of a split request with {"length":3}/,
    fatal: true,
  },
  {
    name: 'a split request whose piece is not acknowledged ends the connection',
    request: 'x'.repeat(2 * CHUNK_SIZE + 1),
    answer: (text, n) => (n < 3 ? { more: 'more' } : { length: 3 }),
    error: /answered piece 2 of 3 of a split request with {"length":3}/,
    fatal: true,
    sent: 3,
  },
  {
    name: 'silence past the time-out ends the connection',
    answer: () => undefined,
    options: { timeout: 50 },
    error: /no answer from the native host within 50 ms/,
    fatal: true,
  },
  {
    // Short chunks count as full ones, or a host could keep the module asking for ever.
    name: 'a host that keeps sending chunks is cut off at maxReplyBytes',
    answer: () => ({ part: b64('xyz') }),
    options: { maxReplyBytes: 3 * CHUNK_SIZE },
    error: /split reply grew past the limit of 2359269 bytes/,
    fatal: true,
    sent: 4,
  },
  {
    name: 'a split reply whose next chunk never comes rejects after chunkTimeout',
    answer: (text) => (text === 'q' ? { part: b64('"x') } : undefined),
    options: { chunkTimeout: 50 },
    error: /no answer from the native host within 50 ms/,
    fatal: true,
  },
];
for (const b of broken) {
  test(b.name, async () => {
    const port = scriptedPort((text, n) => (text === 'echo:1' ? 1 : b.answer(text, n)));
    const client = createClient(port, b.options ?? { timeout: 5000 });
    await assert.rejects(client.request(b.request ?? 'q'),
      (e) => e instanceof NativeHostError && b.error.test(e.message));
    if (b.sent) assert.equal(port.sent.length, b.sent);
    if (b.fatal) {
      assert.equal(port.disconnected, true);
      await assert.rejects(client.request('echo:1'), b.error);
    } else {
      assert.equal(await client.request('echo:1'), 1);
    }
  });
}

// The bytes the host is sent are the text's UTF-8, lone surrogates as U+FFFD, whole or in pieces,
// whether the text is ASCII, begins past ASCII or leaves it where a pair of code units no longer fits.
test('a request reaches the host as its UTF-8', async () => {
  const texts = ['', 'plain ASCII', 'é', 'ab😀', 'x😀y€', '\ud800', 'a\udc00b', 'z\ud83d', `${'a'.repeat(CHUNK_SIZE - 1)}😀`,
                 '{"part":"é"}'];
  for (const text of texts) {
    const port = scriptedPort((sent) => (/^\{"(part)":/.test(sent) ? { more: 'more' } : 1));
    assert.equal(await createClient(port).request(text), 1);
    // The port hands over each message's text; a piece carries base64 of its part of the request.
    const pieces = port.sent.slice(1).map((piece) => Buffer.from(Object.values(JSON.parse(piece))[0], 'base64'));
    const bytes = port.sent.length === 1 ? Buffer.from(port.sent[0]) : Buffer.concat(pieces);
    assert.ok(bytes.equals(Buffer.from(text)), `${JSON.stringify(text.slice(0, 20))} arrived as ${bytes.toString('hex').slice(0, 40)}`);
  }
});

test('a reply shaped like a chunk is taken for one', async () => {
  // The library's own {"part": "..."} cannot be told from the first chunk of a long reply.
  const port = scriptedPort((text) => (text === 'q' ? { part: b64('{"a":1}') } : { last: '' }));
  assert.deepEqual(await createClient(port).request('q'), { a: 1 });
});

test('a request that is not a string is refused', async () => {
  const client = createClient(scriptedPort(() => 1));
  await assert.rejects(client.request({ a: 1 }), TypeError);
});

test('close gives up on a host that does not exit, and disconnects it', async () => {
  const port = scriptedPort(() => undefined);
  const client = createClient(port);
  await client.close();
  assert.deepEqual(port.sent, ['{"close":"close"}']);
  assert.equal(port.disconnected, true);
  assert.equal(client.closed, true);
});

// The browsers' base64 on typed arrays, or none. Node's Buffer stands in for it where node lacks
// it, so that the module's use of it is checked here; the browser stage runs the real one.
function useBase64(kind) {
  const strict = (text) => {
    if (!/^[A-Za-z0-9+/]*={0,2}$/.test(text) || text.length % 4 === 1) throw new SyntaxError('not base64');
    return Buffer.from(text, 'base64');
  };
  const standIns = {
    fromBase64: (text) => new Uint8Array(strict(text)),
    toBase64() { return Buffer.from(this.buffer, this.byteOffset, this.length).toString('base64'); },
    setFromBase64(text) {
      const bytes = strict(text);
      if (bytes.length > this.length) throw new RangeError('no room for the decoded bytes');
      this.set(bytes);
      return { read: text.length, written: bytes.length };
    },
  };
  const places = [[Uint8Array, 'fromBase64'], [Uint8Array.prototype, 'toBase64'], [Uint8Array.prototype, 'setFromBase64']];
  const saved = places.map(([object, name]) => Object.getOwnPropertyDescriptor(object, name));
  for (const [object, name] of places) {
    if (kind === 'fallback') delete object[name];
    else if (!object[name]) Object.defineProperty(object, name, { value: standIns[name], configurable: true, writable: true });
  }
  return () => places.forEach(([object, name], i) => {
    delete object[name];
    if (saved[i]) Object.defineProperty(object, name, saved[i]);
  });
}

// Random characters of every width (no lone surrogates), from a seeded generator.
function randomText(count, seed) {
  let state = seed;
  const next = (n) => { state = (state * 1103515245 + 12345) >>> 0; return state % n; };
  const ranges = [[0x20, 0x7f], [0x80, 0x800], [0x800, 0xd800], [0xe000, 0x10000], [0x10000, 0x110000]];
  let text = '';
  for (let i = 0; i < count; i++) {
    const [low, high] = ranges[next(ranges.length)];
    text += String.fromCodePoint(low + next(high - low));
  }
  return text;
}

// A host that echoes a split request: it joins the pieces and sends the text back as a JSON
// string in chunks of random sizes, so that characters fall across chunk edges at every offset.
function echoPort(seed) {
  let state = seed;
  let assembled = [];
  let reply = null;
  const nextChunk = () => {
    state = (state * 1103515245 + 12345) >>> 0;
    const piece = reply.subarray(0, 1 + (state % 4000));
    reply = reply.subarray(piece.length);
    return reply.length === 0 ? { last: b64(piece) } : { part: b64(piece) };
  };
  const port = scriptedPort((text) => {
    if (text.startsWith('{"part":"true"')) {
      assembled = [];
      return { more: 'more' };
    }
    const piece = /^\{"(part|last)":"([^"]*)"\}$/.exec(text);
    if (piece) {
      assembled.push(Buffer.from(piece[2], 'base64'));
      if (piece[1] === 'part') return { more: 'more' };
      port.request = Buffer.concat(assembled);
      reply = Buffer.from(JSON.stringify(port.request.toString('utf8')));
      return nextChunk();
    }
    return text === '{"more":"more"}' ? nextChunk() : undefined;
  });
  return port;
}

test("the browser's base64 and the fallback carry random text alike, both ways", async () => {
  const text = randomText(900_000, 7);
  const runs = {};
  for (const kind of ['native', 'fallback']) {
    const restore = useBase64(kind);
    try {
      const port = echoPort(11);
      const reply = await createClient(port, { maxReplyBytes: Infinity }).request(text);
      assert.ok(port.request.equals(Buffer.from(text)), `${kind}: the request arrived changed`);
      assert.ok(reply === text, `${kind}: the reply came back changed`);
      runs[kind] = port.sent;
    } finally {
      restore();
    }
  }
  assert.ok(runs.native.length > 100);
  assert.deepEqual(runs.native, runs.fallback);
});

// The browser benchmark's floor is only a floor if it posts what the module posts: the same
// strings for a split request and for the request of a reply.
test("the benchmark's floor posts the module's own messages", async () => {
  const restore = useBase64('native');
  try {
    const { requestMessages, replyMessage } = await import('../../../bench/browsers/floor.js');
    const port = scriptedPort((sent) => (sent.startsWith('{"part":') ? { more: 'more' } : 1));
    const posted = [];
    const post = port.postMessage;
    port.postMessage = (value) => { posted.push(value); post(value); };
    const client = createClient(port);
    const text = randomText(700_000, 3);
    assert.equal(await client.request(text), 1);
    assert.ok(posted.length > 3);
    assert.deepEqual(posted, requestMessages(text));
    posted.length = 0;
    assert.equal(await client.request('reply:8388608'), 1);
    assert.deepEqual(posted, [replyMessage(8_388_608)]);
  } finally {
    restore();
  }
});
