// Runs an extension in headless Chromium or Firefox ESR with native hosts of the caller's choice,
// and hands the caller each line the extension reports through a second, reporting native host.
// Shared by the browser tests (run.mjs) and the browser benchmark (bench/browsers/run.mjs).

import { spawn } from 'node:child_process';
import { createHash, generateKeyPairSync } from 'node:crypto';
import {
  chmodSync, copyFileSync, existsSync, mkdirSync, mkdtempSync, openSync, readdirSync, readFileSync, rmSync,
  writeFileSync,
} from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const FIREFOX_ID = 'npc-test@npcorvane.example';
const REPORT_NAME = 'npc_test_report';

// A Chromium extension's ID: the first 32 hex digits of the SHA-256 of its public key (DER),
// written with the letters a to p.
export const extension_id = (der) => [...createHash('sha256').update(der).digest('hex').slice(0, 32)]
  .map((d) => String.fromCharCode(97 + parseInt(d, 16))).join('');

function write_json(file, value) {
  mkdirSync(path.dirname(file), { recursive: true });
  writeFileSync(file, `${JSON.stringify(value, null, 2)}\n`);
}

// The extension's files ({name: source}), side by side as an extension author puts them.
function lay_out_extension(dir, files, manifest) {
  mkdirSync(dir, { recursive: true });
  for (const [name, source] of Object.entries(files)) copyFileSync(source, path.join(dir, name));
  write_json(path.join(dir, 'manifest.json'), manifest);
}

// The reporting host, behind a wrapper that names the results file and the node that runs it.
function lay_out_reporter(t) {
  const dir = path.join(t, 'reporter');
  mkdirSync(dir);
  copyFileSync(path.join(here, 'report_host.mjs'), path.join(dir, 'report_host.mjs'));
  const wrapper = path.join(dir, 'report_host');
  writeFileSync(wrapper, `#!/bin/sh\nexec '${process.execPath}' '${dir}/report_host.mjs' '${t}/results.jsonl' "$@"\n`);
  chmodSync(wrapper, 0o755);
  return wrapper;
}

// The reporter's manifest and one for each host ({name: executable}).
function host_manifests(dir, reporter, hosts, allowed) {
  for (const [name, executable] of Object.entries({ ...hosts, [REPORT_NAME]: reporter })) {
    write_json(path.join(dir, `${name}.json`), {
      name, description: `${name} for the npcorvane tests`, path: executable, type: 'stdio', ...allowed,
    });
  }
}

const crc_table = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = crc_table[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

// An uncompressed zip of the named files: all an .xpi needs to be.
function write_zip(file, entries) {
  const locals = [];
  const centrals = [];
  let offset = 0;
  for (const [name, data] of entries) {
    const name_bytes = Buffer.from(name);
    const crc = crc32(data);
    const local = Buffer.alloc(30);
    local.writeUInt32LE(0x04034b50, 0);
    local.writeUInt16LE(20, 4);
    local.writeUInt16LE(0x21, 12);  // 1980-01-01
    local.writeUInt32LE(crc, 14);
    local.writeUInt32LE(data.length, 18);
    local.writeUInt32LE(data.length, 22);
    local.writeUInt16LE(name_bytes.length, 26);
    const central = Buffer.alloc(46);
    central.writeUInt32LE(0x02014b50, 0);
    central.writeUInt16LE(20, 4);
    central.writeUInt16LE(20, 6);
    central.writeUInt16LE(0x21, 14);
    central.writeUInt32LE(crc, 16);
    central.writeUInt32LE(data.length, 20);
    central.writeUInt32LE(data.length, 24);
    central.writeUInt16LE(name_bytes.length, 28);
    central.writeUInt32LE(offset, 42);
    locals.push(local, name_bytes, data);
    centrals.push(central, name_bytes);
    offset += local.length + name_bytes.length + data.length;
  }
  const directory = Buffer.concat(centrals);
  const end = Buffer.alloc(22);
  end.writeUInt32LE(0x06054b50, 0);
  end.writeUInt16LE(entries.length, 8);
  end.writeUInt16LE(entries.length, 10);
  end.writeUInt32LE(directory.length, 12);
  end.writeUInt32LE(offset, 16);
  writeFileSync(file, Buffer.concat([...locals, directory, end]));
}

// A built extension's manifest, or null when the browser runs without an extension.
const built_manifest = (dir) => (dir ? JSON.parse(readFileSync(path.join(dir, 'manifest.json'), 'utf8')) : null);

function prepare_chromium(t, { files, hosts, key, user_data_dir, extension_dir, url }) {
  // A fixed extension ID comes from the manifest's key.
  let ext = extension_dir;
  let der = key;
  if (extension_dir === undefined) {
    der ??= generateKeyPairSync('rsa', { modulusLength: 2048 }).publicKey.export({ type: 'spki', format: 'der' });
    ext = path.join(t, 'ext');
    lay_out_extension(ext, files, {
      manifest_version: 3, name: 'npcorvane test', version: '1.0', key: der.toString('base64'),
      permissions: ['nativeMessaging'], background: { service_worker: 'background.js', type: 'module' },
    });
  } else if (extension_dir) {
    der = Buffer.from(built_manifest(extension_dir).key, 'base64');
  }
  const id = der ? extension_id(der) : 'none';
  const profile = user_data_dir ?? path.join(t, 'profile');
  host_manifests(path.join(profile, 'NativeMessagingHosts'), lay_out_reporter(t), hosts,
                 { allowed_origins: [`chrome-extension://${id}/`] });
  const binary = existsSync('/usr/lib/chromium/chromium') ? '/usr/lib/chromium/chromium' : 'chromium';
  return {
    binary,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--no-default-browser-check', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', `--user-data-dir=${profile}`, ...(ext ? [`--load-extension=${ext}`] : []), url],
    host_args: (args) => args.length === 1 && args[0] === `chrome-extension://${id}/`,
  };
}

