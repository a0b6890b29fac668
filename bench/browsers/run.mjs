// The browser benchmark: headless Chromium and Firefox ESR run an extension that times replies and
// requests through the module and the host, against the floor: the module's own messages carried
// between the extension and a host that only answers, one round trip each and one way. Prints
// medians, MiB/s, the ratio of the module's median time to the floor's and where the module's time
// goes, and writes them as Markdown tables. Fails when the module beats the floor anywhere.
// Usage: node bench/browsers/run.mjs [--build DIR] [--reps N] [--rounds R] [--baseline FILE] [--out FILE]
//          [--sizes MIB,...] [--browser chromium|firefox] [--raw] [--diagnose]
//        node bench/browsers/run.mjs --memory [--build DIR] [--reps N] [--baseline FILE] [--out FILE]
//   N repetitions of every case in each browser, spread over R sessions of each, the browsers
//   taking turns; --baseline also measures another copy of the module (an older one, say) in the
//   same runs; --out writes the table (with how it was measured) to FILE. --memory measures instead
//   how much the browser's resident memory grows while a 32 MiB reply is fetched. --sizes and
//   --browser narrow the run for a quick look; --raw also prints every time taken; --diagnose also times the floor
//   through a host with narrow pipes, and with request strings made by repeat().

import { cpus, loadavg, tmpdir } from 'node:os';
import { existsSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { randomUUID } from 'node:crypto';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { run_extension } from '../../tests/browsers/harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');

let build = path.join(root, 'build');
let reps = 15;
let rounds = 3;
let out = null;
let baseline = null;
let memory = false;
let raw = false;
let diagnose = false;
let sizes = [8, 32];
let browsers = ['chromium', 'firefox'];
for (let i = 2; i < process.argv.length; i++) {
  const arg = process.argv[i];
  if (arg === '--build') build = path.resolve(process.argv[++i]);
  else if (arg === '--reps') reps = Number(process.argv[++i]);
  else if (arg === '--rounds') rounds = Number(process.argv[++i]);
  else if (arg === '--out') out = path.resolve(process.argv[++i]);
  else if (arg === '--baseline') baseline = path.resolve(process.argv[++i]);
  else if (arg === '--memory') memory = true;
  else if (arg === '--sizes') sizes = process.argv[++i].split(',').map(Number);
  else if (arg === '--raw') raw = true;
  else if (arg === '--diagnose') diagnose = true;
  else if (arg === '--browser') browsers = [process.argv[++i]];
  else {
    console.error('usage: run.mjs [--memory] [--build DIR] [--reps N] [--rounds R] [--baseline FILE] [--out FILE] [--sizes MIB,...] [--browser chromium|firefox] [--raw] [--diagnose]');
    process.exit(2);
  }
}
rounds = Math.max(1, Math.min(rounds, reps));

const host = path.join(build, 'bin', 'npcorvane-host');
const floor = path.join(build, 'bin', 'npc_bench_floor_host');
const benchlib = path.join(build, 'bench', 'lib');
for (const needed of [host, floor, path.join(benchlib, 'libnpcorvane.so')]) {
  if (!existsSync(needed)) {
    console.error(`missing ${needed}: build with -DNPC_BUILD_BENCH=ON first`);
    process.exit(2);
  }
}

const module = path.join(root, 'client', 'js', 'npcorvane.js');
const scratch = mkdtempSync(path.join(tmpdir(), 'npc-bench-'));
let failed = false;
const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
};

