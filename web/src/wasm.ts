// The core's decoders compiled to WebAssembly, loaded once and shared by every decoder.
import type { Reading } from './reading.js';
import { ScaleError } from './reading.js';

interface Exports {
  memory: WebAssembly.Memory;
  _initialize(): void;
  qel_alloc(size: number): number;
  qel_release(pointer: number): void;
  qel_protocols(): number;
  qel_decoder_create(id: number, stableMs: number, separator: number, leadingZero: number): number;
  qel_decoder_push(decoder: number, data: number, size: number): number;
  qel_decoder_reply(decoder: number, command: number, data: number, size: number): number;
  qel_decoder_free(decoder: number): void;
  qel_hid_decode(data: number, size: number, separator: number, leadingZero: number): number;
}

/** Where the wasm comes from: a URL, its bytes, or a function giving either. */
export type WasmSource = string | URL | BufferSource | (() => Promise<BufferSource | Response>);

let source: WasmSource | undefined;
let loading: Promise<Exports> | undefined;

/** Sets where qelscale.wasm is read from; only before the first decoder is made. */
export function setWasmSource(where: WasmSource): void {
  if (!loading) source = where;
}

async function fetchBytes(where: WasmSource): Promise<BufferSource> {
  if (typeof where === 'function') {
    const got = await where();
    return got instanceof Response ? await got.arrayBuffer() : got;
  }
  if (typeof where !== 'string' && !(where instanceof URL)) return where;
  const url = new URL(String(where), globalThis.location?.href);
  if (url.protocol === 'file:') {
    const fs = await import(/* webpackIgnore: true */ /* @vite-ignore */ 'node:fs/promises' as string);
    return (await fs.readFile(url)) as BufferSource;
  }
  const response = await fetch(url);
  if (!response.ok) throw new ScaleError('no-answer', `qelscale.wasm: HTTP ${response.status} from ${url}`);
  return await response.arrayBuffer();
}

async function instantiate(): Promise<Exports> {
  if (source === undefined) throw new ScaleError('no-answer', 'qelscale.wasm: no location set');
  let memory: WebAssembly.Memory | undefined;
  const imports = {
    env: { emscripten_notify_memory_growth: () => {} },
    wasi_snapshot_preview1: {
      // Realtime (0) from the wall clock, every other clock from the monotonic one.
      clock_time_get: (id: number, _precision: bigint, out: number) => {
        const ms = id === 0 ? Date.now() : performance.now();
        new DataView(memory!.buffer).setBigUint64(out, BigInt(Math.round(ms * 1e6)), true);
        return 0;
      },
      proc_exit: (code: number) => {
        throw new Error(`qelscale.wasm stopped (${code})`);
      },
    },
  };
  const { instance } = await WebAssembly.instantiate(await fetchBytes(source), imports);
  const exports = instance.exports as unknown as Exports;
  memory = exports.memory;
  exports._initialize();
  return exports;
}

function load(): Promise<Exports> {
  loading ??= instantiate().catch((error) => {
    loading = undefined;
    throw error;
  });
  return loading;
}

const encoder = new TextEncoder();
const textDecoder = new TextDecoder();

function readText(wasm: Exports, pointer: number): string {
  const bytes = new Uint8Array(wasm.memory.buffer);
  let end = pointer;
  while (bytes[end] !== 0) ++end;
  return textDecoder.decode(bytes.subarray(pointer, end));
}

// Copies `bytes` (NUL-terminated when asked) into the wasm heap; the caller releases it.
function copyIn(wasm: Exports, bytes: Uint8Array, terminate = false): number {
  const pointer = wasm.qel_alloc(bytes.length + (terminate ? 1 : 0));
  const heap = new Uint8Array(wasm.memory.buffer);
  heap.set(bytes, pointer);
  if (terminate) heap[pointer + bytes.length] = 0;
  return pointer;
}

export interface DecoderOptions {
  /** The port named in the readings (default null). */
  port?: string | null;
  /** For protocols without a motion flag: stable once the value held this long (default 500). */
  stableMs?: number;
  /** The decimal separator of `text` (default "."). */
  decimalSeparator?: string;
  /** "0.5" rather than ".5" in `text` (default true). */
  leadingZero?: boolean;
}

