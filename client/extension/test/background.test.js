// The built background against a fake browser: what reaches the host for each sender and policy,
// the origin it stamps, one host per origin, pieces joined, and the codes a page gets back.
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath, pathToFileURL } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const built = path.join(process.env.NPC_BUILD ?? path.join(root, 'build'), 'extension', 'chromium', 'background.js');

const ID = 'mnchmpconpnoijcjefdaabiipdemljnl';
let started = 0;         // connectNative calls
const sent = [];         // every request a host got, in order
let policy = {};
let hostMissing = false;
let onConnect = null;

const listeners = () => {
  const list = [];
  return { addListener: (f) => list.push(f), fire: (...args) => list.forEach((f) => f(...args)) };
};

// A host that answers every request with what the library would, recording it.
function nativePort(name) {
  started++;
  const port = { onMessage: listeners(), onDisconnect: listeners(), disconnect() {} };
  port.postMessage = (envelope) => {
    const request = JSON.parse(Buffer.from(envelope, 'base64').toString('utf8'));
    if (request.close) return;
    sent.push({ host: name, request });
    const reply = request.operation === 'version' ? { status: 'ok', version: '9.9', operations: ['sign'] }
      : request.operation === 'sign' ? { status: 'ok', signature: 'c2ln', certificate: 'Y2VydA==', algorithm: 'ECDSA-SHA256', extra: 1 }
        : { status: 'error', error: 'cancelled', message: 'the user cancelled' };
    setTimeout(() => port.onMessage.fire(reply), 0);
  };
  if (hostMissing) {
    setTimeout(() => {
      globalThis.chrome.runtime.lastError = { message: 'Specified native messaging host not found.' };
      port.onDisconnect.fire(port);
      delete globalThis.chrome.runtime.lastError;
    }, 0);
  }
  return port;
}

// The background ends idle hosts after minutes; those timers must not keep the test running.
const setTimer = globalThis.setTimeout;
globalThis.setTimeout = (f, ms, ...args) => {
  const timer = setTimer(f, ms, ...args);
  if (ms > 60_000) timer.unref();
  return timer;
};

globalThis.chrome = {
  runtime: {
    id: ID,
    getManifest: () => ({ version: '1.2.3' }),
    getURL: (p) => `chrome-extension://${ID}/${p}`,
    connectNative: nativePort,
    onMessage: listeners(),
    onConnect: { addListener: (f) => { onConnect = f; } },
  },
  storage: { managed: { get: async () => policy } },
  i18n: { getUILanguage: () => 'de-AT' },
};

// A content script's request over a port: pieces of the long fields, then the rest.
function ask(sender, operation, params, pieces = []) {
  return new Promise((resolve) => {
    const port = { name: 'npcorvane-request', sender, onMessage: listeners(), postMessage: resolve };
    onConnect(port);
    for (const piece of pieces) port.onMessage.fire(piece);
    port.onMessage.fire({ operation, params });
  });
}

const page = (origin, extra = {}) => ({ id: ID, origin, url: `${origin}/page`, tab: { id: 1 }, ...extra });

test('the background decides who reaches the host, and with which origin', { skip: !existsSync(built) && `no ${built}: build first` }, async (t) => {
  await import(pathToFileURL(built));
  const cases = [
    {
      what: 'sign: only known fields, the origin the browser recorded',
      sender: page('https://shop.example'), operation: 'sign',
      params: { certificate: 'ab', data: 'aGk=', origin: 'https://bank.example', pin: '1234' },
      reply: { ok: true, result: { signature: 'c2ln', certificate: 'Y2VydA==', algorithm: 'ECDSA-SHA256' } },
      sent: [{ operation: 'sign', certificate: 'ab', data: 'aGk=', origin: 'https://shop.example', lang: 'de-AT' }],
    },
    {
      what: 'pieces are joined in order',
      sender: page('https://shop.example'), operation: 'sign', params: { certificate: 'ab', data: 'Zg==' },
      pieces: [{ field: 'data', piece: 'YWJj' }, { field: 'data', piece: 'ZGVm' }],
      reply: { ok: true, result: { signature: 'c2ln', certificate: 'Y2VydA==', algorithm: 'ECDSA-SHA256' } },
      sent: [{ operation: 'sign', certificate: 'ab', data: 'YWJjZGVmZg==', origin: 'https://shop.example', lang: 'de-AT' }],
    },
    {
      what: 'the origin of sender.url when the browser gives no sender.origin',
      sender: { id: ID, url: 'https://other.example:8443/x', tab: {} }, operation: 'getCertificates', params: {},
      reply: { ok: false, error: { code: 'cancelled', message: 'the user cancelled' } },
      sent: [{ operation: 'certificates', origin: 'https://other.example:8443', lang: 'de-AT' }],
    },
    {
      what: 'status',
      sender: page('http://localhost:3000'), operation: 'status', params: {},
      reply: { ok: true, result: { extension: '1.2.3', host: 'org.npcorvane.host', library: '9.9', operations: ['sign'] } },
      sent: [{ operation: 'version' }],
    },
    { what: 'http on a public host', sender: page('http://shop.example'), operation: 'status', code: 'origin_not_allowed' },
    { what: 'a blocked origin', sender: page('https://evil.example'), operation: 'status', policy: { blocked_origins: ['https://evil.example'] }, code: 'origin_not_allowed' },
    { what: 'not on the allowed list', sender: page('https://shop.example'), operation: 'status', policy: { allowed_origins: ['https://*.corp.example'] }, code: 'origin_not_allowed' },
    { what: 'another extension', sender: page('https://shop.example', { id: 'other' }), operation: 'status', code: 'origin_not_allowed' },
    { what: 'an operation the extension does not know', sender: page('https://a.example'), operation: 'decrypt', code: 'unknown_operation' },
    { what: 'a field of the wrong type', sender: page('https://b.example'), operation: 'sign', params: { certificate: 7 }, code: 'bad_request' },
    { what: 'a piece of a field that is not pieced', sender: page('https://c.example'), operation: 'sign', params: {}, pieces: [{ field: 'certificate', piece: 'x' }], code: 'bad_request' },
    { what: 'more than 16 MiB in pieces', sender: page('https://d.example'), operation: 'sign', params: { certificate: 'ab', data: '' }, pieces: [{ field: 'data', piece: 'A'.repeat(22_369_625) }], code: 'data_too_large' },
    { what: 'no host for this browser', sender: page('https://e.example'), operation: 'status', missing: true, code: 'host_unavailable', hosts: 1 },
  ];
  for (const c of cases) {
    await t.test(c.what, async () => {
      policy = c.policy ?? {};
      hostMissing = c.missing ?? false;
      started = 0;
      sent.length = 0;
      const reply = await ask(c.sender, c.operation, c.params ?? {}, c.pieces);
      if (c.code) {
        assert.equal(reply.ok, false);
        assert.equal(reply.error.code, c.code, reply.error.message);
        assert.equal(started, c.hosts ?? 0, 'a host was started');
      } else {
        assert.deepEqual(reply, c.reply);
        assert.deepEqual(sent, c.sent.map((request) => ({ host: 'org.npcorvane.host', request })));
      }
    });
  }

  await t.test('one host per origin, reused by the same origin', async () => {
    policy = {};
    hostMissing = false;
    started = 0;
    sent.length = 0;
    await Promise.all([ask(page('https://one.example'), 'status', {}), ask(page('https://two.example'), 'status', {}),
      ask(page('https://one.example'), 'status', {})]);
    await ask(page('https://one.example'), 'status', {});
    assert.equal(started, 2);
    assert.equal(sent.length, 4);
  });
});
