// Stand-ins for navigator.serial and navigator.hid, put into a page before its own scripts run.
// Chromium offers no virtual serial or HID device, so these behave as WebSerial's SerialPort
// and WebHID's HIDDevice do towards a page, over a relay (serial) or recorded reports (HID).
// The test drives them through window.QelStandins.
(() => {
  'use strict';
  const unhandled = [];
  window.addEventListener('unhandledrejection', (event) => {
    const reason = event.reason;
    unhandled.push(String((reason && (reason.code || reason.name + ': ' + reason.message)) || reason));
  });

  const PARITIES = ['none', 'even', 'odd'];
  const FLOW = ['none', 'hardware'];
  const lostError = () => new DOMException('The device has been lost.', 'NetworkError');

  // A SerialPort whose bytes travel over a WebSocket to the relay; one connection per open().
  class StandinSerialPort extends EventTarget {
    #url;
    #info;
    #state = 'closed'; // closed | opening | opened | closing
    #socket = null;
    #socketClosed = null;
    #closing = false;
    #fatal = false;
    #incoming = [];
    #wake = null;
    #readable = null;
    #writable = null;
    #failReadable = null; // errors the current readable
    #failWritable = null;
    #signals = {};

    constructor(url, info) {
      super();
      this.#url = url;
      this.#info = info || {};
    }

    get connected() {
      return !this.#fatal;
    }

    get readable() {
      if (this.#state !== 'opened' || this.#fatal) return null;
      if (!this.#readable) this.#readable = this.#makeReadable();
      return this.#readable;
    }

    get writable() {
      if (this.#state !== 'opened' || this.#fatal) return null;
      if (!this.#writable) this.#writable = this.#makeWritable();
      return this.#writable;
    }

    getInfo() {
      return { ...this.#info };
    }

    async open(options) {
      if (this.#state !== 'closed') throw new DOMException('The port is already open.', 'InvalidStateError');
      const line = lineOf(options);
      this.#state = 'opening';
      this.#fatal = false;
      this.#incoming = [];
      const query = new URLSearchParams(Object.entries(line).map(([k, v]) => [k, String(v)]));
      try {
        await this.#connect(`${this.#url}?${query}`);
      } catch (error) {
        this.#state = 'closed';
        throw error;
      }
      this.#state = 'opened';
    }

    #connect(url) {
      return new Promise((resolve, reject) => {
        const socket = new WebSocket(url);
        socket.binaryType = 'arraybuffer';
        let opened = false;
        this.#socketClosed = new Promise((closed) => {
          socket.addEventListener('close', () => {
            closed();
            if (!opened) reject(new DOMException('Failed to open serial port.', 'NetworkError'));
            else if (!this.#closing) this.#lost();
          });
        });
        // The relay's first message, "opened", says the device took the line.
        socket.addEventListener('message', (event) => {
          if (typeof event.data !== 'string') this.#deliver(new Uint8Array(event.data));
          else if (event.data === 'opened' && !opened) {
            opened = true;
            this.#socket = socket;
            resolve();
          }
        });
      });
    }

    // As WebSerial when the device is unplugged: both streams error, readable turns null.
    #lost() {
      this.#fatal = true;
      const error = lostError();
      this.#incoming = [];
      if (this.#readable) this.#failReadable(error);
      if (this.#writable) this.#failWritable(error);
      this.#readable = this.#writable = this.#failReadable = this.#failWritable = null;
      if (this.#wake) this.#wake(error);
      this.#wake = null;
      this.dispatchEvent(new Event('disconnect'));
    }

    #deliver(bytes) {
      if (this.#state !== 'opened' && this.#state !== 'opening') return;
      this.#incoming.push(bytes);
      if (this.#wake) this.#wake(null);
      this.#wake = null;
    }

    /** Puts `bytes` into the readable as if the device had sent them. */
    inject(bytes) {
      this.#deliver(Uint8Array.from(bytes));
    }

    /**
     * A line error WebSerial reports without losing the device (ParityError, FramingError,
     * BreakError, BufferOverrunError): the readable errors, and the next one reads on.
     */
    lineError(name) {
      if (!this.#readable) return;
      this.#failReadable(new DOMException(`A ${name} was detected.`, name));
      this.#readable = this.#failReadable = null;
      if (this.#wake) this.#wake(null);
      this.#wake = null;
    }

    /** Ends the relay's connection as an unplugged device would. */
    unplug() {
      if (this.#socket) this.#socket.close(4000, 'unplugged');
    }

    #makeReadable() {
      const port = this;
      let controller;
      const stream = new ReadableStream({
        type: 'bytes',
        start(c) {
          controller = c;
          port.#failReadable = (error) => controller.error(error);
        },
        async pull(c) {
          while (port.#incoming.length === 0) {
            const error = await new Promise((wake) => (port.#wake = wake));
            // Errored by #lost(), or cancelled: this stream takes no more bytes.
            if (error || port.#readable !== stream) return;
          }
          c.enqueue(port.#incoming.shift());
        },
        cancel() {
          // A cancelled readable drops what was received; the next read gets a new one.
          port.#incoming = [];
          if (port.#readable === stream) port.#readable = port.#failReadable = null;
          if (port.#wake) port.#wake(null);
        },
      });
      return stream;
    }

    #makeWritable() {
      const port = this;
      const stream = new WritableStream({
        start(c) {
          port.#failWritable = (error) => c.error(error);
        },
        write(chunk) {
          if (!ArrayBuffer.isView(chunk) && !(chunk instanceof ArrayBuffer)) {
            throw new TypeError('The provided value is not of type (ArrayBuffer or ArrayBufferView).');
          }
          if (port.#fatal || !port.#socket) throw lostError();
          port.#socket.send(chunk);
        },
        close() {
          if (port.#writable === stream) port.#writable = port.#failWritable = null;
        },
        abort() {
          if (port.#writable === stream) port.#writable = port.#failWritable = null;
        },
      });
      return stream;
    }

    async setSignals(signals) {
      if (this.#state !== 'opened') throw new DOMException('The port is closed.', 'InvalidStateError');
      if (this.#fatal) throw lostError();
      Object.assign(this.#signals, signals);
    }

    async getSignals() {
      if (this.#state !== 'opened') throw new DOMException('The port is closed.', 'InvalidStateError');
      return { dataCarrierDetect: true, clearToSend: true, ringIndicator: false, dataSetReady: true };
    }

    // As WebSerial: cancels the readable and closes the writable first, which rejects (a
    // TypeError) while a reader or writer holds either.
    async close() {
      if (this.#state !== 'opened') throw new DOMException('The port is already closed.', 'InvalidStateError');
      const readable = this.#readable;
      const writable = this.#writable;
      await Promise.all([readable ? readable.cancel() : undefined, writable ? writable.close() : undefined]);
      this.#state = 'closing';
      this.#closing = true;
      const socket = this.#socket;
      if (socket && socket.readyState <= WebSocket.OPEN) socket.close(1000);
      await this.#socketClosed;
      this.#closing = false;
      this.#socket = null;
      this.#readable = null;
      this.#writable = null;
      this.#failReadable = null;
      this.#failWritable = null;
      this.#state = 'closed';
    }

    async forget() {
      if (this.#state === 'opened') await this.close().catch(() => {});
    }
  }

  function lineOf(options) {
    if (!options || typeof options.baudRate !== 'number') {
      throw new TypeError("Failed to execute 'open' on 'SerialPort': required member baudRate is undefined.");
    }
    const line = {
      baudRate: options.baudRate,
      dataBits: options.dataBits ?? 8,
      parity: options.parity ?? 'none',
      stopBits: options.stopBits ?? 1,
      flowControl: options.flowControl ?? 'none',
      bufferSize: options.bufferSize ?? 255,
    };
    if (line.baudRate <= 0) throw new TypeError('Requested baud rate must be greater than zero.');
    const refuse = (text) => {
      throw new TypeError(text);
    };
    if (line.dataBits !== 7 && line.dataBits !== 8) refuse('Requested number of data bits must be 7 or 8.');
    if (line.stopBits !== 1 && line.stopBits !== 2) refuse('Requested number of stop bits must be 1 or 2.');
    if (!PARITIES.includes(line.parity)) refuse(`The provided value '${line.parity}' is not a valid enum value.`);
    if (!FLOW.includes(line.flowControl)) refuse(`The provided value '${line.flowControl}' is not a valid enum value.`);
    if (line.bufferSize <= 0) throw new TypeError('Requested buffer size must be greater than zero.');
    return line;
  }

  class StandinSerial extends EventTarget {
    #ports = [];
    #granted = new Set();
    /** A port the chooser offers, reaching the relay at `url`. */
    add(url, info) {
      const port = new StandinSerialPort(url, info);
      this.#ports.push(port);
      return port;
    }
    // The user's pick in the chooser: the port added last that the filters let through.
    async requestPort(options = {}) {
      const filters = options.filters || [];
      const fits = (p) => filters.length === 0 || filters.some((f) => matches(p.getInfo(), f));
      const port = this.#ports.findLast(fits);
      if (!port) throw new DOMException('No port selected by the user.', 'NotFoundError');
      this.#granted.add(port);
      return port;
    }
    async getPorts() {
      return [...this.#granted];
    }
  }

  const matches = (info, filter) => Object.entries(filter).every(([key, value]) => info[key] === value);

  class HIDInputReportEvent extends Event {
    constructor(device, reportId, data) {
      super('inputreport');
      this.device = device;
      this.reportId = reportId;
      this.data = data;
    }
  }

  // A USB point-of-sale scale that sends the reports it is handed while it is open.
  class StandinHIDDevice extends EventTarget {
    #opened = false;
    dispatched = 0;
    oninputreport = null;

    constructor(productName, vendorId, productId) {
      super();
      this.productName = productName;
      this.vendorId = vendorId;
      this.productId = productId;
      this.collections = [
        {
          usagePage: 0x8d,
          usage: 0x20,
          type: 1,
          children: [],
          inputReports: [{ reportId: 3, items: [] }],
          outputReports: [],
          featureReports: [],
        },
      ];
    }

    get opened() {
      return this.#opened;
    }

    async open() {
      if (this.#opened) throw new DOMException('The device is already open.', 'InvalidStateError');
      this.#opened = true;
    }

    async close() {
      this.#opened = false;
    }

    async forget() {
      this.#opened = false;
    }

    async sendReport() {
      throw new DOMException('Failed to write the report.', 'NotAllowedError');
    }

    async receiveFeatureReport() {
      throw new DOMException('Failed to receive the feature report.', 'NotAllowedError');
    }

    /** The scale sends `bytes` as input report `reportId`; a closed device sends nothing. */
    send(bytes, reportId = 3) {
      if (!this.#opened) return false;
      const event = new HIDInputReportEvent(this, reportId, new DataView(Uint8Array.from(bytes).buffer));
      ++this.dispatched;
      if (typeof this.oninputreport === 'function') this.oninputreport(event);
      this.dispatchEvent(event);
      return true;
    }
  }

  class StandinHID extends EventTarget {
    #devices = [];
    #granted = new Set();
    add(productName, vendorId = 0x0922, productId = 0x8003) {
      const device = new StandinHIDDevice(productName, vendorId, productId);
      this.#devices.push(device);
      return device;
    }
    async requestDevice(options) {
      if (!options || !Array.isArray(options.filters)) {
        throw new TypeError("Failed to execute 'requestDevice' on 'HID': required member filters is undefined.");
      }
      const fits = (device, filter) =>
        (filter.vendorId === undefined || filter.vendorId === device.vendorId) &&
        (filter.productId === undefined || filter.productId === device.productId) &&
        (filter.usagePage === undefined || device.collections.some((c) => c.usagePage === filter.usagePage)) &&
        (filter.usage === undefined || device.collections.some((c) => c.usage === filter.usage));
      const filters = options.filters;
      const chosen = this.#devices.filter((d) => filters.length === 0 || filters.some((f) => fits(d, f)));
      chosen.forEach((d) => this.#granted.add(d));
      return chosen.slice(0, 1);
    }
    async getDevices() {
      return [...this.#granted];
    }
  }

  const serial = new StandinSerial();
  const hid = new StandinHID();
  Object.defineProperty(navigator, 'serial', { value: serial, configurable: true });
  Object.defineProperty(navigator, 'hid', { value: hid, configurable: true });
  window.QelStandins = { serial, hid, unhandled };
})();
