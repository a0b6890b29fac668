// The test extension's background script: runs each case against the host through the module and
// reports every result at once to the reporting host, since a failure that is not reported is lost.

import { createClient, CHUNK_SIZE, DIRECT_REPLY_LIMIT } from './npcorvane.js';

const runtime = globalThis.browser?.runtime ?? globalThis.chrome.runtime;
const reporter = runtime.connectNative('npc_test_report');
const report = (line) => reporter.postMessage(line);

// A dropped frame makes no error in Chromium; the time-out turns it into a failed case.
const TIMEOUT_MS = 30_000;

function fnv1a64(bytes) {
  let h = 0xcbf29ce484222325n;
  for (const b of bytes) h = ((h ^ BigInt(b)) * 0x100000001b3n) & 0xffffffffffffffffn;
  return h.toString(16).padStart(16, '0');
}

const utf8 = (text) => new TextEncoder().encode(text);

// Exactly n UTF-8 bytes of 1- to 4-byte characters, so piece edges fall inside characters.
function mixed_text(n) {
  const text = 'aé€😀'.repeat(Math.floor(n / 10));
  return text + 'z'.repeat(n - utf8(text).length);
}

function expect(condition, what) {
  if (!condition) throw new Error(what);
}

function same_json(a, b) {
  return JSON.stringify(a) === JSON.stringify(b);
}

const cases = [
  ['small query', async (client) => {
    const reply = await client.request('echo:{"a":[1,"é"],"b":{"c":null}}');
    expect(same_json(reply, { a: [1, 'é'], b: { c: null } }), `got ${JSON.stringify(reply)}`);
  }],
  ['reply of exactly 1048576 bytes', async (client) => {
    const reply = await client.request(`size:${DIRECT_REPLY_LIMIT}`);
    expect(typeof reply === 'string' && reply.length === DIRECT_REPLY_LIMIT - 2,
           `got ${typeof reply} of length ${reply?.length}`);
  }],
  ['5 MB split reply with multi-byte characters', async (client) => {
    const reply = await client.request('utf8:5000000');
    expect(typeof reply === 'string', `got ${typeof reply}`);
    const bytes = utf8(JSON.stringify(reply)).length;
    expect(bytes === 5_000_000, `got ${bytes} bytes`);
    expect(/[\u{10000}-\u{10ffff}]/u.test(reply) && /[\u0800-\uffff]/u.test(reply) &&
           /[\u0080-\u07ff]/u.test(reply), 'characters of some width are missing');
  }],
  ['split reply with a character across the chunk edge', async (client) => {
    const text = `["${'x'.repeat(CHUNK_SIZE - 4)}😀${'y'.repeat(300_000)}"]`;
    const reply = await client.request(`echo:${text}`);
    expect(same_json(reply, JSON.parse(text)), 'the reply differs from the text echoed');
  }],
  ['5 MB split request', async (client) => {
    const text = mixed_text(5_000_000);
    const reply = await client.request(text);
    const want = { length: 5_000_000, fnv1a: fnv1a64(utf8(text)) };
    expect(same_json(reply, want), `got ${JSON.stringify(reply)}, want ${JSON.stringify(want)}`);
  }],
  ['a host that is not installed', async () => {
    // The browser's own words about the port must reach the caller.
    const missing = createClient(runtime.connectNative('npc_test_missing'), { timeout: TIMEOUT_MS });
    const error = await missing.request('echo:1').then(() => null, (e) => e);
    expect(error?.name === 'NativeHostError', `got ${error}`);
    expect(/disconnected: .*(not found|No such native application)/i.test(error.message), error.message);
  }],
  ['null result', async (client) => {
    const reply = await client.request('null');
    expect(reply === null, `got ${JSON.stringify(reply)}`);
  }],
];

async function run() {
  report({ plan: [...cases.map(([name]) => name), 'close'] });
  const port = runtime.connectNative('npc_test_host');
  let host_gone = null;
  port.onDisconnect.addListener((p) => {
    host_gone = p.error?.message ?? globalThis.chrome?.runtime?.lastError?.message ?? 'disconnected';
  });
  const client = createClient(port, { timeout: TIMEOUT_MS });
  for (const [name, body] of cases) {
    const start = performance.now();
    const line = { case: name };
    try {
      await body(client);
      line.ok = true;
    } catch (error) {
      line.ok = false;
      line.error = String(error?.message ?? error);
    }
    line.ms = Math.round(performance.now() - start);
    // The next exchange shows the port still answers after the case.
    try {
      line.probe = (await client.request('echo:"probe"')) === 'probe';
    } catch (error) {
      line.probe = false;
      line.error ??= `probe: ${error.message}`;
    }
    report(line);
  }

  const start = performance.now();
  const line = { case: 'close' };
  try {
    await client.close();
    let refused = false;
    await client.request('echo:1').catch(() => { refused = true; });
    // The host ending is what disconnects the port; the module's own disconnect raises no event.
    line.ok = host_gone !== null && refused;
    if (!line.ok) line.error = `host gone: ${host_gone}, later request refused: ${refused}`;
    line.host_gone = host_gone;
  } catch (error) {
    line.ok = false;
    line.error = String(error?.message ?? error);
  }
  line.ms = Math.round(performance.now() - start);
  report(line);
}

run().catch((error) => report({ case: 'harness', ok: false, error: String(error?.stack ?? error) }))
  .finally(() => report({ done: true }));
