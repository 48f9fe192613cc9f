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
  qel_decoder_expect(decoder: number, command: number): void;
  qel_decoder_answer(decoder: number): number;
  qel_port_create(name: number, options: number, searchMs: number): number;
  qel_port_error(): number;
  qel_port_profile(port: number): number;
  qel_port_next_line(port: number): number;
  qel_port_open_failed(port: number, refused: number, message: number): void;
  qel_port_opened(port: number): number;
  qel_port_heard(port: number, data: number, size: number): number;
  qel_port_output(port: number): number;
  qel_port_line_over(port: number): number;
  qel_port_read_failed(port: number, message: number): void;
  qel_port_search_result(port: number): number;
  qel_port_free(port: number): void;
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

  /** From now on frames that answer `command` are taken as its answer, not as readings. */
  expect(command: 'zero' | 'tare' | null): void {
    this.#wasm.qel_decoder_expect(this.#live(), command === null ? -1 : command === 'zero' ? 0 : 1);
  }

  /** How the scale answered the command given to expect(); null while it has not. */
  answer(): Reply {
    return kReplies[this.#wasm.qel_decoder_answer(this.#live())] ?? null;
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

/** A serial line as the core names it. */
export interface Line {
  baud: number;
  dataBits: number;
  parity: 'N' | 'E' | 'O';
  stopBits: number;
  /** "9600 7E1" */
  text: string;
}

/** How a port is spoken to once its protocol is known, from the core's port options. */
export interface Profile {
  protocol: string;
  line: Line;
  request: number[];
  pollMs: number;
  commandMs: number;
  stableMs: number;
  zero: number[];
  tare: number[];
}

/**
 * A serial port's options ("protocol=auto&baud=4800") read by the core, and for
 * protocol=auto the core's search, driven one step at a time by the transport.
 */
export class PortPlan {
  readonly #wasm: Exports;
  #handle: number;

  private constructor(wasm: Exports, handle: number) {
    this.#wasm = wasm;
    this.#handle = handle;
  }

  /** Rejects with code "not-supported" and the core's reason when the options do not parse. */
  static async create(name: string, options: string, searchMs: number): Promise<PortPlan> {
    const wasm = await load();
    const namePointer = copyIn(wasm, encoder.encode(name), true);
    const optionsPointer = copyIn(wasm, encoder.encode(options), true);
    try {
      const handle = wasm.qel_port_create(namePointer, optionsPointer, searchMs);
      if (handle === 0) throw new ScaleError('not-supported', readText(wasm, wasm.qel_port_error()));
      return new PortPlan(wasm, handle);
    } finally {
      wasm.qel_release(namePointer);
      wasm.qel_release(optionsPointer);
    }
  }

  /** The profile once the protocol is known; null while the search goes on. */
  profile(): Profile | null {
    return JSON.parse(readText(this.#wasm, this.#wasm.qel_port_profile(this.#live()))) as Profile | null;
  }

  /** The line to open next; null once the search is over. */
  nextLine(): Line | null {
    const text = readText(this.#wasm, this.#wasm.qel_port_next_line(this.#live()));
    return text === '' ? null : (JSON.parse(text) as Line);
  }

  /** The port did not open at that line; `refused` when only the line was refused. */
  openFailed(refused: boolean, message: string): void {
    this.#withText(message, (pointer) => this.#wasm.qel_port_open_failed(this.#live(), refused ? 1 : 0, pointer));
  }

  /** The port is open at the line: the bytes to write now. */
  opened(): Uint8Array {
    return this.#output(this.#wasm.qel_port_opened(this.#live()));
  }

  /** What was read (possibly nothing): the bytes to write now. */
  heard(bytes: Uint8Array): Uint8Array {
    const pointer = copyIn(this.#wasm, bytes);
    try {
      return this.#output(this.#wasm.qel_port_heard(this.#live(), pointer, bytes.length));
    } finally {
      this.#wasm.qel_release(pointer);
    }
  }

  lineOver(): boolean {
    return this.#wasm.qel_port_line_over(this.#live()) !== 0;
  }

  readFailed(message: string): void {
    this.#withText(message, (pointer) => this.#wasm.qel_port_read_failed(this.#live(), pointer));
  }

  /** Why the search found nothing; null fields after success. */
  searchResult(): { error: string | null; message: string | null } {
    return JSON.parse(readText(this.#wasm, this.#wasm.qel_port_search_result(this.#live())));
  }

  free(): void {
    if (this.#handle !== 0) this.#wasm.qel_port_free(this.#handle);
    this.#handle = 0;
  }

  #output(size: number): Uint8Array {
    const pointer = this.#wasm.qel_port_output(this.#handle);
    return new Uint8Array(this.#wasm.memory.buffer, pointer, size).slice();
  }

  #withText(text: string, use: (pointer: number) => void): void {
    const pointer = copyIn(this.#wasm, encoder.encode(text), true);
    try {
      use(pointer);
    } finally {
      this.#wasm.qel_release(pointer);
    }
  }

  #live(): number {
    if (this.#handle === 0) throw new Error('qelscale: port plan used after free()');
    return this.#handle;
  }
}
