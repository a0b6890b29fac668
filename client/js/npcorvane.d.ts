// Types of the extension-side module (npcorvane.js).

/** Most bytes one piece of a split request or one chunk of a split reply carries. */
export const CHUNK_SIZE: number;
/** The longest message, in bytes, the host sends whole; longer replies come in chunks. */
export const DIRECT_REPLY_LIMIT: number;
/** The default for maxReplyBytes. */
export const MAX_REPLY_BYTES: number;
/** The default for chunkTimeout, in milliseconds. */
export const CHUNK_TIMEOUT: number;
/** The default for timeout, in milliseconds (ten minutes). */
export const REQUEST_TIMEOUT: number;

/** Every failure of a request or of the connection; message carries what the browser said. */
export class NativeHostError extends Error {
  constructor(message: string, options?: { cause?: unknown });
  readonly name: 'NativeHostError';
}

export interface ClientOptions {
  /** Longest wait for the library's answer, ms (default REQUEST_TIMEOUT); 0 waits without limit. */
  timeout?: number;
  /** Longest wait for a piece's acknowledgement or the next chunk, ms (default CHUNK_TIMEOUT). */
  chunkTimeout?: number;
  /** Longest split reply accepted, in bytes (default MAX_REPLY_BYTES). */
  maxReplyBytes?: number;
}

/** The part of a runtime.Port the module uses. */
export interface Port {
  postMessage(message: unknown): void;
  disconnect(): void;
  onMessage: { addListener(listener: (message: unknown) => void): void };
  onDisconnect: { addListener(listener: (port: any) => void): void };
}

export class NativeHostClient {
  constructor(port: Port, options?: ClientOptions);
  /** Sends a request text to the library; resolves with its reply parsed as JSON. */
  request(text: string): Promise<any>;
  /** Ends the host after the requests already made; never rejects. */
  close(): Promise<void>;
  /** True once the port has gone away or close() has finished. */
  readonly closed: boolean;
}

export function createClient(port: Port, options?: ClientOptions): NativeHostClient;
export function connect(name: string, options?: ClientOptions & { runtime?: object }): NativeHostClient;
