// The WebSerial transport: a SerialPort from navigator.serial read through the core's
// decoders. The port's options, its profile and the protocol=auto search are the core's (in
// the wasm); here are only what a browser's port needs: reads that give up after a tick,
// the poll and one command at a time, as the service's stream engine does them.
import type { Reading } from './reading.js';
import { ScaleError } from './reading.js';
import { Scale } from './scale.js';
import { decoder as makeDecoder, PortPlan } from './wasm.js';
import type { Decoder, Line, Profile } from './wasm.js';

export interface SerialOptions {
  /** A protocol id from QelScale.protocols(), or 'auto' (the default) to search for it. */
  protocol?: string;
  /** The speed; a named protocol has its own by default, and 'auto' searches only this one. */
  baud?: number;
  /** Data bits, parity and stop bits ("7E1"); as `baud`. */
  framing?: string;
  /** The `port` of the readings (default "serial"). */
  name?: string;
  /** 'auto': how long the search may take (default 8000 ms). */
  searchMs?: number;
  /** Polled protocols: the interval between requests (default: the protocol's). */
  pollMs?: number;
  /** Protocols without a motion flag: stable once the value held this long (default 500). */
  stableMs?: number;
  /** How long zero or tare wait for the scale's answer (default: the protocol's). */
  commandMs?: number;
  decimalSeparator?: string;
  leadingZero?: boolean;
}

/** The parts of a WebSerial SerialPort used here. */
export interface SerialPortLike {
  readonly readable: ReadableStream<Uint8Array> | null;
  readonly writable: WritableStream<Uint8Array> | null;
  open(options: {
    baudRate: number;
    dataBits?: number;
    stopBits?: number;
    parity?: 'none' | 'even' | 'odd';
    flowControl?: 'none' | 'hardware';
  }): Promise<void>;
  close(): Promise<void>;
}

const kTickMs = 50;
const kNoFrameAfterMs = 1000;
const kRedetectAfterMs = 3000;  // protocol=auto: this long without a frame, search again
const kSearchBackoffMaxMs = 2000;
const kMostCommands = 4;
const kParity = { N: 'none', E: 'even', O: 'odd' } as const;
const kNothing = new Uint8Array(0);
const kIdle = Symbol('idle');

// The one place this transport's own failures are worded.
function failureText(name: string, what: 'open' | 'read', error: unknown): string {
  const why = error instanceof Error ? error.message : String(error);
  if (what === 'open') return `${name}: the port did not open (${why})`;
  return `${name}: reading the port failed (${why})`;
}

// The port opened at one line: reads that give up after a while, writes, and letting go.
class OpenLine {
  readonly #port: SerialPortLike;
  #reader?: ReadableStreamDefaultReader<Uint8Array>;
  #stream?: ReadableStream<Uint8Array>;
  #pending?: Promise<ReadableStreamReadResult<Uint8Array>>;

  private constructor(port: SerialPortLike) {
    this.#port = port;
  }

  static async open(port: SerialPortLike, line: Line): Promise<OpenLine> {
    await port.open({
      baudRate: line.baud,
      dataBits: line.dataBits,
      stopBits: line.stopBits,
      parity: kParity[line.parity],
      flowControl: 'none',
    });
    return new OpenLine(port);
  }

