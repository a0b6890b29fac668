// The server's side of a login: checks a token that the host's `authenticate` made for the
// challenge this server issued, with nothing beyond node:crypto.

import { createHash, verify as verifySignature, X509Certificate } from 'node:crypto';

/** The token format this module reads, and the text that starts the signed bytes. */
export const AUTHENTICATION_FORMAT = 'npcorvane-authenticate-v1';

const CLIENT_AUTH = '1.3.6.1.5.5.7.3.2';
const MIN_CHALLENGE = 32;
const MAX_CHALLENGE = 1024;

// The algorithm a key must sign logins with; nothing else is accepted, so a token cannot talk
// the server into a weaker hash or another padding.
const CURVE_ALGORITHMS = {
  prime256v1: ['ECDSA-SHA256', 'sha256'],
  secp384r1: ['ECDSA-SHA384', 'sha384'],
  secp521r1: ['ECDSA-SHA512', 'sha512'],
};

/** A failed check; `code` names which, and never changes meaning. */
export class AuthenticationError extends Error {
  /**
   * @param {string} code
   * @param {string} message
   */
  constructor(code, message) {
    super(message);
    this.name = 'AuthenticationError';
    this.code = code;
  }
}

const fail = (code, message) => {
  throw new AuthenticationError(code, message);
};

const sha256 = (bytes) => createHash('sha256').update(bytes).digest();

/**
 * The bytes a login signs: the format's name, one zero byte, the SHA-256 of the origin's UTF-8
 * text and the SHA-256 of the challenge (90 bytes).
 * @param {string} origin
 * @param {Uint8Array} challenge
 * @returns {Buffer}
 */
export function authenticationBytes(origin, challenge) {
  return Buffer.concat([Buffer.from(AUTHENTICATION_FORMAT, 'ascii'), Buffer.from([0]),
    sha256(Buffer.from(origin, 'utf8')), sha256(challenge)]);
}

// Base64 as the host writes it (the standard alphabet, padded); anything else is no token of its.
function strictBase64(text, field) {
  if (typeof text !== 'string' || text.length === 0 || text.length % 4 !== 0 ||
      !/^[A-Za-z0-9+/]*={0,2}$/.test(text)) {
    fail('bad_format', `the token's "${field}" is not base64`);
  }
  return Buffer.from(text, 'base64');
}

function parseToken(token) {
  let value = token;
  if (typeof token === 'string') {
    try {
      value = JSON.parse(token);
    } catch {
      fail('bad_format', 'the token is not JSON');
    }
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    fail('bad_format', 'the token is not an object');
  }
  if (value.format !== AUTHENTICATION_FORMAT) {
    fail('bad_format', `the token's format is not ${AUTHENTICATION_FORMAT}`);
  }
  for (const field of ['origin', 'algorithm', 'certificate', 'signature']) {
    if (typeof value[field] !== 'string') fail('bad_format', `the token has no "${field}"`);
  }
  const der = strictBase64(value.certificate, 'certificate');
  let certificate;
  try {
    certificate = new X509Certificate(der);
  } catch {
    fail('bad_format', "the token's certificate is not an X.509 certificate");
  }
  if (value.certificate_id !== undefined && value.certificate_id !== sha256(der).toString('hex')) {
    fail('bad_format', "the token's certificate_id is not its certificate's");
  }
  return { value, certificate, signature: strictBase64(value.signature, 'signature') };
}

// [algorithm name, hash] for the certificate's key.
function loginAlgorithm(certificate) {
  const key = certificate.publicKey;
  if (key.asymmetricKeyType === 'rsa') return ['RSA-PKCS1-SHA256', 'sha256'];
  if (key.asymmetricKeyType === 'ec') {
    const algorithm = CURVE_ALGORITHMS[key.asymmetricKeyDetails?.namedCurve];
    if (algorithm) return algorithm;
  }
  return fail('bad_signature', "the certificate's key is of a type logins do not use");
}