// The resident memory of a browser's processes (the hosts left out), summed: those that carry a
// tag in their environment and their descendants (Chromium starts its renderers with an
// environment of their own). Sampled every 20 ms, the processes looked up every half second.
function sampleMemory(tag) {
  const samples = [];
  let pids = [];
  const find = () => {
    const parent = new Map();
    const tagged = new Set();
    const names = new Map();
    for (const entry of readdirSync('/proc')) {
      if (!/^\d+$/.test(entry)) continue;
      try {
        const stat = readFileSync(`/proc/${entry}/stat`, 'latin1');
        const close = stat.lastIndexOf(')');
        names.set(entry, stat.slice(stat.indexOf('(') + 1, close));
        parent.set(entry, stat.slice(close + 2).split(' ')[1]);
        if (readFileSync(`/proc/${entry}/environ`, 'latin1').includes(tag)) tagged.add(entry);
      } catch {
        // gone already
      }
    }
    const belongs = (pid) => {
      for (let at = pid, depth = 0; at && at !== '0' && depth < 16; at = parent.get(at), depth++) {
        if (tagged.has(at)) return true;
      }
      return false;
    };
    pids = [...parent.keys()].filter((pid) => belongs(pid) &&
      !/^(npcorvane-host|npc_bench_floor|node|sh)$/.test(names.get(pid)));
  };
  const sample = () => {
    let pages = 0;
    for (const pid of pids) {
      try {
        pages += Number(readFileSync(`/proc/${pid}/statm`, 'latin1').split(' ')[1]);
      } catch {
        // gone already
      }
    }
    samples.push({ t: Date.now(), bytes: pages * 4096 });
  };
  const finder = setInterval(find, 500);
  const sampler = setInterval(sample, 20);
  return { samples, stop: () => { clearInterval(finder); clearInterval(sampler); } };
}

if (memory) {
  const lines = [`Growth of the browser's resident memory (all its processes) while one 32 MiB reply is fetched,` +
    ` over the level just before; median of ${reps}, ${new Date().toISOString().slice(0, 16).replace('T', ' ')} UTC,` +
    ` load average ${loadavg().map((l) => l.toFixed(2)).join(' ')}.`, '',
    `| browser | floor | module |${baseline ? ' baseline |' : ''}`, `|---|---|---|${baseline ? '---|' : ''}`];
  for (const browser of browsers) {
    const tag = `NPC_BENCH_TAG=${randomUUID()}`;
    const config = path.join(scratch, `config-${browser}.js`);
    writeFileSync(config, `export default ${JSON.stringify({ reps, baseline: baseline !== null })};\n`);
    const sampler = sampleMemory(tag);
    const runs = [];
    const { failures } = await run_extension(browser, {
      files: {
        'background.js': path.join(here, 'memory.js'), 'floor.js': path.join(here, 'floor.js'), 'npcorvane.js': module, 'baseline.js': baseline ?? module, 'config.js': config,
      },
      hosts: { npc_bench_host: host, npc_bench_floor: floor },
      env: { LD_LIBRARY_PATH: benchlib, NPC_BENCH_TAG: tag.split('=')[1] },
      deadline_ms: 120_000 + reps * 120_000,
      on_line(line) {
        if (line.error) return line.error;
        runs.push(line);
        return null;
      },
    });
    sampler.stop();
    console.log(`${browser}: ${failures.length === 0 ? `${runs.length} runs` : `FAILED (${failures.join('; ')})`}`);
    failed ||= failures.length > 0;
    const growth = {};
    for (const run of runs) {
      const before = sampler.samples.filter((s) => s.t < run.start).at(-1)?.bytes ?? 0;
      const peak = Math.max(...sampler.samples.filter((s) => s.t >= run.start && s.t <= run.end + 100).map((s) => s.bytes));
      (growth[run.side] ??= []).push(peak - before);
    }
    const mib = (side) => (growth[side] ? `${(median(growth[side]) / 1048576).toFixed(0)} MiB` : '-');
    lines.push(`| ${browser === 'chromium' ? 'Chromium' : 'Firefox'} | ${mib('floor')} | ${mib('module')} |${baseline ? ` ${mib('baseline')} |` : ''}`);
  }
  rmSync(scratch, { recursive: true, force: true });
  const table = `${lines.join('\n')}\n`;
  console.log(`\n${table}`);
  if (out) writeFileSync(out, table);
  process.exit(failed ? 1 : 0);
}

