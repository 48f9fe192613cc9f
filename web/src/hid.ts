// The WebHID transport: a USB point-of-sale scale (usage page 0x8D) sends a report at each
// change; the core's decoder turns each into a reading.
import type { Reading } from './reading.js';
import { ScaleError } from './reading.js';
import { Scale } from './scale.js';
import { hidReading } from './wasm.js';

/** For navigator.hid.requestDevice({filters: QelScale.hidFilters}). */
export const hidFilters = [{ usagePage: 0x8d }];

export interface HidOptions {
  /** The port named in the readings (default: the device's product name). */
  port?: string;
  decimalSeparator?: string;
  leadingZero?: boolean;
}

interface HidReport extends Event {
  readonly data: DataView;
  readonly reportId: number;
}

// The parts of a WebHID HIDDevice used here.
export interface HidDeviceLike extends EventTarget {
  readonly opened: boolean;
  readonly productName?: string;
  readonly collections?: ReadonlyArray<{ usagePage?: number }>;
  open(): Promise<void>;
  close(): Promise<void>;
}

class HidScale extends Scale {
  readonly #device: HidDeviceLike;
  readonly #options: HidOptions;
  #queue: Promise<void> = Promise.resolve();
  readonly #onReport = (event: Event) => {
    const report = event as HidReport;
    const data = new Uint8Array(report.data.buffer, report.data.byteOffset, report.data.byteLength).slice();
    // Readings go out in the order the reports came, each once the wasm decoded it.
    this.#queue = this.#queue
      .then(() => hidReading(data, this.#options))
      .then((reading: Reading) => {
        if (!this.closed) this.publish(reading);
      })
      .catch(() => {});
  };

  constructor(device: HidDeviceLike, options: HidOptions) {
    super();
    this.#device = device;
    this.#options = { ...options, port: options.port ?? device.productName ?? 'hid' };
  }

  async start(): Promise<void> {
    await hidReading(new Uint8Array(0));  // the wasm is loaded before the first report
    if (!this.#device.opened) await this.#device.open();
    this.#device.addEventListener('inputreport', this.#onReport);
  }

  protected async command(which: 'zero' | 'tare'): Promise<void> {
    throw new ScaleError(this.closed ? 'no-answer' : 'not-supported', `qelscale: ${which} is not available on a USB scale`);
  }

  protected async shutdown(): Promise<void> {
    this.#device.removeEventListener('inputreport', this.#onReport);
    await this.#queue;
    if (this.#device.opened) await this.#device.close().catch(() => {});
  }
}

/** Reads a USB point-of-sale scale from a WebHID HIDDevice (opened here if it is not). */
export async function openHid(device: HidDeviceLike, options: HidOptions = {}): Promise<Scale> {
  // Another HID device's reports would read as weights: only the Scale page's are taken.
  const scalePage = hidFilters[0].usagePage;
  if (device.collections && !device.collections.some((c) => c.usagePage === scalePage)) {
    throw new ScaleError('not-supported', `qelscale: ${device.productName ?? 'the device'} is no USB scale (no usage page 0x8D)`);
  }
  const scale = new HidScale(device, options);
  await scale.start();
  return scale;
}