function checkValidity(certificate, now, whose) {
  if (now.getTime() < Date.parse(certificate.validFrom)) {
    fail('certificate_not_yet_valid', `${whose} is not valid before ${certificate.validFrom}`);
  }
  if (now.getTime() > Date.parse(certificate.validTo)) {
    fail('certificate_expired', `${whose} expired on ${certificate.validTo}`);
  }
}

// Trusted certificates as X509Certificate objects; a PEM text may hold several.
function trustAnchors(trusted) {
  if (!Array.isArray(trusted) || trusted.length === 0) {
    throw new TypeError('trustedCertificates must be a non-empty array of PEM texts or DER bytes');
  }
  const anchors = [];
  for (const entry of trusted) {
    if (typeof entry === 'string') {
      const blocks = entry.match(/-----BEGIN CERTIFICATE-----[^-]+-----END CERTIFICATE-----/g);
      if (!blocks) throw new TypeError('a trusted certificate text holds no PEM certificate');
      for (const block of blocks) anchors.push(new X509Certificate(block));
    } else if (entry instanceof Uint8Array) {
      anchors.push(new X509Certificate(entry));
    } else {
      throw new TypeError('a trusted certificate is neither a PEM text nor DER bytes');
    }
  }
  return anchors;
}

function checkChain(certificate, anchors, now) {
  for (const anchor of anchors) {
    if (anchor.raw.equals(certificate.raw)) return;
    // Only an authority issues: a leaf that names itself its issuer proves nothing.
    if (!anchor.ca || !certificate.checkIssued(anchor) || !certificate.verify(anchor.publicKey)) continue;
    try {
      checkValidity(anchor, now, 'the issuing authority');
    } catch {
      continue;
    }
    return;
  }
  fail('untrusted_certificate', 'the certificate was not issued by any trusted authority');
}

/**
 * Checks a login token for the challenge this server issued, in this order: its format, its
 * origin, its signature, the certificate's validity at `now`, its clientAuth usage and its
 * issuer. Throws an AuthenticationError whose code is bad_format, wrong_origin, bad_signature,
 * certificate_expired, certificate_not_yet_valid, not_for_login or untrusted_certificate; a
 * TypeError for arguments that are not what this function takes.
 * @param {object|string} token the `authenticate` reply, or its JSON text
 * @param {{origin: string, challenge: Uint8Array, trustedCertificates: Array<string|Uint8Array>,
 *   now?: Date}} expected
 * @returns {{subject: string, serial: string, certificate: X509Certificate}}
 */
export function verifyAuthentication(token, { origin, challenge, trustedCertificates, now = new Date() } = {}) {
  if (typeof origin !== 'string' || origin === '') throw new TypeError('origin must be a text');
  if (!(challenge instanceof Uint8Array) || challenge.length < MIN_CHALLENGE || challenge.length > MAX_CHALLENGE) {
    throw new TypeError(`challenge must be ${MIN_CHALLENGE} to ${MAX_CHALLENGE} bytes`);
  }
  if (!(now instanceof Date) || Number.isNaN(now.getTime())) throw new TypeError('now must be a Date');
  const anchors = trustAnchors(trustedCertificates);

  const { value, certificate, signature } = parseToken(token);
  if (value.origin !== origin) fail('wrong_origin', 'the token was made for another origin');
  const [algorithm, hash] = loginAlgorithm(certificate);
  if (value.algorithm !== algorithm) fail('bad_signature', `a login with this key is signed with ${algorithm}`);
  if (!verifySignature(hash, authenticationBytes(origin, challenge), certificate.publicKey, signature)) {
    fail('bad_signature', 'the signature does not verify for this origin and challenge');
  }
  checkValidity(certificate, now, 'the certificate');
  if (!(certificate.keyUsage ?? []).includes(CLIENT_AUTH)) {
    fail('not_for_login', "the certificate's extended key usage does not list clientAuth");
  }
  checkChain(certificate, anchors, now);
  return {
    subject: certificate.subject,
    serial: certificate.serialNumber.toLowerCase(),
    certificate,
  };
}