function prepare_firefox(t, { files, hosts, extension_dir, url }) {
  let ext = extension_dir;
  let id = FIREFOX_ID;
  if (extension_dir === undefined) {
    ext = path.join(t, 'ext');
    lay_out_extension(ext, files, {
      manifest_version: 3, name: 'npcorvane test', version: '1.0',
      browser_specific_settings: { gecko: { id: FIREFOX_ID } },
      permissions: ['nativeMessaging'], background: { scripts: ['background.js'], type: 'module' },
    });
  } else if (extension_dir) {
    id = built_manifest(extension_dir).browser_specific_settings.gecko.id;
  }
  const profile = path.join(t, 'profile');
  mkdirSync(path.join(profile, 'extensions'), { recursive: true });
  if (ext) {
    write_zip(path.join(profile, 'extensions', `${id}.xpi`),
              readdirSync(ext).sort().map((name) => [name, readFileSync(path.join(ext, name))]));
  }
  // Unsigned add-ons in the profile load only with both of the first two.
  const prefs = {
    'xpinstall.signatures.required': false,
    'extensions.autoDisableScopes': 0,
    'extensions.update.enabled': false,
    'browser.shell.checkDefaultBrowser': false,
    'datareporting.policy.dataSubmissionEnabled': false,
    'toolkit.telemetry.reportingpolicy.firstRun': false,
    'app.update.disabledForTesting': true,
    'network.captive-portal-service.enabled': false,
    'network.connectivity-service.enabled': false,
    'browser.safebrowsing.update.enabled': false,
  };
  writeFileSync(path.join(profile, 'user.js'), Object.entries(prefs)
    .map(([k, v]) => `user_pref(${JSON.stringify(k)}, ${JSON.stringify(v)});\n`).join(''));
  const manifests = path.join(t, 'home', '.mozilla', 'native-messaging-hosts');
  host_manifests(manifests, lay_out_reporter(t), hosts, { allowed_extensions: [id] });
  return {
    binary: 'firefox-esr',
    args: ['--headless', '--no-remote', '--profile', profile, url],
    host_args: (args) => args.length === 2 && args[0] === path.join(manifests, `${REPORT_NAME}.json`)
      && args[1] === id,
  };
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function read_lines(file) {
  if (!existsSync(file)) return [];
  return readFileSync(file, 'utf8').split('\n').filter(Boolean).map((line) => JSON.parse(line));
}

// The browser runs in its own process group, so ending the group ends its helpers and hosts too.
async function end_group(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const exited = new Promise((resolve) => child.once('exit', resolve));
  const signal = (s) => { try { process.kill(-child.pid, s); } catch { /* gone already */ } };
  signal('SIGTERM');
  if (await Promise.race([exited.then(() => true), sleep(5000).then(() => false)])) return;
  signal('SIGKILL');
  await exited;
}

// What an interrupted run must end and remove.
let running = null;
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.on(signal, async () => {
    if (running?.child) await end_group(running.child);
    if (running) rmSync(running.t, { recursive: true, force: true, maxRetries: 5 });
    process.exit(1);
  });
}

