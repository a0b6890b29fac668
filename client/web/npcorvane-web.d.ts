// Types of the npcorvane page library (npcorvane-web.js).

/** How long a call waits, at most, for the extension to say it is there (ms). */
export const EXTENSION_WAIT: number;
/** The default per-call timeout (ms). */
export const DEFAULT_TIMEOUT: number;

/** The stable codes of this library; the signing library's own codes come through as they are. */
export type NpcErrorCode =
  | 'extension_unavailable' | 'host_unavailable' | 'host_error' | 'origin_not_allowed' | 'timeout'
  | 'bad_request' | 'unknown_operation' | 'cancelled' | 'no_token' | 'no_pin_entry' | 'pin_locked'
  | 'pin_incorrect' | 'certificate_not_found' | 'key_not_found' | 'not_for_signing'
  | 'unsupported_algorithm' | 'data_too_large' | 'token_error' | 'internal_error'
  | (string & {});

export class NpcError extends Error {
  constructor(code: string, message: string);
  readonly name: 'NpcError';
  /** Stable, for programs; the message is for people. */
  readonly code: NpcErrorCode;
}

export interface CallOptions {
  /** Milliseconds to wait for the answer; 0 waits without limit. Default DEFAULT_TIMEOUT. */
  timeout?: number;
}

export interface Status {
  /** The extension's version. */
  extension: string;
  /** The name of the native host the extension reached. */
  host: string;
  /** The signing library's version. */
  library: string;
  /** The operations the signing library offers. */
  operations: string[];
}

export interface Certificate {
  /** SHA-256 of the DER, lowercase hex: what sign() takes. */
  id: string;
  label: string;
  subject: string;
  common_name: string;
  issuer: string;
  serial: string;
  not_before: string;
  not_after: string;
  key_type: string;
  key_size: number;
  curve?: string;
  token: { label: string; manufacturer: string; model: string; serial: string };
  /** The certificate, DER. */
  certificate: Uint8Array;
  [field: string]: unknown;
}

export type Bytes = Uint8Array | ArrayBuffer | ArrayBufferView;

export interface SignRequest {
  /** The id of a certificate from getCertificates(). */
  certificate: string;
  /** The bytes to sign (the library hashes them); or give digest. */
  data?: Bytes;
  /** A digest made already, as long as hash says; or give data. */
  digest?: Bytes;
  /** 'SHA-256' (default), 'SHA-384' or 'SHA-512'. */
  hash?: string;
  /** RSA keys only: 'pkcs1' (default) or 'pss'. */
  padding?: string;
}

export interface Signature {
  /** PKCS#1 block for RSA, DER SEQUENCE { r, s } for ECDSA. */
  signature: Uint8Array;
  /** The signer's certificate, DER. */
  certificate: Uint8Array;
  /** For instance 'RSA-PKCS1-SHA256', 'RSA-PSS-SHA384', 'ECDSA-SHA256'. */
  algorithm: string;
}

export interface AuthenticateRequest {
  /** The challenge the server issued: 32 to 1,024 bytes. */
  challenge: Bytes;
  /** A certificate's id; without it the user picks one for logging in. */
  certificate?: string;
}

/** What the server checks (verify.js's verifyAuthentication): send it as JSON. */
export interface LoginToken {
  format: 'npcorvane-authenticate-v1';
  origin: string;
  certificate_id: string;
  /** DER, base64. */
  certificate: string;
  algorithm: string;
  /** base64. */
  signature: string;
}

export class NpcClient {
  constructor(options?: { window?: Window; timeout?: number });
  status(options?: CallOptions): Promise<Status>;
  getCertificates(options?: CallOptions): Promise<Certificate[]>;
  sign(request: SignRequest, options?: CallOptions): Promise<Signature>;
  authenticate(request: AuthenticateRequest, options?: CallOptions): Promise<LoginToken>;
  selectCertificate(request?: { purpose?: 'sign' | 'authenticate' }, options?: CallOptions): Promise<Certificate>;
}

export function status(options?: CallOptions): Promise<Status>;
export function getCertificates(options?: CallOptions): Promise<Certificate[]>;
export function sign(request: SignRequest, options?: CallOptions): Promise<Signature>;
export function authenticate(request: AuthenticateRequest, options?: CallOptions): Promise<LoginToken>;
export function selectCertificate(request?: { purpose?: 'sign' | 'authenticate' }, options?: CallOptions): Promise<Certificate>;