const times = {};  // browser/scenario/mib/side -> [ms]
const posts = {};  // browser/scenario/mib/side -> [ms inside postMessage]
const steps = {};  // browser/scenario/mib -> [{utf8, base64, parse}]
const agents = {};
const loadBefore = loadavg().map((l) => l.toFixed(2)).join(' ');
const started = Date.now();
// The floor host with the system's pipes, for --diagnose.
const narrowFloor = path.join(scratch, 'floor_narrow');
writeFileSync(narrowFloor, `#!/bin/sh\nNPC_FLOOR_NARROW=1 exec '${floor}' "$@"\n`, { mode: 0o755 });

for (let round = 0; round < rounds; round++) {
  const roundReps = Math.floor(reps / rounds) + (round < reps % rounds ? 1 : 0);
  const order = round % 2 === 0 ? ['chromium', 'firefox'] : ['firefox', 'chromium'];
  for (const browser of order.filter((b) => browsers.includes(b))) {
    const config = path.join(scratch, `config-${browser}-${round}.js`);
    writeFileSync(config, `export default ${JSON.stringify({ reps: roundReps, sizes, first: round, baseline: baseline !== null, diagnose })};\n`);
    const { failures } = await run_extension(browser, {
      files: {
        'background.js': path.join(here, 'background.js'),
        'floor.js': path.join(here, 'floor.js'),
        'npcorvane.js': module,
        'baseline.js': baseline ?? module,
        'config.js': config,
      },
      hosts: { npc_bench_host: host, npc_bench_floor: floor, npc_bench_floor_narrow: narrowFloor },
      env: { LD_LIBRARY_PATH: benchlib },
      // Generous: on a loaded machine one repetition of every case can take minutes.
      deadline_ms: 120_000 + roundReps * 200_000,
      on_line(line) {
        if (line.error) return line.error;
        const key = `${browser}/${line.scenario}/${line.mib}`;
        if (line.setup) {
          agents[browser] = line.setup;
        } else {
          if (line.steps) (steps[key] ??= []).push(line.steps);
          (times[`${key}/${line.side}`] ??= []).push(line.ms);
          (posts[`${key}/${line.side}`] ??= []).push(line.post);
        }
        return null;
      },
    });
    console.log(`${browser}, round ${round + 1} of ${rounds}: ${failures.length === 0 ? `${roundReps} repetitions` : `FAILED (${failures.join('; ')})`}`);
    failed ||= failures.length > 0;
  }
}
rmSync(scratch, { recursive: true, force: true });

const lines = [];
const version = (browser) => {
  const agent = agents[browser]?.agent ?? '';
  const match = browser === 'chromium' ? /Chrome\/(\d+)/.exec(agent) : /Firefox\/(\d+)/.exec(agent);
  const native = agents[browser]?.nativeBase64 ? 'built-in base64' : 'no built-in base64';
  return `${browser === 'chromium' ? 'Chromium' : 'Firefox'} ${match?.[1] ?? '?'} (${native})`;
};
const title = (browser) => (browser === 'chromium' ? 'Chromium' : 'Firefox');
lines.push(`Taken ${new Date().toISOString().slice(0, 16).replace('T', ' ')} UTC on ${cpus()[0]?.model ?? 'an unknown CPU'},` +
  ` ${cpus().length} cores; load average ${loadBefore} before and ${loadavg().map((l) => l.toFixed(2)).join(' ')} after;` +
  ` ${Math.round((Date.now() - started) / 1000)} s in all. ${reps} repetitions of each case per browser in ${rounds} sessions` +
  ` each, the browsers taking turns; ${Object.keys(agents).map(version).join(', ')}.`);
