// A reading with the same fields and meanings as the service's /v1/weight JSON.
export interface Reading {
  /** The port the reading is from; null for a decoder fed by the caller. */
  port: string | null;
  ok: boolean;
  /** The weight in the scale's unit with the scale's own decimals; null without a reading. */
  value: number | null;
  /** The weight as text ("1.234", or with the decimal separator asked for); "0" without one. */
  text: string;
  /** The scale's motion flag, or the time rule where the protocol has none; null when unknown. */
  stable: boolean | null;
  /** RFC 3339 UTC with milliseconds. */
  at: string;
  protocol?: string;
  unit?: string | null;
  net?: boolean | null;
  tare?: number | null;
  /** Without a reading: no-reading, port-unavailable, setup-failed, read-failed, overload, under-zero, scale-busy. */
  error?: string;
  message?: string | null;
}

/** The error ids a command or a wait rejects with, as the service names them. */
export type ErrorCode =
  | 'not-supported'
  | 'command-refused'
  | 'no-answer'
  | 'too-many-commands'
  | 'timeout'
  | (string & {});

/** An Error whose `code` is the service's error id. */
export class ScaleError extends Error {
  readonly code: ErrorCode;
  constructor(code: ErrorCode, message?: string) {
    super(message ?? code);
    this.name = 'ScaleError';
    this.code = code;
  }
}
