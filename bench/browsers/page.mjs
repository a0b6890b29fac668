// The page path's cost: a 16 MiB sign from a page on 127.0.0.1 through the page library, the
// reference extension's content script and background, and the host, against the same request
// made by an extension's background through the module alone and against the floor (floor.js: the
// same request's messages moved to a host that only answers); headless Chromium and Firefox ESR,
// the bundled library on a throw-away SoftHSM2 token, the dialogs answered by the scripted
// pinentry. Prints the medians and their ratios, and writes them as a Markdown table.
// Usage: node bench/browsers/page.mjs [--build DIR] [--reps N] [--rounds R] [--browser NAME] [--out FILE]
//   N timed signatures on each side in each browser, spread over R sessions of each side, the
//   sides taking turns, so that drift in the machine's load falls on both.

import { execFileSync } from 'node:child_process';
import { appendFileSync, existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { cpus, loadavg, tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { run_extension } from '../../tests/browsers/harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');

let build = path.join(root, 'build');
let reps = 15;
let rounds = 3;
let out = null;
let browsers = ['chromium', 'firefox'];
for (let i = 2; i < process.argv.length; i++) {
  const arg = process.argv[i];
  if (arg === '--build') build = path.resolve(process.argv[++i]);
  else if (arg === '--reps') reps = Number(process.argv[++i]);
  else if (arg === '--rounds') rounds = Number(process.argv[++i]);
  else if (arg === '--out') out = path.resolve(process.argv[++i]);
  else if (arg === '--browser') browsers = [process.argv[++i]];
  else {
    console.error('usage: page.mjs [--build DIR] [--reps N] [--rounds R] [--browser NAME] [--out FILE]');
    process.exit(2);
  }
}
rounds = Math.max(1, Math.min(rounds, reps));

const host = path.join(build, 'bin', 'npcorvane-host');
const floorHost = path.join(build, 'bin', 'npc_bench_floor_host');
const extensions = path.join(build, 'extension');
for (const needed of [host, floorHost, path.join(build, 'lib', 'libnpcorvane.so'), path.join(extensions, 'chromium', 'config.js')]) {
  if (!existsSync(needed)) {
    console.error(`missing ${needed}: build the project first`);
    process.exit(2);
  }
}
const HOST_NAME = /HOST_NAME = '([^']+)'/.exec(readFileSync(path.join(extensions, 'chromium', 'config.js'), 'utf8'))[1];

const scratch = mkdtempSync(path.join(tmpdir(), 'npc-page-bench-'));
process.on('exit', () => rmSync(scratch, { recursive: true, force: true }));
const token = path.join(scratch, 'token');
execFileSync(path.join(root, 'scripts', 'softhsm-token'), [token], { stdio: 'inherit' });
const softhsm = execFileSync('find', ['/usr/lib', '-name', 'libsofthsm2.so', '-path', '*softhsm*', '-print', '-quit'],
                             { encoding: 'utf8' }).trim();
const env = {
  SOFTHSM2_CONF: path.join(token, 'softhsm2.conf'), NPC_PKCS11_MODULES: softhsm,
  NPC_PINENTRY: path.join(root, 'tests', 'signer', 'scripted_pinentry'), NPC_TEST_PINENTRY_PIN: '1234',
};