  // What arrived within `ms`, empty when nothing did. A parity, framing or overrun error only
  // replaces the port's readable and reading goes on; a lost device throws.
  async read(ms: number): Promise<Uint8Array> {
    if (!this.#reader) {
      const readable = this.#port.readable;
      if (!readable || readable === this.#stream) throw new Error('the device has been lost');
      this.#stream = readable;
      this.#reader = readable.getReader();
    }
    if (!this.#pending) {
      this.#pending = this.#reader.read();
      this.#pending.catch(() => {});  // seen in the race below, or dropped on close
    }
    let timer: ReturnType<typeof setTimeout> | undefined;
    const idle = new Promise<typeof kIdle>((resolve) => (timer = setTimeout(() => resolve(kIdle), ms)));
    try {
      const got = await Promise.race([this.#pending, idle]);
      if (got === kIdle) return kNothing;
      this.#pending = undefined;
      if (got.done) throw new Error('the device closed its stream');
      return got.value ?? kNothing;
    } catch (error) {
      this.#pending = undefined;
      this.#reader.releaseLock();
      this.#reader = undefined;
      if (this.#port.readable && this.#port.readable !== this.#stream) return kNothing;
      throw error;
    } finally {
      clearTimeout(timer);
    }
  }

  async write(bytes: Uint8Array | number[]): Promise<void> {
    if (bytes.length === 0) return;
    const writable = this.#port.writable;
    if (!writable) throw new Error('the port cannot be written');
    const writer = writable.getWriter();
    try {
      await writer.write(bytes instanceof Uint8Array ? bytes : Uint8Array.from(bytes));
    } finally {
      writer.releaseLock();
    }
  }

  async close(): Promise<void> {
    const reader = this.#reader;
    this.#reader = undefined;
    this.#pending = undefined;
    if (reader) {
      await reader.cancel().catch(() => {});
      reader.releaseLock();
    }
    await this.#port.close().catch(() => {});
  }
}

// The core's search: the port opened at each line it names, every read handed to it.
async function search(port: SerialPortLike, plan: PortPlan, name: string, stopped: () => boolean): Promise<Profile> {
  for (let line = plan.nextLine(); line && !stopped(); line = plan.nextLine()) {
    let open: OpenLine;
    try {
      open = await OpenLine.open(port, line);
    } catch (error) {
      // A TypeError is a line the port cannot take; anything else, a port that is not there.
      plan.openFailed(error instanceof TypeError, failureText(name, 'open', error));
      continue;
    }
    try {
      await open.write(plan.opened());
      while (!plan.lineOver()) await open.write(plan.heard(await open.read(kTickMs)));
    } catch (error) {
      plan.readFailed(failureText(name, 'read', error));
    } finally {
      await open.close();
    }
  }
  const profile = plan.profile();
  if (profile) return profile;
  if (stopped()) throw new ScaleError('no-answer', `${name}: closed`);
  const { error, message } = plan.searchResult();
  throw new ScaleError(error ?? 'no-reading', message ?? undefined);
}

// What a search found: the profile and a decoder for its protocol.
interface Found {
  profile: Profile;
  decoder: Decoder;
}
type Finder = (stopped: () => boolean) => Promise<Found>;

interface Command {
  which: 'zero' | 'tare';
  askedAt: number;
  resolve: () => void;
  reject: (error: ScaleError) => void;
}

class SerialScale extends Scale {
  readonly #port: SerialPortLike;
  #profile: Profile;
  #decoder: Decoder;
  readonly #findAgain?: Finder;
  #lastDecoded = performance.now();
  readonly #name: string;
  #line?: OpenLine;
  #running: Promise<void> = Promise.resolve();
  #waiting: Command[] = [];
  #asked?: Command & { due: number };
  #nextPoll = 0;
  #pollSent = -Infinity;
  #lastValid = performance.now();

  // `findAgain`: for protocol=auto, the search to run again when the frames stop decoding (the
  // scale was swapped or set to another protocol or line), as the service does.
  constructor(port: SerialPortLike, found: Found, name: string, findAgain?: Finder) {
    super();
    this.#port = port;
    this.#profile = found.profile;
    this.#decoder = found.decoder;
    this.#name = name;
    this.#findAgain = findAgain;
  }

  /** The protocol and line read, as the core's profile names them. */
  get profile(): Profile {
    return this.#profile;
  }

  async start(): Promise<void> {
    try {
      this.#line = await OpenLine.open(this.#port, this.#profile.line);
    } catch (error) {
      this.#decoder.free();
      throw new ScaleError('port-unavailable', failureText(this.#name, 'open', error));
    }
    // Resolves with `latest` set, as connect() does: the first reading, or the silence rule's
    // no-reading within a second.
    let timer: ReturnType<typeof setTimeout> | undefined;
    const first = new Promise<void>((resolve) => {
      this.addEventListener('reading', () => resolve(), { once: true });
      timer = setTimeout(resolve, 2 * kNoFrameAfterMs);
    });
    this.#running = this.#run(this.#line);
    await first;
    clearTimeout(timer);
  }

  async #run(line: OpenLine): Promise<void> {
    try {
      while (!this.closed) {
        if (this.#findAgain && performance.now() - this.#lastDecoded > kRedetectAfterMs) {
          line = await this.#searchAgain(line, this.#findAgain);
          continue;
        }
        await this.#drive(line, performance.now());
        const bytes = await line.read(kTickMs);
        if (!this.closed) this.#take(bytes, performance.now());
      }
    } catch (error) {
      if (this.closed) return;
      if (error instanceof ScaleError) this.#fail(error.code, error.message);
      else this.#fail('read-failed', failureText(this.#name, 'read', error));
      this.#finishCommands('no-answer');
      this.#line = undefined;
      await line.close();
    }
  }

  // Lets go of the line and searches until a protocol reads again (or the scale is closed);
  // meanwhile the readings say why nothing reads.
  async #searchAgain(line: OpenLine, findAgain: Finder): Promise<OpenLine> {
    this.#finishCommands('no-answer');
    this.#line = undefined;
    await line.close();
    for (let backoff = 250; ; backoff = Math.min(backoff * 2, kSearchBackoffMaxMs)) {
      try {
        const found = await findAgain(() => this.closed);
        this.#decoder.free();
        this.#profile = found.profile;
        this.#decoder = found.decoder;
        const open = await OpenLine.open(this.#port, found.profile.line);
        this.#line = open;
        this.#lastDecoded = this.#lastValid = performance.now();
        return open;
      } catch (error) {
        if (this.closed) throw error;
        const failure =
          error instanceof ScaleError ? error : new ScaleError('port-unavailable', failureText(this.#name, 'open', error));
        // A port that is gone stays gone for this SerialPort: reading ends there.
        if (failure.code === 'port-unavailable') throw failure;
        if (this.latest?.message !== failure.message) this.#fail(failure.code, failure.message);
        await new Promise((resolve) => setTimeout(resolve, backoff));
      }
    }
  }

  // The answer window, the command to send and the poll, in the stream engine's order.
  async #drive(line: OpenLine, now: number): Promise<void> {
    const window = this.#profile.commandMs;
    if (this.#asked && now >= this.#asked.due) this.#answered(null);
    for (const late of this.#waiting.filter((c) => now >= c.askedAt + window)) {
      late.reject(new ScaleError('no-answer', `${this.#name}: ${late.which}: the command could not be sent in time`));
    }
    this.#waiting = this.#waiting.filter((c) => now < c.askedAt + window);
    // A command waits for the answer to the last poll, so that answer is not taken for its own.
    const pollInFlight = now < this.#pollSent + this.#profile.pollMs;
    const next = !this.#asked && !pollInFlight ? this.#waiting.shift() : undefined;
    if (next) {
      this.#asked = { ...next, due: now + window };
      this.#decoder.expect(next.which);
      await line.write(this.#profile[next.which]);
    }
    if (this.#profile.request.length > 0 && !this.#asked && now >= this.#nextPoll) {
      this.#nextPoll = now + this.#profile.pollMs;
      this.#pollSent = now;
      await line.write(this.#profile.request);
    }
  }

  #take(bytes: Uint8Array, now: number): void {
    const readings = bytes.length > 0 ? this.#decoder.push(bytes) : [];
    const answer = this.#asked ? this.#decoder.answer() : null;
    if (readings.length > 0 || answer) this.#pollSent = -Infinity;
    if (answer || readings.some((r) => r.ok || r.error !== 'no-reading')) this.#lastDecoded = now;
    if (answer) this.#answered(answer);
    for (const reading of readings) {
      if (reading.ok) this.#lastValid = now;
      this.publish(reading);
    }
    // Silent, or nothing that reads as a weight: said once, as the service says it.
    const said = this.latest !== null && !this.latest.ok && this.latest.error === 'no-reading';
    if (readings.length === 0 && !said && now - this.#lastValid > kNoFrameAfterMs) {
      this.#fail('no-reading', null);
    }
  }

  #answered(answer: 'acknowledged' | 'refused' | 'busy' | null): void {
    const asked = this.#asked;
    if (!asked) return;
    this.#asked = undefined;
    this.#decoder.expect(null);
    this.#nextPoll = 0;  // a polled scale is asked for the new weight at once
    if (answer === 'acknowledged') return asked.resolve();
    const code = answer === null ? 'no-answer' : 'command-refused';
    asked.reject(new ScaleError(code, `${this.#name}: ${asked.which}: ${code}`));
  }

  #fail(error: string, message: string | null): void {
    const reading: Reading = {
      port: this.#name,
      ok: false,
      value: null,
      text: '0',
      stable: false,
      at: new Date().toISOString(),
      protocol: this.#profile.protocol,
      unit: null,
      net: null,
      tare: null,
      error,
      message,
    };
    this.publish(reading);
  }

  #finishCommands(code: string): void {
    const all = [...this.#waiting, ...(this.#asked ? [this.#asked] : [])];
    this.#waiting = [];
    this.#asked = undefined;
    for (const command of all) command.reject(new ScaleError(code, `${this.#name}: ${command.which}: ${code}`));
  }

  protected command(which: 'zero' | 'tare'): Promise<void> {
    if (this.closed || !this.#line) {
      return Promise.reject(new ScaleError('no-answer', `${this.#name}: the port is not open`));
    }
    if (this.#profile[which].length === 0) {
      return Promise.reject(new ScaleError('not-supported', `${this.#name}: ${this.#profile.protocol} has no ${which}`));
    }
    if (this.#waiting.length + (this.#asked ? 1 : 0) >= kMostCommands) {
      return Promise.reject(new ScaleError('too-many-commands', `${this.#name}: ${which}: too many commands`));
    }
    return new Promise((resolve, reject) => {
      this.#waiting.push({ which, askedAt: performance.now(), resolve, reject });
    });
  }

  protected async shutdown(): Promise<void> {
    this.#finishCommands('no-answer');
    await this.#running;
    await this.#line?.close();
    this.#line = undefined;
    this.#decoder.free();
  }
}

// "protocol=auto&baud=4800&framing=7E1": the options as the service's port names carry them.
function optionText(options: SerialOptions): string {
  const pairs: [string, unknown][] = [
    ['protocol', options.protocol ?? 'auto'],
    ['baud', options.baud],
    ['framing', options.framing],
    ['poll_ms', options.pollMs],
    ['stable_ms', options.stableMs],
    ['command_ms', options.commandMs],
  ];
  return pairs
    .filter(([, value]) => value !== undefined)
    .map(([key, value]) => `${key}=${String(value).replace(/[&=]/g, '')}`)
    .join('&');
}

/**
 * Reads a scale on a WebSerial SerialPort (from navigator.serial.requestPort()). With
 * protocol 'auto' the port is opened at each usual line in turn until one protocol reads.
 */
export async function openSerial(port: SerialPortLike, options: SerialOptions = {}): Promise<Scale> {
  const name = options.name ?? 'serial';
  const find: Finder = async (stopped) => {
    const plan = await PortPlan.create(name, optionText(options), options.searchMs ?? 8000);
    let profile: Profile;
    try {
      profile = plan.profile() ?? (await search(port, plan, name, stopped));
    } finally {
      plan.free();
    }
    const decoder = await makeDecoder(profile.protocol, {
      port: name,
      stableMs: profile.stableMs,
      decimalSeparator: options.decimalSeparator,
      leadingZero: options.leadingZero,
    });
    return { profile, decoder };
  };
  const detect = (options.protocol ?? 'auto') === 'auto';
  const scale = new SerialScale(port, await find(() => false), name, detect ? find : undefined);
  await scale.start();
  return scale;
}
