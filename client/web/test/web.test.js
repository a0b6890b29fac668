// The page library against a fake window and a scripted content script: the messages it posts,
// how it maps replies and failures to NpcError, and what it ignores.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { EXTENSION_WAIT, NpcClient, NpcError } from '../npcorvane-web.js';

// A window whose postMessage delivers, a task later, a copy of the message to every listener,
// with event.source set to the posting window (this one unless another is named).
class FakeWindow {
  listeners = [];
  posted = [];
  addEventListener(type, listener) {
    if (type === 'message') this.listeners.push(listener);
  }
  postMessage(data, target, source = this) {
    assert.equal(target, '*');
    this.posted.push(structuredClone(data));
    const event = { data: structuredClone(data), source };
    setTimeout(() => { for (const listener of this.listeners) listener(event); }, 0);
  }
}

// The content script's side: announces itself when present, and answers each request with
// answer(request), or not at all when that returns undefined.
function contentScript(window, answer) {
  window.addEventListener('message', ({ data, source }) => {
    if (source !== window || data?.channel !== 'npcorvane') return;
    if (data.kind === 'hello') window.postMessage({ channel: 'npcorvane', kind: 'ready' }, '*');
    if (data.kind !== 'request') return;
    const reply = answer(data);
    if (reply !== undefined) window.postMessage({ channel: 'npcorvane', kind: 'reply', id: data.id, ...reply }, '*');
  });
}

const bytes = (...values) => new Uint8Array(values);
const b64 = (array) => Buffer.from(array).toString('base64');
const requests = (window) => window.posted.filter((m) => m.kind === 'request');

test('calls post one request each and map the replies', async (t) => {
  const der = bytes(0x30, 0x82, 0x01, 0xff);
  const whole = new Uint8Array([9, 1, 2, 3, 9]);
  const cases = [
    {
      what: 'status',
      call: (c) => c.status(),
      operation: 'status', params: {},
      reply: { ok: true, result: { extension: '0.1.0', host: 'org.npcorvane.host', library: '0.1.0', operations: ['sign'] } },
      want: { extension: '0.1.0', host: 'org.npcorvane.host', library: '0.1.0', operations: ['sign'] },
    },
    {
      what: 'certificates come back as DER bytes',
      call: (c) => c.getCertificates(),
      operation: 'getCertificates', params: {},
      reply: { ok: true, result: [{ id: 'ab', subject: 'CN=x', certificate: b64(der) }] },
      want: [{ id: 'ab', subject: 'CN=x', certificate: der }],
    },
    {
      what: 'sign data given as a Uint8Array, with hash and padding',
      call: (c) => c.sign({ certificate: 'ab', data: bytes(1, 2, 3), hash: 'SHA-384', padding: 'pss' }),
      operation: 'sign', params: { certificate: 'ab', data: b64([1, 2, 3]), hash: 'SHA-384', padding: 'pss' },
      reply: { ok: true, result: { signature: b64([7, 7]), certificate: b64(der), algorithm: 'RSA-PSS-SHA384' } },
      want: { signature: bytes(7, 7), certificate: der, algorithm: 'RSA-PSS-SHA384' },
    },
    {
      what: 'a view signs only the bytes it covers',
      call: (c) => c.sign({ certificate: 'ab', data: new DataView(whole.buffer, 1, 3) }),
      operation: 'sign', params: { certificate: 'ab', data: b64([1, 2, 3]) },
      reply: { ok: true, result: { signature: '', certificate: '', algorithm: 'ECDSA-SHA256' } },
      want: { signature: bytes(), certificate: bytes(), algorithm: 'ECDSA-SHA256' },
    },
    {
      what: 'a digest given as an ArrayBuffer',
      call: (c) => c.sign({ certificate: 'ab', digest: whole.buffer }),
      operation: 'sign', params: { certificate: 'ab', digest: b64(whole) },
      reply: { ok: true, result: { signature: b64([1]), certificate: b64([2]), algorithm: 'ECDSA-SHA256' } },
      want: { signature: bytes(1), certificate: bytes(2), algorithm: 'ECDSA-SHA256' },
    },
    {
      what: 'a login token comes as the host made it',
      call: (c) => c.authenticate({ challenge: bytes(7, 7, 7) }),
      operation: 'authenticate', params: { challenge: b64([7, 7, 7]) },
      reply: { ok: true, result: { format: 'npcorvane-authenticate-v1', signature: 'c2ln' } },
      want: { format: 'npcorvane-authenticate-v1', signature: 'c2ln' },
    },
    {
      what: 'a login with a named certificate',
      call: (c) => c.authenticate({ challenge: whole.buffer, certificate: 'ab' }),
      operation: 'authenticate', params: { challenge: b64(whole), certificate: 'ab' },
      reply: { ok: true, result: {} },
      error: { code: 'host_error' },
    },
    {
      what: 'the chosen certificate, DER as bytes',
      call: (c) => c.selectCertificate({ purpose: 'authenticate' }),
      operation: 'selectCertificate', params: { purpose: 'authenticate' },
      reply: { ok: true, result: { id: 'ab', certificate: b64(der) } },
      want: { id: 'ab', certificate: der },
    },
    ...['cancelled', 'pin_locked', 'origin_not_allowed', 'host_unavailable'].map((code) => ({
      what: `the code ${code} as it is`,
      call: (c) => c.sign({ certificate: 'ab', digest: bytes(1) }),
      operation: 'sign', params: { certificate: 'ab', digest: b64([1]) },
      reply: { ok: false, error: { code, message: `words for ${code}` } },
      error: { code, message: `words for ${code}` },
    })),
    {
      what: 'a failure without a code',
      call: (c) => c.status(),
      operation: 'status', params: {},
      reply: { ok: false },
      error: { code: 'host_error' },
    },
    {
      what: 'a signature that is not base64',
      call: (c) => c.sign({ certificate: 'ab', digest: bytes(1) }),
      operation: 'sign', params: { certificate: 'ab', digest: b64([1]) },
      reply: { ok: true, result: { signature: '*', certificate: '', algorithm: 'x' } },
      error: { code: 'host_error' },
    },
  ];
  for (const c of cases) {
    await t.test(c.what, async () => {
      const window = new FakeWindow();
      contentScript(window, () => c.reply);
      const call = c.call(new NpcClient({ window }));
      if (c.error) await assert.rejects(call, (e) => e instanceof NpcError && Object.entries(c.error).every(([k, v]) => e[k] === v));
      else assert.deepEqual(await call, c.want);
      const [request] = requests(window);
      assert.equal(requests(window).length, 1);
      assert.deepEqual({ ...request, id: 0 }, { channel: 'npcorvane', kind: 'request', id: 0, operation: c.operation, params: c.params });
      assert.equal(typeof request.id, 'string');
    });
  }
});