let results = null;
const files = {
  '/page_site.js': path.join(here, 'page_site.js'),
  '/npcorvane-web.js': path.join(root, 'client', 'web', 'npcorvane-web.js'),
};
const server = createServer((request, response) => {
  const url = new URL(request.url, 'http://127.0.0.1');
  if (request.method === 'POST' && url.pathname === '/report') {
    const body = [];
    request.on('data', (data) => body.push(data));
    request.on('end', () => {
      appendFileSync(results, `${Buffer.concat(body).toString('utf8')}\n`);
      response.end();
    });
  } else if (url.pathname === '/') {
    response.setHeader('content-type', 'text/html');
    response.end('<!doctype html><title>npcorvane bench</title><script type="module" src="/page_site.js"></script>');
  } else if (files[url.pathname]) {
    response.setHeader('content-type', 'text/javascript');
    response.end(readFileSync(files[url.pathname]));
  } else {
    response.statusCode = 404;
    response.end();
  }
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const site = `http://127.0.0.1:${server.address().port}`;

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
};
const times = {};
const agents = {};
let failed = false;
const loadBefore = loadavg().map((l) => l.toFixed(2)).join(' ');
const started = Date.now();

async function session(browser, side, sessionReps, options) {
  const before = times[`${browser}/${side}`]?.length ?? 0;
  const { failures } = await run_extension(browser, {
    ...options,
    env,
    deadline_ms: 120_000 + sessionReps * 30_000,
    on_line(line) {
      if (line.error) return line.error;
      if (line.setup) agents[browser] = line.setup.agent;
      else (times[`${browser}/${line.side}`] ??= []).push(line.ms);
      return null;
    },
  });
  const got = (times[`${browser}/${side}`]?.length ?? 0) - before;
  if (failures.length === 0 && got !== sessionReps) failures.push(`${got} of ${sessionReps} runs`);
  console.log(`${browser}, ${side}: ${failures.length === 0 ? `${sessionReps} runs` : `FAILED (${failures.join('; ')})`}`);
  failed ||= failures.length > 0;
}

for (const browser of browsers) {
  for (let round = 0; round < rounds; round++) {
    const roundReps = Math.floor(reps / rounds) + (round < reps % rounds ? 1 : 0);
    const config = path.join(scratch, `config-${browser}-${round}.js`);
    writeFileSync(config, `export default ${JSON.stringify({ reps: roundReps, host: HOST_NAME })};\n`);
    const module = () => session(browser, 'module', roundReps, {
      files: {
        'background.js': path.join(here, 'page_module.js'), 'npcorvane.js': path.join(root, 'client', 'js', 'npcorvane.js'),
        'floor.js': path.join(here, 'floor.js'), 'config.js': config,
      },
      hosts: { [HOST_NAME]: host, npc_bench_floor: floorHost },
    });
    const page = () => session(browser, 'page', roundReps, {
      extension_dir: path.join(extensions, browser),
      hosts: { [HOST_NAME]: host },
      page: async (file) => {
        results = file;
        return `${site}/?reps=${roundReps}`;
      },
    });
    for (const side of round % 2 === 0 ? [module, page] : [page, module]) await side();
  }
}
server.close();

const version = (browser) => {
  const match = browser === 'chromium' ? /Chrome\/(\d+)/.exec(agents[browser] ?? '') : /Firefox\/(\d+)/.exec(agents[browser] ?? '');
  return `${browser === 'chromium' ? 'Chromium' : 'Firefox'} ${match?.[1] ?? '?'}`;
};
const lines = [
  `Taken ${new Date().toISOString().slice(0, 16).replace('T', ' ')} UTC on ${cpus()[0]?.model ?? 'an unknown CPU'},` +
  ` ${cpus().length} cores; load average ${loadBefore} before and ${loadavg().map((l) => l.toFixed(2)).join(' ')} after;` +
  ` ${Math.round((Date.now() - started) / 1000)} s in all. A 16 MiB RSA-2048 sign on SoftHSM2, the dialog answered by the` +
  ` scripted pinentry; median of ${reps} in ${rounds} sessions of each side and browser (each after a warm-up), the sides taking turns; ${browsers.map(version).join(', ')}.`,
  '',
  '| browser | floor | module alone | page path | module/floor | page/floor | page/module |',
  '|---|---|---|---|---|---|---|',
];
for (const browser of browsers) {
  const module = times[`${browser}/module`];
  const page = times[`${browser}/page`];
  const floor = times[`${browser}/floor`];
  if (!module?.length || !page?.length || !floor?.length) continue;
  const [f, m, p] = [floor, module, page].map(median);
  lines.push(`| ${browser === 'chromium' ? 'Chromium' : 'Firefox'} | ${f.toFixed(0)} ms | ${m.toFixed(0)} ms | ${p.toFixed(0)} ms |` +
             ` ${(m / f).toFixed(2)}x | ${(p / f).toFixed(2)}x | ${(p / m).toFixed(2)}x |`);
}
const table = `${lines.join('\n')}\n`;
console.log(`\n${table}`);
if (out) writeFileSync(out, table);
process.exit(failed ? 1 : 0);
