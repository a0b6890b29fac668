// The browser benchmark's extension: times replies and requests through the module and the
// project's host, and the same messages through a loop without the module against the floor host,
// which only answers. Runs are interleaved and each result goes to the reporting host at once.

import { createClient, CHUNK_SIZE } from './npcorvane.js';
// Another copy of the module to measure beside this one (an older one, say), when config.baseline.
import { createClient as createBaselineClient } from './baseline.js';
import config from './config.js';
import { floorLink } from './floor_link.js';

const runtime = globalThis.browser?.runtime ?? globalThis.chrome.runtime;
const reporter = runtime.connectNative('npc_test_report');
const report = (line) => reporter.postMessage(line);
const MiB = 1024 * 1024;

// The length of the string the module posts for a message text of n ASCII bytes.
const envelopeLength = (n) => Math.ceil(n / 3) * 4;
const pieceMessageLength = (bytes) => 11 + envelopeLength(bytes);

// Strings of the sizes the module posts for a request of n bytes, made before the clock starts:
// the start, the pieces, the last piece; the floor host tells them apart by their first letter.
function floorRequest(n) {
  const count = Math.max(0, Math.ceil(n / CHUNK_SIZE) - 1);
  const start = `{"part":"true","count":${count}}`;
  const texts = [`P${'A'.repeat(envelopeLength(start.length) - 1)}`];
  const full = `P${'A'.repeat(envelopeLength(pieceMessageLength(CHUNK_SIZE)) - 1)}`;
  for (let i = 0; i < count; i++) texts.push(full);
  texts.push(`L${'A'.repeat(envelopeLength(pieceMessageLength(n - count * CHUNK_SIZE)) - 1)}`);
  return texts;
}

// A signing request of exactly n bytes: a document in base64 inside the request's JSON.
function moduleRequest(n) {
  const head = '{"operation":"sign","document":"';
  const alphabet = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
  const body = alphabet.repeat(Math.ceil(n / 64)).slice(0, n - head.length - 2);
  return `${head}${body}"}`;
}

function expect(condition, what) {
  if (!condition) throw new Error(what);
}

async function run() {
  const ask = floorLink(runtime.connectNative('npc_bench_floor'));
  const client = createClient(runtime.connectNative('npc_bench_host'), { timeout: 120_000 });
  const baseline = config.baseline ? createBaselineClient(runtime.connectNative('npc_bench_host'), { timeout: 120_000 }) : null;
  const requests = new Map();
  for (const mib of config.sizes) requests.set(mib, { floor: floorRequest(mib * MiB), module: moduleRequest(mib * MiB) });

  const timed = {
    reply: {
      floor: async (n) => {
        let message = await ask(`R${n}`);
        while (message && 'part' in message) message = await ask('M');
        expect(message && 'last' in message, `the floor host answered ${JSON.stringify(message)?.slice(0, 80)}`);
      },
      module: (n) => moduleReply(client, n),
      baseline: (n) => moduleReply(baseline, n),
    },
    request: {
      floor: async (n) => {
        let answer = null;
        for (const text of requests.get(n / MiB).floor) answer = await ask(text);
        expect(answer && 'length' in answer, `the floor host answered ${JSON.stringify(answer)}`);
      },
      module: (n) => moduleRequestRun(client, n),
      baseline: (n) => moduleRequestRun(baseline, n),
    },
  };
  async function moduleReply(through, n) {
    const reply = await through.request(`reply:${n}`);
    expect(typeof reply === 'string' && reply.length === n - 2, `a reply of ${reply?.length} characters`);
  }
  async function moduleRequestRun(through, n) {
    const answer = await through.request(requests.get(n / MiB).module);
    expect(answer?.length === n, `the host answered ${JSON.stringify(answer)}`);
  }

  // The benchmark library makes a reply ahead when asked, so the clock holds no library work.
  const prepare = (scenario, side, n) => (scenario === 'reply' && side !== 'floor'
    ? (side === 'module' ? client : baseline).request(`prepare:${n}`) : Promise.resolve());
  const allSides = config.baseline ? ['floor', 'module', 'baseline'] : ['floor', 'module'];

  report({ setup: { agent: navigator.userAgent, nativeBase64: typeof Uint8Array.fromBase64 === 'function' } });
  // Rep 0 warms both sides up and is not reported.
  for (let rep = 0; rep <= config.reps; rep++) {
    for (const scenario of ['reply', 'request']) {
      for (const mib of config.sizes) {
        // Which side goes first turns, so drift in the machine's load falls on all.
        const turn = (rep + config.first) % allSides.length;
        const sides = [...allSides.slice(turn), ...allSides.slice(0, turn)];
        for (const side of sides) {
          const n = mib * MiB;
          await prepare(scenario, side, n);
          const start = performance.now();
          await timed[scenario][side](n);
          const ms = performance.now() - start;
          if (rep > 0) report({ scenario, mib, side, ms });
        }
      }
    }
  }
  await client.close();
  await baseline?.close();
}

run().catch((error) => report({ error: String(error?.stack ?? error) }))
  .finally(() => report({ done: true }));
