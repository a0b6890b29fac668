// The page path in real browsers: a page served from 127.0.0.1 uses the page library, the built
// reference extension and the built host with the bundled library on a throw-away SoftHSM2 token,
// the dialogs answered by the scripted pinentry. Also a browser without the extension, and one
// whose host manifest is missing.
// Usage: node tests/browsers/web.mjs [--build DIR] [chromium] [firefox]

import { execFileSync } from 'node:child_process';
import { appendFileSync, existsSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { run_extension } from './harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const DEADLINE_MS = Number(process.env.NPC_BROWSER_DEADLINE_MS ?? 120_000);

let build = path.join(root, 'build');
const browsers = [];
for (let i = 2; i < process.argv.length; i++) {
  if (process.argv[i] === '--build') build = path.resolve(process.argv[++i]);
  else browsers.push(process.argv[i]);
}
if (browsers.length === 0) browsers.push('chromium', 'firefox');

const host = path.join(build, 'bin', 'npcorvane-host');
const extensions = path.join(build, 'extension');
for (const needed of [host, path.join(extensions, 'chromium', 'manifest.json'), path.join(extensions, 'firefox', 'manifest.json')]) {
  if (!existsSync(needed)) {
    console.error(`missing ${needed}: build the project first`);
    process.exit(2);
  }
}
const HOST_NAME = /HOST_NAME = '([^']+)'/.exec(readFileSync(path.join(extensions, 'chromium', 'config.js'), 'utf8'))[1];
const VERSION = JSON.parse(readFileSync(path.join(extensions, 'chromium', 'manifest.json'), 'utf8')).version;

const scratch = mkdtempSync(path.join(tmpdir(), 'npc-web-'));
process.on('exit', () => rmSync(scratch, { recursive: true, force: true }));
const token = path.join(scratch, 'token');
execFileSync(path.join(root, 'scripts', 'softhsm-token'), [token], { stdio: 'inherit' });
const softhsm = execFileSync('find', ['/usr/lib', '-name', 'libsofthsm2.so', '-path', '*softhsm*', '-print', '-quit'], { encoding: 'utf8' }).trim();

