// The reference extension's background: takes the requests its content script relays from pages,
// stamps each with the origin the browser recorded for its sender, and passes it to the native
// host, one host process per origin so that one site's open dialog never holds up another's.

import { connect, NativeHostError } from './npcorvane.js';
import { HOST_NAME } from './config.js';
import { originAllowed, senderOrigin } from './origin.js';

const api = globalThis.browser ?? globalThis.chrome;
const VERSION = api.runtime.getManifest().version;
// A host with nothing to do for this long is ended; the next request starts another (and the
// user is asked again before a site reads the certificates).
const IDLE_MS = 5 * 60_000;

class RequestError extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

// What a page may send for each operation: only these string fields reach the host, and the
// origin is always the sender's. The dialogs speak the browser's UI language.
function stringField(params, name) {
  const value = params[name];
  if (value === undefined) return undefined;
  if (typeof value !== 'string') throw new RequestError('bad_request', `"${name}" must be a string`);
  return value;
}

function uiLanguage() {
  return api.i18n?.getUILanguage?.() ?? '';
}

const OPERATIONS = {
  status: {
    request: () => ({ operation: 'version' }),
    result: (reply) => ({ extension: VERSION, host: HOST_NAME, library: reply.version, operations: reply.operations }),
  },
  getCertificates: {
    request: (params, origin) => ({ operation: 'certificates', origin, lang: uiLanguage() }),
    result: (reply) => reply.certificates,
  },
  sign: {
    request(params, origin) {
      const request = { operation: 'sign' };
      for (const name of ['certificate', 'data', 'digest', 'hash', 'padding']) {
        const value = stringField(params, name);
        if (value !== undefined) request[name] = value;
      }
      request.origin = origin;
      request.lang = uiLanguage();
      return request;
    },
    result: (reply) => ({ signature: reply.signature, certificate: reply.certificate, algorithm: reply.algorithm }),
  },
  // The login token goes to the page as the host made it, for the page to hand to its server.
  authenticate: {
    request(params, origin) {
      const request = { operation: 'authenticate', origin, lang: uiLanguage() };
      for (const name of ['challenge', 'certificate']) {
        const value = stringField(params, name);
        if (value !== undefined) request[name] = value;
      }
      return request;
    },
    result: (reply) => ({
      format: reply.format, origin: reply.origin, certificate_id: reply.certificate_id,
      certificate: reply.certificate, algorithm: reply.algorithm, signature: reply.signature,
    }),
  },
  selectCertificate: {
    request: (params, origin) => ({
      operation: 'select_certificate', origin, purpose: stringField(params, 'purpose'), lang: uiLanguage(),
    }),
    result: (reply) => reply.certificates?.[0],
  },
};

// The administrator's lists. Without a policy Firefox rejects the read: then nothing is restricted.
async function readPolicy() {
  try {
    const policy = await api.storage.managed.get(['allowed_origins', 'blocked_origins']);
    return { allowedOrigins: policy.allowed_origins, blockedOrigins: policy.blocked_origins };
  } catch {
    return {};
  }
}

// One connection per origin; its requests queue in the module, in the order they came.
const connections = new Map();

async function ask(key, request) {
  let entry = connections.get(key);
  if (!entry || entry.client.closed) {
    entry = { client: connect(HOST_NAME), pending: 0, answered: false, timer: null };
    connections.set(key, entry);
  }
  clearTimeout(entry.timer);
  entry.pending++;
  try {
    const reply = await entry.client.request(JSON.stringify(request));
    entry.answered = true;
    return reply;
  } catch (error) {
    // A port that went away before the host ever answered: the browser could not start it (no
    // manifest for this browser, this extension not allowed, or it exited at once).
    if (error instanceof NativeHostError && !entry.answered && entry.client.closed) {
      throw new RequestError('host_unavailable', error.message);
    }
    throw new RequestError('host_error', error.message);
  } finally {
    if (--entry.pending === 0) {
      entry.timer = setTimeout(() => {
        if (connections.get(key) === entry) connections.delete(key);
        entry.client.close();
      }, IDLE_MS);
    }
  }
}

async function run(operation, params, origin) {
  const handler = Object.hasOwn(OPERATIONS, operation) ? OPERATIONS[operation] : null;
  if (!handler) throw new RequestError('unknown_operation', 'the extension knows no such operation');
  if (params === null || typeof params !== 'object') params = {};
  const reply = await ask(origin, handler.request(params, origin));
  if (reply === null || typeof reply !== 'object') throw new RequestError('host_error', 'the library sent no object');
  if (reply.status !== 'ok') {
    throw new RequestError(typeof reply.error === 'string' ? reply.error : 'host_error',
                           typeof reply.message === 'string' ? reply.message : 'the library failed');
  }
  return handler.result(reply);
}

async function handle(message, sender) {
  if (message === null || typeof message !== 'object') throw new RequestError('bad_request', 'not a request');
  // The popup, one of the extension's own pages (a content script's sender is the page it runs
  // in, never one of these), asks only whether the host is there.
  if (sender.id === api.runtime.id && sender.url?.startsWith(api.runtime.getURL(''))) {
    if (message.operation !== 'status') throw new RequestError('bad_request', 'the popup asks only for the status');
    return run('status', {}, '');
  }
  const origin = senderOrigin(sender, api.runtime.id);
  if (!originAllowed(origin, await readPolicy())) {
    throw new RequestError('origin_not_allowed', `${origin ?? 'this page'} may not ask for signatures`);
  }
  return run(message.operation, message.params, origin);
}

const answer = (promise) => promise.then(
  (result) => ({ ok: true, result }),
  (error) => ({ ok: false, error: { code: error.code ?? 'internal_error', message: String(error.message) } }));

// The popup's question.
api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  answer(handle(message, sender)).then(sendResponse);
  return true;
});

// A page's request comes over a port of its own: the long texts of data and digest in pieces,
// then the request with the last piece of each in place. Chromium carries each message as JSON
// in one go; pieces let the content script, the browser and this worker overlap.
const PIECED_FIELDS = ['data', 'digest'];
// The base64 length of the most the library takes (16 MiB): a page cannot make this worker hold more.
const MAX_PIECED = Math.ceil((16 * 1024 * 1024) / 3) * 4;

api.runtime.onConnect.addListener((port) => {
  if (port.name !== 'npcorvane-request') return;
  const pieces = {};
  let size = 0;
  let over = false;
  const reply = (value) => {
    over = true;
    try {
      port.postMessage(value);
    } catch {
      // the page went away while it waited
    }
  };
  port.onMessage.addListener((message) => {
    if (over || message === null || typeof message !== 'object') return;
    if (message.piece !== undefined) {
      if (!PIECED_FIELDS.includes(message.field) || typeof message.piece !== 'string') {
        reply({ ok: false, error: { code: 'bad_request', message: 'a piece of an unknown field' } });
      } else if ((size += message.piece.length) > MAX_PIECED) {
        reply({ ok: false, error: { code: 'data_too_large', message: 'the request holds more than 16 MiB' } });
      } else {
        (pieces[message.field] ??= []).push(message.piece);
      }
      return;
    }
    const params = message.params !== null && typeof message.params === 'object' ? { ...message.params } : {};
    for (const [field, list] of Object.entries(pieces)) {
      if (typeof params[field] !== 'string') {
        reply({ ok: false, error: { code: 'bad_request', message: `"${field}" has pieces but no end` } });
        return;
      }
      list.push(params[field]);
      params[field] = list.join('');
    }
    over = true;
    answer(handle({ operation: message.operation, params }, port.sender)).then(reply);
  });
});
