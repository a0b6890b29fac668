// The module against the real host and the test library, through a port that frames messages
// as a browser does. NPC_BUILD names the build directory (default: build/ at the project's root).

import { test, describe, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { createClient, NativeHostError, CHUNK_SIZE, DIRECT_REPLY_LIMIT } from '../npcorvane.js';
import { openNativePort } from './native_port.js';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const build = path.resolve(process.env.NPC_BUILD ?? path.join(root, 'build'));
const host = path.join(build, 'bin', 'npcorvane-host');
const env = { ...process.env, LD_LIBRARY_PATH: path.join(build, 'tests', 'lib') };
if (!existsSync(host)) throw new Error(`no host at ${host}: build the project first`);

const openPorts = [];
function open(options = {}) {
  const port = openNativePort(host, options.args ?? [], { env, ...options });
  openPorts.push(port);
  return port;
}
after(() => { for (const port of openPorts) port.child.kill('SIGKILL'); });

function fnv1a64(bytes) {
  let h = 0xcbf29ce484222325n;
  for (const b of bytes) h = ((h ^ BigInt(b)) * 0x100000001b3n) & 0xffffffffffffffffn;
  return h.toString(16).padStart(16, '0');
}

function utf8Length(text) {
  return Buffer.byteLength(text, 'utf8');
}

// A text of exactly n UTF-8 bytes whose 1- to 4-byte characters fall across every piece edge.
function mixedText(n) {
  const pattern = 'aé€😀';  // 1 + 2 + 3 + 4 bytes
  let text = pattern.repeat(Math.floor(n / 10));
  return text + 'z'.repeat(n - utf8Length(text));
}

// What the host sent back for the latest request: 'whole' or the chunk keys in order.
function replyShape(port) {
  const inbound = port.log.filter((e) => e.dir === 'in').map((e) => e.value);
  const chunks = inbound.filter((v) => v && typeof v === 'object' && ('part' in v || 'last' in v));
  return chunks.length === 0 ? 'whole' : chunks.map((v) => Object.keys(v)[0]).join(',');
}

describe('whole replies', () => {
  const port = open();
  const client = createClient(port);
  after(() => client.close());

  const cases = [
    { name: 'an object', request: 'echo:{"a":[1,2.5,"é"],"b":null}', reply: { a: [1, 2.5, 'é'], b: null } },
    { name: 'a string', request: 'echo:"😀 é"', reply: '😀 é' },
    { name: 'a number', request: 'echo:42', reply: 42 },
    { name: 'no result from the library', request: 'null', reply: null },
    { name: 'an object with one "last" member', request: 'echo:{"last":"x"}', reply: { last: 'x' } },
    { name: 'an object with "part" among others', request: 'echo:{"part":"QQ==","n":1}', reply: { part: 'QQ==', n: 1 } },
    { name: 'an empty request', request: '', reply: { length: 0, fnv1a: fnv1a64([]) } },
    {
      name: 'a request in several scripts',
      request: 'Grüße, 世界 😀',
      reply: { length: utf8Length('Grüße, 世界 😀'), fnv1a: fnv1a64(Buffer.from('Grüße, 世界 😀')) },
    },
  ];
  for (const c of cases) {
    test(c.name, async () => {
      assert.deepEqual(await client.request(c.request), c.reply);
    });
  }

  test('the longest whole reply', async () => {
    port.log.length = 0;
    const reply = await client.request(`size:${DIRECT_REPLY_LIMIT}`);
    assert.equal(typeof reply, 'string');
    assert.equal(reply.length, DIRECT_REPLY_LIMIT - 2);
    assert.equal(replyShape(port), 'whole');
  });
});

describe('split replies', () => {
  const port = open();
  const client = createClient(port);
  after(() => client.close());

  const sizes = [
    { n: DIRECT_REPLY_LIMIT + 1, shape: 'part,last' },
    { n: 2 * CHUNK_SIZE, shape: 'part,part,last' },
    { n: 2 * CHUNK_SIZE + 1, shape: 'part,part,last' },
    { n: 5_000_000, shape: 'part,part,part,part,part,part,last' },
  ];
  for (const { n, shape } of sizes) {
    test(`an ASCII reply of ${n} bytes`, async () => {
      port.log.length = 0;
      const reply = await client.request(`size:${n}`);
      assert.equal(reply.length, n - 2);
      assert.equal(replyShape(port), shape);
    });
  }

  test('a reply of 5 MB with characters of every width', async () => {
    const n = 5_000_000;
    const reply = await client.request(`utf8:${n}`);
    const bytes = Buffer.from(JSON.stringify(reply));
    assert.equal(bytes.length, n);
    assert.match(reply, /[\u0080-\u07ff]/u);
    assert.match(reply, /[\u0800-\uffff]/u);
    assert.match(reply, /\p{Extended_Pictographic}|[\u{10000}-\u{10ffff}]/u);
  });

  // The library echoes these texts, so a 4-byte character can be placed on each side of a chunk
  // edge: the edge falls after 1, 2 or 3 of its bytes, or just before or after it.
  for (const before of [0, 1, 2, 3, 4]) {
    test(`a character cut ${before} bytes into it at a chunk edge`, async () => {
      const head = '["';
      const lead = 'x'.repeat(CHUNK_SIZE - head.length - before);
      const text = `${head}${lead}😀€é${'y'.repeat(400_000)}"]`;
      assert.ok(utf8Length(text) > DIRECT_REPLY_LIMIT);
      assert.deepEqual(await client.request(`echo:${text}`), JSON.parse(text));
    });
  }

  test('a split reply that is not JSON rejects, and the port goes on', async () => {
    const text = '{"unfinished": "' + 'q'.repeat(DIRECT_REPLY_LIMIT);
    await assert.rejects(client.request(`echo:${text}`),
      (e) => e instanceof NativeHostError && /split reply of \d+ bytes is not valid JSON/.test(e.message));
    assert.deepEqual(await client.request('echo:[1]'), [1]);
  });
});

// The texts the module sent, out of their envelopes.
function sentTexts(port) {
  return port.log.filter((e) => e.dir === 'out').map((e) => Buffer.from(e.value, 'base64').toString('utf8'));
}

// Every message out is answered before the next goes: one exchange at a time, never interleaved.
function assertInStep(port) {
  const dirs = port.log.map((e) => e.dir).join(' ');
  assert.match(dirs, /^(out in ?)*$/);
}

describe('split requests', () => {
  const port = open();
  const client = createClient(port);
  after(() => client.close());

  const sizes = [
    { name: 'one full piece goes whole', n: CHUNK_SIZE, pieces: null },
    { name: 'one byte more', n: CHUNK_SIZE + 1, pieces: 1 },
    { name: 'two full pieces', n: 2 * CHUNK_SIZE, pieces: 1 },
    { name: '5 MB', n: 5_000_000, pieces: 6 },
  ];
  for (const { name, n, pieces } of sizes) {
    test(`${name} (${n} bytes)`, async () => {
      port.log.length = 0;
      const text = mixedText(n);
      const reply = await client.request(text);
      assert.deepEqual(reply, { length: n, fnv1a: fnv1a64(Buffer.from(text)) });
      const sent = sentTexts(port);
      if (pieces === null) {
        assert.equal(sent.length, 1);
        return;
      }
      assert.equal(sent[0], `{"part":"true","count":${pieces}}`);
      assert.equal(sent.length, pieces + 2);
      assert.ok(sent.slice(1, -1).every((t) => t.startsWith('{"part":"')));
      assert.ok(sent.at(-1).startsWith('{"last":"'));
      assertInStep(port);
    });
  }

  test('a split request whose reply is split too', async () => {
    const text = `echo:"${'é'.repeat(CHUNK_SIZE)}"`;
    assert.equal(await client.request(text), 'é'.repeat(CHUNK_SIZE));
  });
});

describe('requests that begin like the protocol\'s own messages', () => {
  // Sent whole, each would be taken for the host's message: a last piece carrying another
  // request past a check of the outer JSON, a request for more, the end of the session, a start.
  const sign = Buffer.from('{"operation":"sign","document":"x"}').toString('base64');
  const texts = [`{"last":"${sign}","operation":"certificates"}`, '{"more":"more"}', '{"close":"close"}',
                 '{"part":"true","count":2}'];
  test('each reaches the library unchanged, and the host goes on', async () => {
    const port = open();
    const client = createClient(port);
    for (const text of texts) {
      port.log.length = 0;
      assert.deepEqual(await client.request(text), { length: utf8Length(text), fnv1a: fnv1a64(Buffer.from(text)) });
      assert.equal(sentTexts(port)[0], '{"part":"true","count":0}');
    }
    await client.close();
    assert.deepEqual(await port.exited, { code: 0, signal: null });
  });
});

describe('one request at a time', () => {
  test('requests made together are answered in order, never interleaved', async () => {
    const port = open();
    const client = createClient(port);
    const big = mixedText(2_000_000);
    const replies = await Promise.all([
      client.request('utf8:3000000'),
      client.request(big),
      client.request('echo:[1]'),
      client.request('null'),
      client.request(`size:${DIRECT_REPLY_LIMIT + 1}`),
    ]);
    assert.equal(utf8Length(JSON.stringify(replies[0])), 3_000_000);
    assert.deepEqual(replies[1], { length: 2_000_000, fnv1a: fnv1a64(Buffer.from(big)) });
    assert.deepEqual(replies.slice(2, 4), [[1], null]);
    assert.equal(replies[4].length, DIRECT_REPLY_LIMIT - 1);
    assertInStep(port);
    await client.close();
  });
});

describe('the end of the connection', () => {
  test('close ends the host, and later requests reject', async () => {
    const port = open();
    const client = createClient(port);
    const pending = client.request('echo:"before"');
    const closing = client.close();
    await assert.rejects(client.request('echo:1'), /closed/);
    assert.equal(await pending, 'before');
    await closing;
    assert.deepEqual(await port.exited, { code: 0, signal: null });
    assert.equal(client.closed, true);
  });

  // The host is killed when the named message reaches the extension, in the middle of the exchange.
  const kills = [
    { name: 'during a split reply', request: 'size:3000000', at: (v) => v && v.part !== undefined },
    { name: 'during a split request', request: mixedText(2_000_000), at: (v) => v && v.more === 'more' },
    { name: 'while the library works', request: 'slow:60000', at: null },
  ];
  for (const style of ['firefox', 'chromium']) {
    for (const k of kills) {
      test(`a host that dies ${k.name} rejects every request (${style})`, async () => {
        const port = open({ style });
        const client = createClient(port);
        if (k.at) {
          port.onMessage.addListener((v) => { if (k.at(v)) port.child.kill('SIGKILL'); });
        } else {
          setTimeout(() => port.child.kill('SIGKILL'), 200);
        }
        const first = client.request(k.request);
        const queued = client.request('echo:1');
        const expected = (e) => e instanceof NativeHostError && /Native host has exited/.test(e.message);
        await assert.rejects(first, expected);
        await assert.rejects(queued, expected);
        await assert.rejects(client.request('echo:2'), expected);
        assert.equal(client.closed, true);
      });
    }
  }

  test('a host whose library lacks an entry point rejects the first request', async () => {
    const port = open({ env: { ...env, LD_LIBRARY_PATH: path.join(build, 'tests', 'lib-noentry') } });
    const client = createClient(port);
    await assert.rejects(client.request('echo:1'), /Native host has exited/);
    assert.notEqual((await port.exited).code, 0);
  });
});

describe('the arguments and working directory each browser gives the host', () => {
  const scratch = mkdtempSync(path.join(tmpdir(), 'npc-cwd-'));
  after(() => rmSync(scratch, { recursive: true, force: true }));
  const starts = [
    { name: 'chromium: the origin', args: ['chrome-extension://abcdefghijklmnopabcdefghijklmnop/'], cwd: path.dirname(host) },
    { name: 'firefox: manifest path and extension ID', args: [path.join(scratch, 'npcorvane.json'), 'test@npcorvane.example'], cwd: scratch },
    { name: 'no arguments, from the root', args: [], cwd: '/' },
  ];
  for (const s of starts) {
    test(s.name, async () => {
      const port = open({ args: s.args, cwd: s.cwd });
      const client = createClient(port);
      assert.deepEqual(await client.request('echo:{"ok":true}'), { ok: true });
      await client.close();
      assert.deepEqual(await port.exited, { code: 0, signal: null });
    });
  }
});