// The page's files, and a report endpoint that appends to the harness's results file.
let results = null;
const files = {
  '/page.js': path.join(here, 'page', 'page.js'),
  '/npcorvane-web.js': path.join(root, 'client', 'web', 'npcorvane-web.js'),
  '/guide-click.js': path.join(here, 'page', 'guide-click.js'),
};
const guide_page = /```html\n([\s\S]*?)```/.exec(readFileSync(path.join(root, 'docs', 'web.md'), 'utf8'))[1];
const GUIDE_CONTRACT = /new TextEncoder\(\)\.encode\('([^']*)'\)/.exec(guide_page)[1];
let guide_signature = null;
const server = createServer((request, response) => {
  const url = new URL(request.url, 'http://127.0.0.1');
  if (request.method === 'POST' && url.pathname === '/report') {
    const body = [];
    request.on('data', (data) => body.push(data));
    request.on('end', () => {
      appendFileSync(results, `${JSON.stringify(JSON.parse(Buffer.concat(body).toString('utf8')))}\n`);
      response.end();
    });
  } else if (request.method === 'POST' && url.pathname === '/signatures') {
    // Where the guide's page sends what it signed.
    const body = [];
    request.on('data', (data) => body.push(data));
    request.on('end', () => {
      guide_signature = JSON.parse(Buffer.concat(body).toString('utf8'));
      response.end();
    });
  } else if (url.pathname === '/guide') {
    // The page of docs/web.md as a site's developer copies it, with a click on its button.
    response.setHeader('content-type', 'text/html');
    response.end(`${guide_page}<script type="module" src="/guide-click.js"></script>`);
  } else if (url.pathname === '/') {
    response.setHeader('content-type', 'text/html');
    response.end('<!doctype html><title>npcorvane test page</title><script type="module" src="/page.js"></script>');
  } else if (files[url.pathname]) {
    response.setHeader('content-type', 'text/javascript');
    response.end(readFileSync(files[url.pathname]));
  } else {
    response.statusCode = 404;
    response.end();
  }
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const ORIGIN = `http://127.0.0.1:${server.address().port}`;

// The same 10 MiB as the page's.
function document10MiB() {
  const bytes = Buffer.alloc(10 * 1024 * 1024);
  let x = 1;
  for (let i = 0; i < bytes.length; i++) {
    x = (Math.imul(x, 1103515245) + 12345) >>> 0;
    bytes[i] = x >>> 24;
  }
  return bytes;
}

function openssl_verifies(line, document, certificate = 'rsa') {
  const dir = mkdtempSync(path.join(scratch, 'verify-'));
  const file = (name, data) => { writeFileSync(path.join(dir, name), data); return path.join(dir, name); };
  const der = Buffer.from(line.certificate, 'base64');
  if (certificate && !der.equals(readFileSync(path.join(token, `${certificate}.crt.der`)))) return 'the certificate returned is not the token\'s';
  file('signer.pub', execFileSync('openssl', ['x509', '-inform', 'DER', '-in', file('signer.der', der), '-noout', '-pubkey']));
  try {
    execFileSync('openssl', ['dgst', '-sha256', '-verify', path.join(dir, 'signer.pub'), '-signature',
      file('signature.bin', Buffer.from(line.signature, 'base64')), file('document', document)], { stdio: 'pipe' });
  } catch (error) {
    return `OpenSSL does not verify the signature: ${error.stdout}${error.stderr}`;
  }
  return /^(RSA-PKCS1|ECDSA)-SHA256$/.test(line.algorithm) ? null : `algorithm ${line.algorithm}`;
}

// The descriptions the dialogs showed, in order.
const descriptions = (log) => (existsSync(log) ? readFileSync(log, 'utf8') : '').split('\n')
  .filter((line) => line.startsWith('SETDESC')).map((line) => decodeURIComponent(line.slice(8)));

function check(line, log) {
  const shown = descriptions(log);
  const consents = shown.filter((text) => text.includes('asks to read the certificates'));
  switch (line.case) {
    case 'status':
      return line.status.extension === VERSION && line.status.host === HOST_NAME && line.status.library
        ? null : `status ${JSON.stringify(line.status)}`;
    case 'forged origin':
      // A consent and a signature, both shown as the page's real origin.
      if (shown.length < 2 || shown.some((text) => text.includes('bank.example')) || !shown.every((text) => text.includes(ORIGIN))) {
        return `the dialogs showed ${JSON.stringify(shown)}`;
      }
      return null;
    case 'getCertificates':
      // The consent given to the forged request was the real origin's: no second one.
      if (consents.length !== 1) return `${consents.length} consent dialogs`;
      // Every certificate the token was given, each once.
      return JSON.stringify(line.labels) === JSON.stringify(readdirSync(token).filter((f) => f.endsWith('.crt.der'))
        .map((f) => f.slice(0, -'.crt.der'.length)).sort()) ? null : `labels ${line.labels}`;
    case 'sign 10 MiB':
      return line.algorithm === 'RSA-PKCS1-SHA256' ? openssl_verifies(line, document10MiB()) : `algorithm ${line.algorithm}`;
    case 'the guide\'s page':
      if (!guide_signature) return 'the page sent no signature';
      return openssl_verifies(guide_signature, Buffer.from(GUIDE_CONTRACT), null);
    default:
      return null;
  }
}

async function run_page(name, mode, { extension = true, hosts = { [HOST_NAME]: host } } = {}) {
  const log = path.join(scratch, `pinentry-${name}-${mode}.log`);
  const plan = [];
  const ran = new Set();
  const started = Date.now();
  const { failures, done } = await run_extension(name, {
    extension_dir: extension ? path.join(extensions, name) : null,
    hosts,
    env: {
      SOFTHSM2_CONF: path.join(token, 'softhsm2.conf'), NPC_PKCS11_MODULES: softhsm,
      NPC_PINENTRY: path.join(root, 'tests', 'signer', 'scripted_pinentry'),
      NPC_TEST_PINENTRY_PIN: '1234', NPC_TEST_PINENTRY_LOG: log,
      // The extension asks for dialogs in the browser's language: English, for the checks' words.
      LANGUAGE: 'en', LC_ALL: 'C.UTF-8',
    },
    page: async (file) => {
      results = file;
      return `${ORIGIN}/?mode=${mode}`;
    },
    deadline_ms: DEADLINE_MS,
    on_line(line) {
      if (line.plan) {
        plan.push(...line.plan);
        return null;
      }
      ran.add(line.case);
      const failure = line.ok ? check(line, log) : line.error;
      console.log(`  ${failure ? 'FAIL' : 'ok  '} ${name} ${mode}: ${line.case} (${line.ms} ms)${failure ? `: ${failure}` : ''}`);
      return failure ? line.case : null;
    },
  });
  if (done && plan.length === 0) failures.push('no cases planned');
  for (const c of plan) if (!ran.has(c)) failures.push(`${c}: no result`);
  const seconds = ((Date.now() - started) / 1000).toFixed(1);
  console.log(`${name} ${mode}: ${failures.length === 0 ? 'passed' : `FAILED (${failures.join('; ')})`} in ${seconds} s`);
  return failures.length === 0;
}

let all_passed = true;
for (const name of browsers) {
  if (name !== 'chromium' && name !== 'firefox') {
    console.error(`unknown browser ${name}`);
    process.exit(2);
  }
  all_passed = (await run_page(name, 'full')) && all_passed;
  all_passed = (await run_page(name, 'no-extension', { extension: false })) && all_passed;
  all_passed = (await run_page(name, 'no-host', { hosts: {} })) && all_passed;
}
server.close();
process.exit(all_passed ? 0 : 1);
