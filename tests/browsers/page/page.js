// A site's page for the browser tests: runs the cases its URL names through the page library and
// the reference extension, and posts each result to the test's server, which checks what only it
// can (signatures with OpenSSL, what the dialogs showed).
import { getCertificates, NpcError, sign, status } from './npcorvane-web.js';

const params = new URLSearchParams(location.search);
const mode = params.get('mode');
const attempt = Number(params.get('attempt') ?? 0);

const report = (line) => fetch('/report', { method: 'POST', body: JSON.stringify(line) });
const codeOf = (error) => (error instanceof NpcError ? error.code : `not an NpcError: ${error}`);

// The same 10 MiB the server makes to check the signature.
function document10MiB() {
  const bytes = new Uint8Array(10 * 1024 * 1024);
  let x = 1;
  for (let i = 0; i < bytes.length; i++) {
    x = (Math.imul(x, 1103515245) + 12345) >>> 0;
    bytes[i] = x >>> 24;
  }
  return bytes;
}

const b64 = (bytes) => {
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(binary);
};

// A request written by hand, as a hostile page would, with an origin of its own choosing.
function forged(operation, extra) {
  const id = `forged-${operation}`;
  return new Promise((resolve) => {
    addEventListener('message', function answer({ data, source }) {
      if (source !== window || data?.channel !== 'npcorvane' || data.kind !== 'reply' || data.id !== id) return;
      removeEventListener('message', answer);
      resolve(data);
    });
    postMessage({
      channel: 'npcorvane', kind: 'request', id, operation, origin: 'https://bank.example',
      params: { origin: 'https://bank.example', ...extra },
    }, '*');
  });
}

async function run(name, body) {
  const started = performance.now();
  try {
    const extra = await body();
    await report({ case: name, ok: true, ms: Math.round(performance.now() - started), ...extra });
  } catch (error) {
    await report({ case: name, ok: false, ms: Math.round(performance.now() - started), error: `${codeOf(error)}: ${error.message}` });
  }
}

const expect = (condition, what) => { if (!condition) throw new Error(what); };

const plans = {
  async full() {
    // The browser may load the extension after this page: then the page is loaded again.
    try {
      await status();
    } catch (error) {
      if (codeOf(error) === 'extension_unavailable' && attempt < 20) {
        location.search = `?mode=full&attempt=${attempt + 1}`;
        return false;
      }
    }
    await report({ plan: ['status', 'forged origin', 'getCertificates', 'sign 10 MiB', 'sign over 16 MiB', 'the guide\'s page'] });
    await run('status', async () => {
      const got = await status();
      expect(Array.isArray(got.operations) && got.operations.includes('sign'), `operations ${got.operations}`);
      return { status: got };
    });
    // Before anything else of this origin, so that the first consent is asked here.
    await run('forged origin', async () => {
      const listed = await forged('getCertificates', {});
      expect(listed.ok, `certificates: ${JSON.stringify(listed.error)}`);
      const rsa = listed.result.find((c) => c.label === 'rsa');
      const signed = await forged('sign', { certificate: rsa.id, digest: b64(new Uint8Array(32).fill(7)) });
      expect(signed.ok, `sign: ${JSON.stringify(signed.error)}`);
    });
    let rsa = null;
    await run('getCertificates', async () => {
      const list = await getCertificates();
      rsa = list.find((c) => c.label === 'rsa');
      expect(rsa && rsa.certificate instanceof Uint8Array && rsa.certificate[0] === 0x30, 'no RSA certificate as DER');
      return { labels: list.map((c) => c.label).sort() };
    });
    await run('sign 10 MiB', async () => {
      const got = await sign({ certificate: rsa.id, data: document10MiB(), hash: 'SHA-256' });
      expect(got.signature instanceof Uint8Array && got.certificate instanceof Uint8Array, 'not bytes');
      return { algorithm: got.algorithm, signature: b64(got.signature), certificate: b64(got.certificate) };
    });
    // Refused before the host, which then still serves the next request.
    await run('sign over 16 MiB', async () => {
      const code = await sign({ certificate: rsa.id, data: new Uint8Array(16 * 1024 * 1024 + 3) }).then(() => 'signed', codeOf);
      expect(code === 'data_too_large', code);
      expect((await status()).library, 'no status after the refusal');
    });
    // Last, the page of the guide for sites, which ends the run.
    location.href = '/guide';
    return false;
  },
  async 'no-extension'() {
    await report({ plan: ['extension_unavailable'] });
    await run('extension_unavailable', async () => {
      const started = performance.now();
      const code = await status().then(() => 'resolved', codeOf);
      const ms = performance.now() - started;
      expect(code === 'extension_unavailable' && ms < 2000, `${code} after ${Math.round(ms)} ms`);
    });
    return true;
  },
  async 'no-host'() {
    await report({ plan: ['host_unavailable'] });
    await run('host_unavailable', async () => {
      let code = 'extension_unavailable';
      // As in full, the extension may come after the page.
      for (let i = 0; i < 20 && code === 'extension_unavailable'; i++) code = await status().then(() => 'resolved', codeOf);
      expect(code === 'host_unavailable', code);
    });
    return true;
  },
};

if (await plans[mode]()) await report({ done: true });