/** How a frame answers a zero or tare. */
export type Reply = 'acknowledged' | 'refused' | 'busy' | null;

const kReplies: Reply[] = [null, 'acknowledged', 'refused', 'busy'];

/** One protocol's decoder: the bytes pushed in become the readings they complete. */
export class Decoder {
  readonly protocol: string;
  readonly #wasm: Exports;
  readonly #port: string | null;
  #handle: number;

  constructor(wasm: Exports, handle: number, protocol: string, port: string | null) {
    this.#wasm = wasm;
    this.#handle = handle;
    this.protocol = protocol;
    this.#port = port;
  }

  /** The readings that `bytes` complete (bytes of a frame still open wait for the next push). */
  push(bytes: Uint8Array): Reading[] {
    const handle = this.#live();
    const pointer = copyIn(this.#wasm, bytes);
    try {
      const json = readText(this.#wasm, this.#wasm.qel_decoder_push(handle, pointer, bytes.length));
      const at = new Date().toISOString();
      return (JSON.parse(json) as Omit<Reading, 'port' | 'at'>[]).map((decoded) => {
        const { ok, value, text, stable, ...rest } = decoded;
        return { port: this.#port, ok, value, text, stable, at, ...rest };
      });
    } finally {
      this.#wasm.qel_release(pointer);
    }
  }

  /** How a whole frame answers `command`; null when it is no answer to it. */
  reply(command: 'zero' | 'tare', frame: Uint8Array): Reply {
    const handle = this.#live();
    const pointer = copyIn(this.#wasm, frame);
    try {
      return kReplies[this.#wasm.qel_decoder_reply(handle, command === 'zero' ? 0 : 1, pointer, frame.length)] ?? null;
    } finally {
      this.#wasm.qel_release(pointer);
    }
  }

  /** Gives the decoder's memory back; it cannot be used after. */
  free(): void {
    if (this.#handle !== 0) this.#wasm.qel_decoder_free(this.#handle);
    this.#handle = 0;
  }

  #live(): number {
    if (this.#handle === 0) throw new Error('qelscale: decoder used after free()');
    return this.#handle;
  }
}

/** The protocol ids the decoders read, the driver's own ("qel") first. */
export async function protocols(): Promise<string[]> {
  const wasm = await load();
  return readText(wasm, wasm.qel_protocols()).split(',');
}

/** A decoder for protocol `id`; rejects with code "not-supported" for an unknown id. */
export async function decoder(id: string, options: DecoderOptions = {}): Promise<Decoder> {
  const wasm = await load();
  const idPointer = copyIn(wasm, encoder.encode(id), true);
  const separatorPointer = copyIn(wasm, encoder.encode(options.decimalSeparator ?? '.'), true);
  try {
    const stableMs = Math.max(0, Math.min(options.stableMs ?? 500, 60000));
    const handle = wasm.qel_decoder_create(idPointer, stableMs, separatorPointer, options.leadingZero === false ? 0 : 1);
    if (handle === 0) throw new ScaleError('not-supported', `qelscale: no protocol "${id}"`);
    return new Decoder(wasm, handle, id, options.port ?? null);
  } finally {
    wasm.qel_release(idPointer);
    wasm.qel_release(separatorPointer);
  }
}

/** The reading one USB scale report gives (its data, without the report id). */
export async function hidReading(data: Uint8Array, options: DecoderOptions = {}): Promise<Reading> {
  const wasm = await load();
  const dataPointer = copyIn(wasm, data);
  const separatorPointer = copyIn(wasm, encoder.encode(options.decimalSeparator ?? '.'), true);
  try {
    const json = readText(wasm, wasm.qel_hid_decode(dataPointer, data.length, separatorPointer, options.leadingZero === false ? 0 : 1));
    const { ok, value, text, stable, ...rest } = JSON.parse(json) as Omit<Reading, 'port' | 'at'>;
    return { port: options.port ?? null, ok, value, text, stable, at: new Date().toISOString(), ...rest };
  } finally {
    wasm.qel_release(dataPointer);
    wasm.qel_release(separatorPointer);
  }
}
