// The page side of the page-path benchmark: signs 16 MiB through the page library, the reference
// extension and the host, a warm-up and then config.reps timed runs, each result posted to the
// benchmark's server at once.
import { getCertificates, sign, status } from './npcorvane-web.js';

const params = new URLSearchParams(location.search);
const reps = Number(params.get('reps'));
const attempt = Number(params.get('attempt') ?? 0);
const report = (line) => fetch('/report', { method: 'POST', body: JSON.stringify(line) });

// The same bytes the module's side signs.
function document16MiB() {
  const bytes = new Uint8Array(16 * 1024 * 1024);
  let x = 1;
  for (let i = 0; i < bytes.length; i++) {
    x = (Math.imul(x, 1103515245) + 12345) >>> 0;
    bytes[i] = x >>> 24;
  }
  return bytes;
}

async function main() {
  try {
    await status();
  } catch (error) {
    // The browser may have loaded the extension after this page.
    if (error.code === 'extension_unavailable' && attempt < 20) {
      location.search = `?reps=${reps}&attempt=${attempt + 1}`;
      return;
    }
    throw error;
  }
  const certificate = (await getCertificates()).find((c) => c.label === 'rsa');
  const data = document16MiB();
  await sign({ certificate: certificate.id, data });
  await report({ setup: { agent: navigator.userAgent } });
  for (let i = 0; i < reps; i++) {
    const started = performance.now();
    const signed = await sign({ certificate: certificate.id, data });
    const ms = performance.now() - started;
    if (signed.signature.length !== 256) throw new Error(`a signature of ${signed.signature.length} bytes`);
    await report({ side: 'page', ms });
  }
  await report({ done: true });
}

main().catch((error) => report({ error: `${error.code ?? ''} ${error.message}` }).then(() => report({ done: true })));
