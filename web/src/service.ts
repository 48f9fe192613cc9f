// The service transport: readings from the WebSocket /v1/stream, zero and tare over HTTP,
// reconnecting with backoff while the service is away.
import type { Reading } from './reading.js';
import { ScaleError } from './reading.js';
import { Scale } from './scale.js';
import { command, read, serviceUrl } from './service_api.js';

export interface ConnectOptions {
  /** The service's address, e.g. "http://localhost:8778" (default: the page's own origin). */
  url?: string;
  /** The port as the service names it (a --stream port). */
  port: string;
  /** The service's token, when it was started with a token file. */
  token?: string;
  /** How long connect() waits for the first reading (default 10000 ms). */
  timeoutMs?: number;
}

const kBackoffMinMs = 100;
const kBackoffMaxMs = 2000;

class ServiceScale extends Scale {
  readonly #base: URL;
  readonly #port: string;
  readonly #token?: string;
  #socket?: WebSocket;
  #backoff = kBackoffMinMs;
  #retry?: ReturnType<typeof setTimeout>;

  constructor(base: URL, port: string, token?: string) {
    super();
    this.#base = base;
    this.#port = port;
    this.#token = token;
  }

  // Resolves with the first reading of the first connection; a refusal rejects.
  start(timeoutMs: number): Promise<void> {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => fail(new ScaleError('timeout', 'qelscale: no reading from the service')), timeoutMs);
      const fail = (error: ScaleError) => {
        clearTimeout(timer);
        void this.close();
        reject(error);
      };
      this.#open(
        () => {
          clearTimeout(timer);
          resolve();
        },
        () => this.#refusal().then(fail),
      );
    });
  }

  // Tries until closed, whatever the service answers: for a caller that shows its absence.
  follow(): void {
    this.#open();
  }

  #open(first?: () => void, refused?: () => void): void {
    const url = new URL(`/v1/stream?port=${encodeURIComponent(this.#port)}`, this.#base);
    url.protocol = url.protocol === 'https:' ? 'wss:' : 'ws:';
    const protocols = this.#token ? ['qelscale', `token.${this.#token}`] : ['qelscale'];
    const socket = new WebSocket(url, protocols);
    let opened = false;
    this.#socket = socket;
    socket.onopen = () => {
      opened = true;
      this.#backoff = kBackoffMinMs;
      this.dispatchEvent(new Event('connect'));
    };
    socket.onmessage = (message) => {
      let reading: Reading;
      try {
        reading = JSON.parse(String(message.data)) as Reading;
      } catch {
        return;
      }
      this.publish(reading);
      first?.();
      first = undefined;
    };
    // Some WebSocket implementations report a failed handshake with "error" alone.
    let ended = false;
    socket.onerror = socket.onclose = () => {
      if (ended || this.closed || socket !== this.#socket) return;
      ended = true;
      if (first && refused && !opened) return refused();
      this.dispatchEvent(new Event(opened ? 'disconnect' : 'unreachable'));
      this.#retry = setTimeout(() => this.#open(first, refused), this.#backoff);
      this.#backoff = Math.min(this.#backoff * 2, kBackoffMaxMs);
    };
  }

  // Why the first handshake failed: a browser does not show a WebSocket's HTTP status, so the
  // same request over HTTP tells.
  async #refusal(): Promise<ScaleError> {
    try {
      await read({ url: this.#base.href, port: this.#port, token: this.#token });
      return new ScaleError('no-answer', 'qelscale: the service refused the stream of this port');
    } catch (error) {
      return error instanceof ScaleError ? error : new ScaleError('no-answer', String(error));
    }
  }

  protected async command(which: 'zero' | 'tare'): Promise<void> {
    if (this.closed) throw new ScaleError('no-answer', 'qelscale: closed');
    await command({ url: this.#base.href, port: this.#port, token: this.#token }, which);
  }

  protected async shutdown(): Promise<void> {
    clearTimeout(this.#retry);
    const socket = this.#socket;
    this.#socket = undefined;
    if (!socket || socket.readyState === WebSocket.CLOSED) return;
    await new Promise<void>((resolve) => {
      socket.addEventListener('close', () => resolve());
      socket.close();
      setTimeout(resolve, 1000);
    });
  }
}

/** Reads a port through the weight service; resolves once its first reading arrived. */
export async function connect(options: ConnectOptions): Promise<Scale> {
  const scale = new ServiceScale(serviceUrl(options.url), options.port, options.token);
  await scale.start(options.timeoutMs ?? 10000);
  return scale;
}

/** Reads a port through the weight service and never gives up: no service, a refusal or a lost
 * connection fire "unreachable" or "disconnect" and it tries again with backoff until close(). */
export function watch(options: Omit<ConnectOptions, 'timeoutMs'>): Scale {
  const scale = new ServiceScale(serviceUrl(options.url), options.port, options.token);
  scale.follow();
  return scale;
}
