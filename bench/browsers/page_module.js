// The module's side of the page-path benchmark: the same 16 MiB sign as the page's, made by an
// extension's background through the module alone, a warm-up and then config.reps timed runs, each
// beside the floor: the same request's messages moved to a host that only answers.
import { connect } from './npcorvane.js';
import config from './config.js';
import { openFloor, requestMessages } from './floor.js';

const runtime = globalThis.browser?.runtime ?? globalThis.chrome.runtime;
const reporter = runtime.connectNative('npc_test_report');
const report = (line) => reporter.postMessage(line);

function document16MiB() {
  const bytes = new Uint8Array(16 * 1024 * 1024);
  let x = 1;
  for (let i = 0; i < bytes.length; i++) {
    x = (Math.imul(x, 1103515245) + 12345) >>> 0;
    bytes[i] = x >>> 24;
  }
  return bytes;
}

function base64(bytes) {
  if (typeof bytes.toBase64 === 'function') return bytes.toBase64();
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  return btoa(binary);
}

async function main() {
  const host = connect(config.host);
  const origin = 'https://bench.example';
  const listed = await host.request(JSON.stringify({ operation: 'certificates', origin }));
  const certificate = listed.certificates.find((c) => c.label === 'rsa').id;
  const data = document16MiB();
  // From the bytes to the signature, as the page's sign() is timed.
  const signOnce = async () => {
    const reply = await host.request(JSON.stringify({ operation: 'sign', certificate, data: base64(data), origin }));
    if (reply.status !== 'ok') throw new Error(`${reply.error}: ${reply.message}`);
  };
  await signOnce();
  const floor = openFloor(runtime.connectNative('npc_bench_floor'));
  // The floor's messages are made before its clock starts; the module makes them from the bytes.
  const floorRequest = () => requestMessages(JSON.stringify({ operation: 'sign', certificate, data: base64(data), origin }));
  await floor.request(floorRequest());
  report({ setup: { agent: navigator.userAgent } });
  for (let i = 0; i < config.reps; i++) {
    const started = performance.now();
    await signOnce();
    report({ side: 'module', ms: performance.now() - started });
    const messages = floorRequest();
    const floorStarted = performance.now();
    await floor.request(messages);
    report({ side: 'floor', ms: performance.now() - floorStarted });
  }
  await host.close();
}

main().catch((error) => report({ error: error.message })).finally(() => report({ done: true }));
