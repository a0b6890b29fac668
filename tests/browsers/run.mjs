// Runs the test extension in headless Chromium and Firefox against the built host and the test
// library, and reads the results the extension sends to a second, reporting native host.
// Usage: node tests/browsers/run.mjs [--build DIR] [--installed KEY_FILE] [--user-data-dir DIR]
//                                    [chromium] [firefox]
//        node tests/browsers/run.mjs --make-key KEY_FILE
// --installed tests an installed host: the harness writes no manifest for it, so the browser must
// find it through the system manifest, which allows the Chromium extension whose public key is in
// KEY_FILE (made with --make-key, which prints the extension's ID) and the Firefox add-on
// npc-test@npcorvane.example, under the host name npc_test_host.
// --user-data-dir runs Chromium on that profile folder, so that it reads the manifests in its
// NativeMessagingHosts folder (as a registration for another Chromium-family browser writes them).

import { generateKeyPairSync } from 'node:crypto';
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { extension_id, run_extension } from './harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const HOST_NAME = 'npc_test_host';
// The longest one browser may run; CI must never hang on a browser.
const DEADLINE_MS = Number(process.env.NPC_BROWSER_DEADLINE_MS ?? 90_000);

let build = path.join(root, 'build');
let installed_key = null;
let user_data_dir = null;
const browsers = [];
for (let i = 2; i < process.argv.length; i++) {
  if (process.argv[i] === '--build') build = path.resolve(process.argv[++i]);
  else if (process.argv[i] === '--installed') installed_key = Buffer.from(readFileSync(process.argv[++i], 'utf8'), 'base64');
  else if (process.argv[i] === '--user-data-dir') user_data_dir = path.resolve(process.argv[++i]);
  else if (process.argv[i] === '--make-key') {
    const { publicKey } = generateKeyPairSync('rsa', { modulusLength: 2048 });
    const der = publicKey.export({ type: 'spki', format: 'der' });
    writeFileSync(process.argv[++i], `${der.toString('base64')}\n`);
    console.log(extension_id(der));
    process.exit(0);
  } else browsers.push(process.argv[i]);
}
if (browsers.length === 0) browsers.push('chromium', 'firefox');

const host = path.join(build, 'bin', 'npcorvane-host');
const testlib = path.join(build, 'tests', 'lib');
for (const needed of [...(installed_key ? [] : [host]), path.join(testlib, 'libnpcorvane.so')]) {
  if (!existsSync(needed)) {
    console.error(`missing ${needed}: build the project first`);
    process.exit(2);
  }
}

async function run_browser(name) {
  const started = Date.now();
  const plan = [];
  const ran = new Set();
  const { failures, done } = await run_extension(name, {
    files: {
      'background.js': path.join(here, 'extension', 'background.js'),
      'npcorvane.js': path.join(root, 'client', 'js', 'npcorvane.js'),
    },
    // An installed host is found through the system's manifest instead.
    hosts: installed_key ? {} : { [HOST_NAME]: host },
    // LD_LIBRARY_PATH makes the host load the test library.
    env: { LD_LIBRARY_PATH: testlib },
    key: installed_key,
    user_data_dir,
    deadline_ms: DEADLINE_MS,
    on_line(line) {
      if (line.plan) {
        plan.push(...line.plan);
        console.log(`  ${name}: ${line.plan.length} cases`);
        return null;
      }
      ran.add(line.case);
      const ok = line.ok && line.probe !== false;
      console.log(`  ${ok ? 'ok  ' : 'FAIL'} ${name}: ${line.case} (${line.ms} ms)${line.error ? `: ${line.error}` : ''}`);
      return ok ? null : line.case;
    },
  });
  if (done && plan.length === 0) failures.push('no cases planned');
  for (const c of plan) if (!ran.has(c)) failures.push(`${c}: no result`);
  const seconds = ((Date.now() - started) / 1000).toFixed(1);
  console.log(`${name}: ${failures.length === 0 ? 'passed' : `FAILED (${failures.join('; ')})`} in ${seconds} s`);
  return failures.length === 0;
}

let all_passed = true;
for (const name of browsers) {
  if (name !== 'chromium' && name !== 'firefox') {
    console.error(`unknown browser ${name}`);
    process.exit(2);
  }
  all_passed = (await run_browser(name)) && all_passed;
}
process.exit(all_passed ? 0 : 1);
