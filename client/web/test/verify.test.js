// verifyAuthentication over tokens made here with keys and certificates from the openssl
// command line: one that passes, and one failing each check.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createHash, randomBytes, sign } from 'node:crypto';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { verifyAuthentication, authenticationBytes } from '../verify.js';

let dir;
const pem = (name) => readFileSync(join(dir, name), 'utf8');
const openssl = (...args) => execFileSync('openssl', args, { cwd: dir, stdio: ['ignore', 'ignore', 'pipe'] });

// A key, and a certificate for it issued by `ca` (self-signed when none) with the extensions given.
function issue(name, keyArgs, { ca, extensions }) {
  openssl('genpkey', ...keyArgs, '-out', `${name}.key`);
  openssl('req', '-new', '-key', `${name}.key`, '-subj', `/CN=${name}/O=verify tests`, '-out', `${name}.csr`);
  writeFileSync(join(dir, `${name}.ext`), extensions.join('\n'));
  const signer = ca ? ['-CA', `${ca}.pem`, '-CAkey', `${ca}.key`] : ['-key', `${name}.key`];
  openssl('x509', '-req', '-in', `${name}.csr`, ...signer, '-days', '30', '-sha256',
    '-extfile', `${name}.ext`, '-out', `${name}.pem`);
}

before(() => {
  dir = mkdtempSync(join(tmpdir(), 'npc-verify-'));
  const ec = (curve) => ['-algorithm', 'EC', '-pkeyopt', `ec_paramgen_curve:${curve}`];
  const authority = ['basicConstraints=critical,CA:TRUE', 'keyUsage=critical,keyCertSign'];
  const login = ['basicConstraints=CA:FALSE', 'keyUsage=critical,digitalSignature', 'extendedKeyUsage=clientAuth'];
  issue('ca', ec('P-256'), { extensions: authority });
  issue('other-ca', ec('P-256'), { extensions: authority });
  issue('login-ec', ec('P-384'), { ca: 'ca', extensions: login });
  issue('login-rsa', ['-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048'], { ca: 'ca', extensions: login });
  issue('signing', ec('P-256'), { ca: 'ca', extensions: ['keyUsage=critical,nonRepudiation'] });
});

after(() => rmSync(dir, { recursive: true, force: true }));

const ORIGIN = 'https://bank.example';

// The reply `authenticate` gives, made with the key of `name` over `origin` and `challenge`.
function token(name, algorithm, hash, origin, challenge) {
  const der = Buffer.from(pem(`${name}.pem`).replace(/-----[^-]+-----|\s/g, ''), 'base64');
  return {
    status: 'ok',
    operation: 'authenticate',
    format: 'npcorvane-authenticate-v1',
    origin,
    certificate_id: createHash('sha256').update(der).digest('hex'),
    certificate: der.toString('base64'),
    algorithm,
    signature: sign(hash, authenticationBytes(origin, challenge), pem(`${name}.key`)).toString('base64'),
  };
}

test('a login token passes every check, and fails the one it breaks', () => {
  const challenge = randomBytes(32);
  const good = token('login-ec', 'ECDSA-SHA384', 'sha384', ORIGIN, challenge);
  const expected = () => ({ origin: ORIGIN, challenge, trustedCertificates: [pem('ca.pem')] });
  const flipped = Buffer.from(good.signature, 'base64');
  flipped[flipped.length - 3] ^= 1;
  const later = new Date(Date.now() + 40 * 24 * 3600 * 1000);

  const cases = [
    { name: 'good, EC P-384', token: good },
    { name: 'good, RSA, as JSON text, DER anchor',
      token: JSON.stringify(token('login-rsa', 'RSA-PKCS1-SHA256', 'sha256', ORIGIN, challenge)),
      expected: { trustedCertificates: [Buffer.from(pem('ca.pem').replace(/-----[^-]+-----|\s/g, ''), 'base64')] } },
    { name: 'another format', token: { ...good, format: 'npcorvane-authenticate-v0' }, code: 'bad_format' },
    { name: 'certificate_id of another certificate', token: { ...good, certificate_id: '00'.repeat(32) }, code: 'bad_format' },
    { name: 'another origin', token: good, expected: { origin: 'https://bank.example.evil' }, code: 'wrong_origin' },
    { name: 'a token made for another origin',
      token: { ...token('login-ec', 'ECDSA-SHA384', 'sha384', 'https://evil.example', challenge), origin: ORIGIN },
      code: 'bad_signature' },
    { name: 'another challenge', token: good, expected: { challenge: randomBytes(32) }, code: 'bad_signature' },
    { name: 'a changed signature', token: { ...good, signature: flipped.toString('base64') }, code: 'bad_signature' },
    { name: 'a weaker algorithm claimed', token: { ...good, algorithm: 'ECDSA-SHA256' }, code: 'bad_signature' },
    { name: 'an expired certificate', token: good, expected: { now: later }, code: 'certificate_expired' },
    { name: 'a certificate not for logins', token: token('signing', 'ECDSA-SHA256', 'sha256', ORIGIN, challenge),
      code: 'not_for_login' },
    { name: 'an untrusted chain', token: good, expected: { trustedCertificates: [pem('other-ca.pem')] },
      code: 'untrusted_certificate' },
  ];
  for (const c of cases) {
    const run = () => verifyAuthentication(c.token, { ...expected(), ...c.expected });
    if (c.code) {
      assert.throws(run, (error) => error.code === c.code, `${c.name}: expected ${c.code}`);
    } else {
      const result = run();
      assert.match(result.subject, /^CN=login-(ec|rsa)\nO=verify tests$/, c.name);
      assert.match(result.serial, /^[0-9a-f]+$/, c.name);
    }
  }
});

test('arguments that are not what the function takes are a TypeError, not a verdict', () => {
  const good = token('login-ec', 'ECDSA-SHA384', 'sha384', ORIGIN, randomBytes(32));
  for (const expected of [
    { origin: ORIGIN, challenge: randomBytes(31), trustedCertificates: [pem('ca.pem')] },
    { origin: ORIGIN, challenge: 'not bytes'.repeat(5), trustedCertificates: [pem('ca.pem')] },
    { origin: ORIGIN, challenge: randomBytes(32), trustedCertificates: [] },
  ]) {
    assert.throws(() => verifyAuthentication(good, expected), TypeError);
  }
});