lines.push('');
lines.push(`| browser | case | floor | one-way floor | module + host | module/floor |${baseline ? ' baseline + host | baseline/floor |' : ''}`);
lines.push(`|---|---|---|---|---|---|${baseline ? '---|---|' : ''}`);
const beaten = [];
const costs = [];
const diagnosis = [];
for (const browser of browsers) {
  for (const scenario of ['reply', 'request']) {
    for (const mib of sizes) {
      const key = `${browser}/${scenario}/${mib}`;
      const of = (side) => times[`${key}/${side}`];
      if (!of('floor')?.length || !of('module')?.length) continue;
      const f = median(of('floor'));
      const rate = (ms) => `${ms.toFixed(0)} ms, ${((mib * 1000) / ms).toFixed(1)} MiB/s`;
      const side = (name) => `${rate(median(of(name)))} | ${(median(of(name)) / f).toFixed(2)}x |`;
      lines.push(`| ${title(browser)} | ${scenario} ${mib} MiB | ${rate(f)} | ${of('oneway')?.length ? rate(median(of('oneway'))) : '-'} |` +
                 ` ${side('module')}${baseline && of('baseline')?.length ? ` ${side('baseline')}` : ''}`);
      if (diagnose) {
        diagnosis.push(`| ${title(browser)} | ${scenario} ${mib} MiB | ${rate(f)} | ${of('narrow')?.length ? rate(median(of('narrow'))) : '-'} |` +
                       ` ${of('repeat')?.length ? rate(median(of('repeat'))) : '-'} |`);
      }
      // A floor the module beats does not measure what it claims to.
      if (median(of('module')) < f) beaten.push(`${title(browser)} ${scenario} ${mib} MiB`);
      if (steps[key]?.length) {
        const step = (name) => median(steps[key].map((s) => s[name]));
        const post = (name) => median(posts[`${key}/${name}`]);
        const m = median(of('module'));
        const own = post('module') + step('utf8') + step('base64') + step('parse');
        const ms = (value) => `${value.toFixed(0)}`;
        costs.push(`| ${title(browser)} | ${scenario} ${mib} MiB | ${ms(f)} | ${ms(post('floor'))} | ${ms(f - post('floor'))} |` +
                   ` ${ms(m)} | ${ms(post('module'))} | ${ms(step('utf8'))} | ${ms(step('base64'))} |` +
                   ` ${scenario === 'reply' ? ms(step('parse')) : '-'} | ${ms(m - own)} | ${ms(m - own - (f - post('floor')))} |`);
      }
    }
  }
}
lines.push('');
lines.push('Medians over the repetitions; the ratio is the module\'s median time over the floor\'s.');
if (costs.length > 0) {
  lines.push('', 'Where the time goes, in ms (medians): the floor\'s time inside postMessage and the rest, its wait;' +
    ' the module\'s time inside postMessage and inside the browser\'s calls it makes (UTF-8: encoding' +
    ' the request and copying a piece\'s inner base64 into its message, or decoding the reply\'s bytes; base64: both' +
    ' layers of every piece, or every chunk\'s decoding; parse: JSON.parse of the reply). What is left of the module\'s time is its wait and the rest;' +
    ' "over the floor\'s wait" is that less the floor\'s wait (negative where the module\'s work overlaps the wait).', '');
  lines.push('| browser | case | floor | postMessage | wait | module | postMessage | UTF-8 | base64 | parse | wait and rest | over the floor\'s wait |');
  lines.push('|---|---|---|---|---|---|---|---|---|---|---|---|');
  lines.push(...costs);
}
if (diagnosis.length > 0) {
  lines.push('', 'The floor as it is, through a floor host that leaves its pipes at 64 KiB, and with request strings made by repeat():', '');
  lines.push('| browser | case | floor | narrow pipes | repeat() strings |', '|---|---|---|---|---|', ...diagnosis);
}
if (beaten.length > 0) {
  lines.push('', `The module came out faster than the floor in: ${beaten.join(', ')}. That floor is no floor.`);
  failed = true;
}
const table = `${lines.join('\n')}\n`;
console.log(`\n${table}`);
if (raw) for (const [key, values] of Object.entries(times)) console.log(key, values.map((v) => v.toFixed(0)).join(' '));
if (out) writeFileSync(out, table);
process.exit(failed ? 1 : 0);
