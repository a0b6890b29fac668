// A stand-in for the runtime.Port a browser gives an extension: starts a native host and frames
// messages as the browsers do (JSON text after a 4-byte little-endian length), with their limits.

import { spawn } from 'node:child_process';

const HOST_MESSAGE_LIMIT = 1_048_576;        // longest message a host may send
const EXTENSION_MESSAGE_LIMIT = 64 << 20;       // longest serialised message an extension may send

class PortEvent {
  #listeners = [];
  addListener(listener) { this.#listeners.push(listener); }
  removeListener(listener) { this.#listeners = this.#listeners.filter((l) => l !== listener); }
  hasListener(listener) { return this.#listeners.includes(listener); }
  dispatch(...args) { for (const l of [...this.#listeners]) l(...args); }
}

/**
 * Starts command as a native host and returns a port to it.
 * style 'firefox' reports a disconnect in port.error and ends the port on a frame that is not
 * JSON; style 'chromium' reports it in chrome.runtime.lastError while the listeners run and
 * drops such a frame.
 * The port also records every message both ways in `log` ({dir: 'out'|'in', value}) and exposes
 * the host process as `child` and its end as `exited` ({code, signal}).
 */
export function openNativePort(command, args = [], { cwd, env, style = 'firefox' } = {}) {
  const child = spawn(command, args, { cwd, env, stdio: ['pipe', 'pipe', 'inherit'] });
  const port = {
    name: command,
    error: null,
    log: [],
    child,
    onMessage: new PortEvent(),
    onDisconnect: new PortEvent(),
    exited: new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal }))),
    postMessage,
    disconnect,
  };
  let connected = true;
  let pending = Buffer.alloc(0);

  // A host that has exited makes writes fail; the browser learns of it from the exit.
  child.stdin.on('error', () => {});

  function postMessage(value) {
    if (!connected) throw new Error('Attempting to use a disconnected port object');
    const body = Buffer.from(JSON.stringify(value), 'utf8');
    if (body.length > EXTENSION_MESSAGE_LIMIT) {
      throw new Error('Message exceeded maximum allowed size of 64MiB.');
    }
    const head = Buffer.alloc(4);
    head.writeUInt32LE(body.length);
    port.log.push({ dir: 'out', value });
    child.stdin.write(Buffer.concat([head, body]));
  }

  function disconnect() {
    if (!connected) return;
    connected = false;
    child.stdin.end();
    // As Chromium does with a host that lingers after its input closed.
    setTimeout(() => child.kill('SIGKILL'), 2000).unref();
  }

  function lost(reason) {
    if (!connected) return;
    connected = false;
    child.stdin.end();
    child.kill('SIGKILL');
    if (style === 'chromium') {
      const saved = globalThis.chrome;
      globalThis.chrome = { runtime: { lastError: { message: reason } } };
      try {
        port.onDisconnect.dispatch(port);
      } finally {
        globalThis.chrome = saved;
      }
    } else {
      port.error = new Error(reason);
      port.onDisconnect.dispatch(port);
    }
  }

  child.stdout.on('data', (data) => {
    pending = Buffer.concat([pending, data]);
    while (connected && pending.length >= 4) {
      const length = pending.readUInt32LE(0);
      if (length > HOST_MESSAGE_LIMIT) {
        lost(style === 'chromium' ? 'Error when communicating with the native messaging host.'
          : `Native application tried to send a message of ${length} bytes, which exceeds the limit of ${HOST_MESSAGE_LIMIT} bytes.`);
        return;
      }
      if (pending.length < 4 + length) return;
      const body = pending.subarray(4, 4 + length).toString('utf8');
      pending = pending.subarray(4 + length);
      let value;
      try {
        value = JSON.parse(body);
      } catch {
        if (style === 'chromium') continue;
        lost('Error when communicating with the native messaging host.');
        return;
      }
      port.log.push({ dir: 'in', value });
      port.onMessage.dispatch(value, port);
    }
  });

  // 'close' comes after the host's output is drained, so every frame it wrote is delivered first.
  child.on('close', () => lost('Native host has exited.'));
  return port;
}
