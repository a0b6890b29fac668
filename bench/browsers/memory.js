// The browser benchmark's memory extension: one 32 MiB reply at a time through the floor loop,
// the module and, when config.baseline, another copy of the module, with pauses between them and
// the start and end of each reported with the time, so that the runner can tell from the browser's
// resident memory what each held at its peak.

import { createClient } from './npcorvane.js';
import { createClient as createBaselineClient } from './baseline.js';
import config from './config.js';
import { openFloor } from './floor.js';

const runtime = globalThis.browser?.runtime ?? globalThis.chrome.runtime;
const reporter = runtime.connectNative('npc_test_report');
const report = (line) => reporter.postMessage(line);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const n = 32 * 1024 * 1024;

async function run() {
  const floor = openFloor(runtime.connectNative('npc_bench_floor'));
  const clients = { module: createClient(runtime.connectNative('npc_bench_host'), { timeout: 120_000 }) };
  if (config.baseline) clients.baseline = createBaselineClient(runtime.connectNative('npc_bench_host'), { timeout: 120_000 });
  const sides = ['floor', ...Object.keys(clients)];
  let length = 0;
  for (let rep = 0; rep <= config.reps; rep++) {
    for (const side of sides) {
      if (side !== 'floor') await clients[side].request(`prepare:${n}`);
      await sleep(1500);
      const start = Date.now();
      if (side === 'floor') {
        await floor.reply(n);
      } else {
        length = (await clients[side].request(`reply:${n}`)).length;
      }
      // Rep 0 warms up.
      if (rep > 0) report({ side, start, end: Date.now() });
    }
  }
  if (length !== n - 2) report({ error: `a reply of ${length} characters` });
}

run().catch((error) => report({ error: String(error?.stack ?? error) }))
  .finally(() => report({ done: true }));