test('a sign request the library could not take is refused before anything is posted', async () => {
  const cases = [
    undefined,
    { data: bytes(1) },
    { certificate: 'ab' },
    { certificate: 'ab', data: bytes(1), digest: bytes(1) },
    { certificate: 'ab', data: 'text' },
    { certificate: 'ab', data: [1, 2] },
    { certificate: 'ab', data: bytes(1), hash: 256 },
  ];
  for (const request of cases) {
    const window = new FakeWindow();
    contentScript(window, () => ({ ok: true, result: {} }));
    await assert.rejects(new NpcClient({ window }).sign(request),
                         (e) => e instanceof NpcError && e.code === 'bad_request', JSON.stringify(request));
    assert.deepEqual(requests(window), []);
  }
});

test('without a content script: extension_unavailable after the wait, then a late one is used', async () => {
  const window = new FakeWindow();
  const client = new NpcClient({ window });
  const started = Date.now();
  await assert.rejects(client.status(), (e) => e instanceof NpcError && e.code === 'extension_unavailable');
  assert.ok(Date.now() - started >= EXTENSION_WAIT - 50);
  assert.deepEqual(requests(window), []);
  contentScript(window, () => ({ ok: true, result: 'here' }));
  assert.equal(await client.status(), 'here');
});

test('a call made before the content script runs waits for its announcement', async () => {
  const window = new FakeWindow();
  const call = new NpcClient({ window }).status();
  // The script arrives after the page's hello went unheard, and announces itself.
  await new Promise((resolve) => setTimeout(resolve, 200));
  contentScript(window, () => ({ ok: true, result: 'late' }));
  window.postMessage({ channel: 'npcorvane', kind: 'ready' }, '*');
  assert.equal(await call, 'late');
});

test('replies from other windows, for other ids, or after the timeout settle nothing', async () => {
  const window = new FakeWindow();
  const other = new FakeWindow();
  let pending = null;
  contentScript(window, (request) => { pending = request; });
  const client = new NpcClient({ window });
  const call = client.sign({ certificate: 'ab', digest: bytes(1) }, { timeout: 300 });
  while (!pending) await new Promise((resolve) => setTimeout(resolve, 10));
  // Another frame forges an answer with the right id, and the content script answers another id.
  window.postMessage({ channel: 'npcorvane', kind: 'reply', id: pending.id, ok: true, result: {} }, '*', other);
  window.postMessage({ channel: 'npcorvane', kind: 'reply', id: 'nobody', ok: true, result: {} }, '*');
  await assert.rejects(call, (e) => e instanceof NpcError && e.code === 'timeout');
  // The real answer, too late, is dropped, and the client still works.
  window.postMessage({ channel: 'npcorvane', kind: 'reply', id: pending.id, ok: false, error: { code: 'x' } }, '*');
  pending = null;
  const next = client.status({ timeout: 1000 });
  while (!pending) await new Promise((resolve) => setTimeout(resolve, 10));
  window.postMessage({ channel: 'npcorvane', kind: 'reply', id: pending.id, ok: true, result: 'fine' }, '*');
  assert.equal(await next, 'fine');
});
