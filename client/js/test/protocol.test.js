// The module against a scripted port, for what the real host never sends: broken acknowledgements
// and chunks, silence, and a reply shaped like a chunk.

import { test } from 'node:test';
import assert from 'node:assert/strict';

import { createClient, NativeHostError } from '../npcorvane.js';

// A port whose answers come from script(text), text being the message text the module sent; an
// answer of undefined is no answer at all.
function scripted_port(script) {
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
  const port = scripted_port((text) => (text === 'q' ? { part: b64(bytes.subarray(0, 3)) }
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
    name: 'a split request answered with no acknowledgement ends the connection',
    request: 'x'.repeat(800_000),
    answer: () => ({ length: 3 }),
    error: /answered a piece of a split request with {"length":3}/,
    fatal: true,
  },
  {
    name: 'silence past the time-out ends the connection',
    answer: () => undefined,
    error: /no answer from the native host within 50 ms/,
    fatal: true,
  },
];
for (const b of broken) {
  test(b.name, async () => {
    const port = scripted_port((text, n) => (text === 'echo:1' ? 1 : b.answer(text, n)));
    const client = createClient(port, { timeout: 50 });
    await assert.rejects(client.request(b.request ?? 'q'),
      (e) => e instanceof NativeHostError && b.error.test(e.message));
    if (b.fatal) {
      assert.equal(port.disconnected, true);
      await assert.rejects(client.request('echo:1'), b.error);
    } else {
      assert.equal(await client.request('echo:1'), 1);
    }
  });
}

test('a reply shaped like a chunk is taken for one', async () => {
  // The library's own {"part": "..."} cannot be told from the first chunk of a long reply.
  const port = scripted_port((text) => (text === 'q' ? { part: b64('{"a":1}') } : { last: '' }));
  assert.deepEqual(await createClient(port).request('q'), { a: 1 });
});

test('a request that is not a string is refused', async () => {
  const client = createClient(scripted_port(() => 1));
  await assert.rejects(client.request({ a: 1 }), TypeError);
});

test('close gives up on a host that does not exit, and disconnects it', async () => {
  const port = scripted_port(() => undefined);
  const client = createClient(port);
  await client.close();
  assert.deepEqual(port.sent, ['{"close":"close"}']);
  assert.equal(port.disconnected, true);
  assert.equal(client.closed, true);
});