/**
 * Runs one browser ('chromium' or 'firefox') with an extension until it reports {done: true} or
 * the deadline passes. files: the extension's files by name, background.js among them; hosts:
 * the native hosts it may start, by name; env: the environment of the browser and its hosts;
 * key: a Chromium public key (DER) for a fixed ID; user_data_dir: a Chromium profile folder to run
 * on instead of a fresh one (its NativeMessagingHosts folder gets the manifests). extension_dir:
 * a built, unpacked extension to load in place of files (null: no extension at all). page:
 * async (results_file) => the URL the browser opens (default about:blank), for a page that
 * reports by appending lines to results_file itself. on_line(line) gets every other line the
 * extension reports, in order, and may return a failure. Resolves with the failures (those and
 * the run's own: a browser that did not start, hosts started with unexpected arguments, no end
 * in time) and whether the extension reported its end.
 */
export async function run_extension(name, {
  files, hosts, env = {}, key = null, user_data_dir = null, extension_dir = undefined, page = null, deadline_ms, on_line,
}) {
  const t = mkdtempSync(path.join(tmpdir(), `npc-${name}-`));
  running = { t, child: null };
  const failures = [];
  const started = Date.now();
  let child = null;
  let done = false;
  try {
    mkdirSync(path.join(t, 'home'));
    mkdirSync(path.join(t, 'tmp'));
    const results = path.join(t, 'results.jsonl');
    const url = page ? await page(results) : 'about:blank';
    const setup = name === 'chromium' ? prepare_chromium(t, { files, hosts, key, user_data_dir, extension_dir, url })
      : prepare_firefox(t, { files, hosts, extension_dir, url });
    const log = openSync(path.join(t, 'browser.log'), 'w');
    // The hosts inherit this environment.
    const full_env = {
      ...process.env, ...env, HOME: path.join(t, 'home'), TMPDIR: path.join(t, 'tmp'), MOZ_CRASHREPORTER_DISABLE: '1',
    };
    child = spawn(setup.binary, setup.args, { env: full_env, cwd: full_env.HOME, detached: true, stdio: ['ignore', log, log] });
    running.child = child;
    const spawn_error = new Promise((resolve) => child.once('error', resolve));

    let shown = 0;
    while (!done && Date.now() - started < deadline_ms) {
      const error = await Promise.race([spawn_error, sleep(250)]);
      if (error) throw new Error(`cannot start ${setup.binary}: ${error.message}`);
      const lines = read_lines(results);
      for (const line of lines.slice(shown)) {
        if (line.reporter) {
          console.log(`  ${name} started its hosts with ${JSON.stringify(line.reporter.args)} in ${line.reporter.cwd}`);
          if (!setup.host_args(line.reporter.args)) failures.push(`unexpected host arguments ${JSON.stringify(line.reporter.args)}`);
        } else if (line.done) {
          done = true;
        } else {
          const failure = on_line(line);
          if (failure) failures.push(failure);
        }
      }
      shown = lines.length;
      if (child.exitCode !== null && !done) throw new Error(`${name} exited early with status ${child.exitCode}`);
    }
    if (!done) failures.push(`no end of the run within ${deadline_ms / 1000} s`);
  } catch (error) {
    failures.push(error.message);
  } finally {
    if (child) await end_group(child);
    if (failures.length > 0 && existsSync(path.join(t, 'browser.log'))) {
      const tail = readFileSync(path.join(t, 'browser.log'), 'utf8').split('\n').slice(-30).join('\n');
      console.log(`  ${name}'s last output:\n${tail}`);
    }
    rmSync(t, { recursive: true, force: true, maxRetries: 5 });
    running = null;
  }
  return { failures, done };
}
