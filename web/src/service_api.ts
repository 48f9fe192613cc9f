// The weight service's plain HTTP requests: its ports, one reading on request, and zero and
// tare on any of its ports (the on-demand ones included, which have no stream to connect to).
import type { Reading } from './reading.js';
import { ScaleError } from './reading.js';

export interface ServiceOptions {
  /** The service's address, e.g. "http://localhost:8778" (default: the page's own origin). */
  url?: string;
  /** The service's token, when it was started with a token file. */
  token?: string;
}

export interface PortOptions extends ServiceOptions {
  /** The port as the service names it. */
  port: string;
}

/** One port of the service, as `/v1/ports` lists it. */
export interface PortInfo {
  port: string;
  /** "stream": read all the time, for connect(); "on-demand": read when asked, for read(). */
  mode: 'stream' | 'on-demand';
  /** "starting", "idle", "ok" or the last reading's error. */
  state: string;
  /** The last reading; null before the first. */
  last: Reading | null;
  /** A port named with options: the protocol read (null while it is being detected)... */
  protocol?: string | null;
  /** ...whether it is detected ("protocol=auto")... */
  detect?: boolean;
  /** ...the line, e.g. "9600 7E1" (null while being detected)... */
  line?: string | null;
  /** ...and the commands its protocol has. */
  commands?: Array<'zero' | 'tare'>;
}

/** The answer of `/v1/ports`. */
export interface PortList {
  ports: PortInfo[];
  /** The machine's serial ports, with a description where the system has one. */
  available: Array<{ name: string; description?: string }>;
}

/** The service's address: the given one, else the page's own origin. */
export function serviceUrl(url?: string): URL {
  return new URL(url ?? globalThis.location?.origin ?? 'http://localhost:8778');
}

// A JSON type only where a body goes: on a GET it would cost another origin a preflight.
export function serviceHeaders(token: string | undefined, json: boolean): Record<string, string> {
  const headers: Record<string, string> = json ? { 'Content-Type': 'application/json' } : {};
  if (token) headers.Authorization = `Bearer ${token}`;
  return headers;
}

// One request: no service is "no-answer", a refusal rejects with the service's error id, or
// with `fallback` where its answer names none.
async function request(base: URL, path: string, init: RequestInit, what: string, fallback: string): Promise<unknown> {
  let response: Response;
  try {
    response = await fetch(new URL(path, base), init);
  } catch {
    throw new ScaleError('no-answer', `qelscale: no service at ${base.origin}`);
  }
  const body = (await response.json().catch(() => ({}))) as { error?: string };
  if (!response.ok) throw new ScaleError(body.error ?? fallback, `qelscale: ${what}: ${body.error ?? response.status}`);
  return body;
}

/** The service's ports and the machine's serial ports; rejects with the service's error id (`token-required`, ...) or `no-answer`. */
export async function listPorts(options: ServiceOptions = {}): Promise<PortList> {
  const base = serviceUrl(options.url);
  const init = { headers: serviceHeaders(options.token, false) };
  const list = (await request(base, '/v1/ports', init, 'ports', 'no-answer')) as Partial<PortList>;
  return { ports: list.ports ?? [], available: list.available ?? [] };
}

/** One reading of a port now (an on-demand port is read for it); a scale's fault is a reading with `ok: false`, a refusal rejects. */
export async function read(options: PortOptions): Promise<Reading> {
  const base = serviceUrl(options.url);
  const init = { headers: serviceHeaders(options.token, false) };
  const path = `/v1/weight?port=${encodeURIComponent(options.port)}`;
  return (await request(base, path, init, 'read', 'no-answer')) as Reading;
}

/** Zero or tare on any port of the service; rejects with the service's error id as `code`. */
export async function command(options: PortOptions, which: 'zero' | 'tare'): Promise<void> {
  const base = serviceUrl(options.url);
  const init = { method: 'POST', headers: serviceHeaders(options.token, true) };
  await request(base, `/v1/${which}?port=${encodeURIComponent(options.port)}`, init, which, 'no-answer');
}
