// What every transport gives back: the latest reading, a "reading" event, waiting for a
// stable weight, zero, tare and close.
import type { Reading } from './reading.js';
import { ScaleError } from './reading.js';

export interface StableOptions {
  /** How long to wait (default 5000 ms); rejects with code "timeout" after it. */
  timeoutMs?: number;
}

type Waiter = (reading: Reading) => boolean;

export abstract class Scale extends EventTarget {
  /** The last reading; null until the first one. */
  latest: Reading | null = null;
  #waiters = new Set<Waiter>();
  #closed = false;

  /** Resolves with the current reading when it is stable, else with the next stable one. */
  stable(options: StableOptions = {}): Promise<Reading> {
    if (this.latest?.ok && this.latest.stable) return Promise.resolve(this.latest);
    if (this.#closed) return Promise.reject(new ScaleError('no-answer', 'qelscale: closed'));
    const timeoutMs = options.timeoutMs ?? 5000;
    return new Promise((resolve, reject) => {
      const waiter: Waiter = (reading) => {
        if (reading.ok && reading.stable) resolve(reading);
        else if (!this.#closed) return false;
        else reject(new ScaleError('no-answer', 'qelscale: closed'));
        clearTimeout(timer);
        return true;
      };
      const timer = setTimeout(() => {
        this.#waiters.delete(waiter);
        reject(new ScaleError('timeout', `qelscale: no stable reading within ${timeoutMs} ms`));
      }, timeoutMs);
      this.#waiters.add(waiter);
    });
  }

  /** Zeroes the scale; rejects with the service's error id as `code`. */
  zero(): Promise<void> {
    return this.command('zero');
  }

  /** Tares the scale; rejects with the service's error id as `code`. */
  tare(): Promise<void> {
    return this.command('tare');
  }

  /** Stops reading and lets go of the transport. */
  async close(): Promise<void> {
    if (this.#closed) return;
    this.#closed = true;
    await this.shutdown();
    for (const waiter of [...this.#waiters]) if (waiter(this.latest ?? ({} as Reading))) this.#waiters.delete(waiter);
  }

  get closed(): boolean {
    return this.#closed;
  }

  protected abstract command(which: 'zero' | 'tare'): Promise<void>;
  protected abstract shutdown(): Promise<void>;

  protected publish(reading: Reading): void {
    this.latest = reading;
    for (const waiter of [...this.#waiters]) if (waiter(reading)) this.#waiters.delete(waiter);
    this.dispatchEvent(new CustomEvent<Reading>('reading', { detail: reading }));
  }
}
