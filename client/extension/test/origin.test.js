// Who may ask: the sender's origin as the browser records it, the administrator's lists, and the
// extension's fixed Chromium ID against its public key.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { originAllowed, senderOrigin } from '../origin.js';

const ID = 'self';

test('the origin comes from the browser\'s record of the sender, never from elsewhere', () => {
  const cases = [
    [{ id: ID, origin: 'https://a.example', url: 'https://b.example/page' }, 'https://a.example'],
    [{ id: ID, url: 'https://b.example:8443/page?x#y' }, 'https://b.example:8443'],
    [{ id: ID, origin: 'null', url: 'https://b.example/' }, 'https://b.example'],
    [{ id: ID, url: 'data:text/html,hi' }, null],
    [{ id: ID, url: 'not a url' }, null],
    [{ id: ID }, null],
    [{ id: 'another extension', origin: 'https://a.example' }, null],
    [null, null],
  ];
  for (const [sender, want] of cases) assert.equal(senderOrigin(sender, ID), want, JSON.stringify(sender));
});

test('schemes, the allowed list and the blocked list', () => {
  const allowed = { allowedOrigins: ['https://sign.example', 'https://*.corp.example'] };
  const blocked = { blockedOrigins: ['https://evil.example', 'https://*.bad.example'] };
  const cases = [
    ['https://any.example', {}, true],
    ['http://localhost:8080', {}, true],
    ['http://127.0.0.1', {}, true],
    ['http://public.example', {}, false],
    ['file://', {}, false],
    ['chrome-extension://abc', {}, false],
    ['https://any.example/path', {}, false],
    [null, {}, false],
    ['https://sign.example', allowed, true],
    ['https://corp.example', allowed, true],
    ['https://a.b.corp.example', allowed, true],
    ['https://notcorp.example', allowed, false],
    ['https://corp.example.attacker.example', allowed, false],
    ['http://corp.example', allowed, false],
    ['https://other.example', allowed, false],
    ['https://evil.example', blocked, false],
    ['https://x.bad.example', blocked, false],
    ['https://fine.example', blocked, true],
    ['https://sign.example', { ...allowed, blockedOrigins: ['https://sign.example'] }, false],
    ['https://any.example', { allowedOrigins: 'https://other.example', blockedOrigins: 7 }, true],
  ];
  for (const [origin, policy, want] of cases) {
    assert.equal(originAllowed(origin, policy), want, `${origin} under ${JSON.stringify(policy)}`);
  }
});

test('the Chromium ID allowed by default is the one the public key gives', () => {
  const root = new URL('../../../', import.meta.url);
  const der = Buffer.from(readFileSync(new URL('client/extension/key.pub', root), 'utf8').trim(), 'base64');
  const id = [...createHash('sha256').update(der).digest('hex').slice(0, 32)]
    .map((d) => String.fromCharCode(97 + parseInt(d, 16))).join('');
  const cmake = readFileSync(new URL('packaging/CMakeLists.txt', root), 'utf8');
  assert.equal(/set\(NPC_REFERENCE_CHROMIUM_ID "([a-p]{32})"\)/.exec(cmake)?.[1], id);
});
