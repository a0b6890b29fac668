// The browser benchmark's extension: times replies and requests through the module and the
// project's host against the floor (floor.js), which moves the module's own messages, one round
// trip each and one way, to a host that only answers. Runs are interleaved and each result goes to
// the reporting host at once, with the module's time inside postMessage and the browser's UTF-8,
// base64 and JSON calls, for the table of where its time goes.

import { createClient } from './npcorvane.js';
// Another copy of the module to measure beside this one (an older one, say), when config.baseline.
import { createClient as createBaselineClient } from './baseline.js';
import config from './config.js';
import { openFloor, requestMessages } from './floor.js';

const runtime = globalThis.browser?.runtime ?? globalThis.chrome.runtime;
const reporter = runtime.connectNative('npc_test_report');
const report = (line) => reporter.postMessage(line);
const MiB = 1024 * 1024;

// A signing request of exactly n bytes: a document in base64 inside the request's JSON.
function signingRequest(n) {
  const head = '{"operation":"sign","document":"';
  const alphabet = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
  const body = alphabet.repeat(Math.ceil(n / 64)).slice(0, n - head.length - 2);
  return `${head}${body}"}`;
}

function expect(condition, what) {
  if (!condition) throw new Error(what());
}

// A port that adds up the time the module spends inside postMessage.
function timedPort(port) {
  const timed = {
    postMs: 0,
    onMessage: port.onMessage,
    onDisconnect: port.onDisconnect,
    get error() { return port.error; },
    disconnect: () => port.disconnect(),
    postMessage(message) {
      const start = performance.now();
      port.postMessage(message);
      timed.postMs += performance.now() - start;
    },
  };
  return timed;
}

// The time the module spends in each of the browser's calls it makes, added up by wrapping them:
// UTF-8 (TextEncoder, TextDecoder), base64 (toBase64, setFromBase64) and JSON.parse. The wrappers
// cost a few microseconds a call, a few dozen calls a case.
const spent = { utf8: 0, base64: 0, parse: 0 };
function wrap(object, name, step) {
  const original = object[name];
  object[name] = function wrapped(...args) {
    const start = performance.now();
    try {
      return original.apply(this, args);
    } finally {
      spent[step] += performance.now() - start;
    }
  };
}
wrap(TextEncoder.prototype, 'encode', 'utf8');
wrap(TextEncoder.prototype, 'encodeInto', 'utf8');
wrap(TextDecoder.prototype, 'decode', 'utf8');
if (typeof Uint8Array.prototype.toBase64 === 'function') wrap(Uint8Array.prototype, 'toBase64', 'base64');
if (typeof Uint8Array.prototype.setFromBase64 === 'function') wrap(Uint8Array.prototype, 'setFromBase64', 'base64');
wrap(JSON, 'parse', 'parse');

async function run() {
  const floor = openFloor(runtime.connectNative('npc_bench_floor'));
  const port = timedPort(runtime.connectNative('npc_bench_host'));
  const client = createClient(port, { timeout: 120_000 });
  const baseline = config.baseline ? createBaselineClient(runtime.connectNative('npc_bench_host'), { timeout: 120_000 }) : null;
  // With config.diagnose, the floor twice more as it was once measured: through a host that leaves
  // its pipes at the system's 64 KiB, and with request strings of the right sizes made by repeat().
  const narrow = config.diagnose ? openFloor(runtime.connectNative('npc_bench_floor_narrow')) : null;
  const repeated = (messages) => messages.map((text) => (text.length <= 64 ? text : text.slice(0, 64) + 'A'.repeat(text.length - 64)));
  const requests = new Map(config.sizes.map((mib) => [mib, signingRequest(mib * MiB)]));

  async function moduleReply(through, n) {
    const reply = await through.request(`reply:${n}`);
    expect(typeof reply === 'string' && reply.length === n - 2, () => `a reply of ${reply?.length} characters`);
  }
  async function moduleRequest(through, n) {
    const answer = await through.request(requests.get(n / MiB));
    expect(answer?.length === n, () => `the host answered ${JSON.stringify(answer)}`);
  }
  // Each side's work before the clock starts, and its timed part.
  const sides = {
    reply: {
      floor: { timed: (n) => floor.reply(n) },
      oneway: { timed: (n) => floor.streamReply(n) },
      module: { before: (n) => client.request(`prepare:${n}`), timed: (n) => moduleReply(client, n) },
      baseline: { before: (n) => baseline.request(`prepare:${n}`), timed: (n) => moduleReply(baseline, n) },
    },
    request: {
      floor: { before: (n) => requestMessages(requests.get(n / MiB)), timed: (n, messages) => floor.request(messages) },
      oneway: {
        before: (n) => requestMessages(requests.get(n / MiB), { oneWay: true }),
        timed: (n, messages) => floor.streamRequest(messages),
      },
      module: { timed: (n) => moduleRequest(client, n) },
      baseline: { timed: (n) => moduleRequest(baseline, n) },
      narrow: { before: (n) => requestMessages(requests.get(n / MiB)), timed: (n, messages) => narrow.request(messages) },
      repeat: { before: (n) => repeated(requestMessages(requests.get(n / MiB))), timed: (n, messages) => floor.request(messages) },
    },
  };
  sides.reply.narrow = { timed: (n) => narrow.reply(n) };
  const allSides = ['floor', 'oneway', 'module', ...(config.baseline ? ['baseline'] : []), ...(config.diagnose ? ['narrow', 'repeat'] : [])];
  const postMs = { floor: () => floor.postMs, oneway: () => floor.postMs, module: () => port.postMs };

  report({ setup: { agent: navigator.userAgent, nativeBase64: typeof Uint8Array.fromBase64 === 'function' } });
  // Rep 0 warms both sides up and is not reported.
  for (let rep = 0; rep <= config.reps; rep++) {
    for (const scenario of ['reply', 'request']) {
      for (const mib of config.sizes) {
        const n = mib * MiB;
        // Which side goes first turns, so drift in the machine's load falls on all.
        const turn = (rep + config.first) % allSides.length;
        for (const side of [...allSides.slice(turn), ...allSides.slice(0, turn)]) {
          if (!sides[scenario][side]) continue;
          const { before, timed } = sides[scenario][side];
          const prepared = await before?.(n);
          const posted = postMs[side]?.() ?? 0;
          Object.assign(spent, { utf8: 0, base64: 0, parse: 0 });
          const start = performance.now();
          await timed(n, prepared);
          const ms = performance.now() - start;
          const post = (postMs[side]?.() ?? posted) - posted;
          if (rep > 0) report({ scenario, mib, side, ms, post, ...(side === 'module' ? { steps: { ...spent } } : {}) });
        }
      }
    }
  }
  await client.close();
  await baseline?.close();
}

run().catch((error) => report({ error: String(error?.stack ?? error) }))
  .finally(() => report({ done: true }));
