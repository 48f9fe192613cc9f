// QelScale.openSerial in node over a scripted SerialPort that behaves as WebSerial's does
// (streams replaced after a parity error, null after the device is lost, close refused while
// a stream is locked), fed by small scale models: the search over lines and protocols, the
// poll and the commands with their error codes, garbage and cut records, a vanishing device.
import assert from 'node:assert/strict';
import { test } from 'node:test';

const QelScale = await import(`${process.env.QELSCALE_PACKAGE}/index.js`);

const unhandled = [];
process.on('unhandledRejection', (error) => unhandled.push(error));

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const bytes = (text) => Uint8Array.from(text, (c) => c.charCodeAt(0));

class ScriptedPort {
  readable = null;
  writable = null;
  opens = [];
  absent = false;

  constructor(scale) {
    this.scale = scale;
  }

  async open(options) {
    if (this.readable) throw new DOMException('The port is already open.', 'InvalidStateError');
    if (this.absent) throw new DOMException('Failed to open serial port.', 'NetworkError');
    this.opens.push(`${options.baudRate} ${options.dataBits}${options.parity[0].toUpperCase()}${options.stopBits}`);
    this.line = this.opens.at(-1);
    this.#newReadable();
    this.writable = new WritableStream({ write: (chunk) => this.scale.heard(this, new TextDecoder().decode(chunk)) });
    this.scale.opened?.(this);
  }

  async close() {
    if (this.readable?.locked || this.writable?.locked) throw new TypeError('A stream is locked.');
    this.readable = this.writable = null;
    this.scale.closed?.(this);
  }

  // What the scale sends, as a reader at the port's line receives it.
  send(text) {
    if (!this.readable) return;
    const sent = bytes(text);
    this.controller.enqueue(this.line === this.scale.line ? sent : sent.map((b) => (b | 0x80) ^ 0x35));
  }

  parityError() {
    this.controller.error(new DOMException('Parity error.', 'ParityError'));
    this.#newReadable();
  }

  lose() {
    this.controller.error(new DOMException('The device has been lost.', 'NetworkError'));
    this.readable = this.writable = null;
  }

  #newReadable() {
    this.readable = new ReadableStream({ start: (controller) => (this.controller = controller) });
  }
}

// A polled MT-SICS balance: answers SI with its weight, Z and T as told.
class Balance {
  line = '9600 8N1';
  weight = '1.250';
  commands = 'ack';
  requests = 0;
  heard(port, text) {
    if (port.line !== this.line) return;  // requests at another line arrive as noise
    if (text.includes('SI\r\n')) {
      ++this.requests;
      port.send(`S S ${this.weight.padStart(10)} kg\r\n`);
    } else if (text === 'Z\r\n' || text === 'T\r\n') {
      const answer = { ack: `${text[0]} A\r\n`, refuse: `${text[0]} I\r\n`, silent: '' }[this.commands];
      if (text === 'T\r\n' && this.commands === 'ack') port.send(`T S ${this.weight.padStart(10)} kg\r\n`);
      else port.send(answer);
    }
  }
}

// A scale that talks without being asked, 10 frames a second while the port is open.
class Talker {
  constructor(line, frame) {
    this.line = line;
    this.frame = frame;
  }
  heard() {}
  opened(port) {
    this.timer = setInterval(() => port.send(this.frame), 100);
  }
  closed() {
    clearInterval(this.timer);
  }
}

function next(scale, accept = () => true) {
  return new Promise((resolve) => {
    const listener = (event) => {
      if (!accept(event.detail)) return;
      scale.removeEventListener('reading', listener);
      resolve(event.detail);
    };
    scale.addEventListener('reading', listener);
  });
}

test('protocol auto runs the core search over the lines and finds a continuous scale', { timeout: 20000 }, async () => {
  const scale = new Talker('2400 7E1', 'ST,+0001.234  kg\r\n');
  const port = new ScriptedPort(scale);
  const reader = await QelScale.openSerial(port, { name: 'COM4' });
  try {
    assert.deepEqual(port.opens.slice(0, 3), ['9600 8N1', '9600 7E1', '2400 7E1']);
    const reading = await next(reader, (r) => r.ok);
    assert.equal(reading.port, 'COM4');
    assert.equal(reading.protocol, 'ad');
    assert.equal(reading.value, 1.234);
    assert.equal(reading.unit, 'kg');
    assert.equal(port.line, '2400 7E1');
  } finally {
    await reader.close();
  }
  assert.equal(port.readable, null, 'close() lets go of the port');

  // A speed given with auto narrows the search to it; nothing there ends in the core's words.
  const elsewhere = new ScriptedPort(new Talker('9600 8N1', 'ST,+0001.234  kg\r\n'));
  await assert.rejects(QelScale.openSerial(elsewhere, { name: 'COM4', baud: 4800, searchMs: 1500 }), (error) => {
    assert.equal(error.code, 'no-reading');
    assert.equal(error.message, 'no scale protocol recognised on COM4 within 2 s');
    return true;
  });
  assert.ok(elsewhere.opens.every((line) => line.startsWith('4800 ')), elsewhere.opens.join());
});

test('protocol auto searches again when the frames stop decoding, as the service does', { timeout: 30000 }, async () => {
  const talker = new Talker('2400 7E1', 'ST,+0001.234  kg\r\n');
  const port = new ScriptedPort(talker);
  const reader = await QelScale.openSerial(port, { name: 'COM4' });
  const seen = [];
  reader.addEventListener('reading', (e) => seen.push(e.detail));
  try {
    assert.equal(reader.latest.protocol, 'ad');
    // Another scale on the same port: a polled one at another line, silent until asked.
    talker.closed(port);
    port.scale = new Balance();
    const found = await next(reader, (r) => r.ok && r.protocol === 'mt-sics');
    assert.equal(found.value, 1.25);
    assert.equal(port.line, '9600 8N1');
    const between = seen.filter((r) => !r.ok);
    assert.ok(between.length > 0 && between.every((r) => r.error === 'no-reading'), JSON.stringify(between));
    await reader.tare();  // commands go to the protocol found now
  } finally {
    await reader.close();
  }
  assert.equal(port.readable, null);
});

test('a polled scale is asked at its pace; zero, tare and their refusals carry the service codes', { timeout: 20000 }, async () => {
  const balance = new Balance();
  const port = new ScriptedPort(balance);
  const reader = await QelScale.openSerial(port, { protocol: 'mt-sics', commandMs: 400 });
  try {
    assert.deepEqual(port.opens, ['9600 8N1']);
    assert.equal(reader.latest.protocol, 'mt-sics', 'openSerial resolves with a reading in');
    const stable = await reader.stable({ timeoutMs: 3000 });
    assert.equal(stable.value, 1.25);
    assert.equal(stable.stable, true);
    await reader.zero();
    await reader.tare();
    balance.commands = 'refuse';
    await assert.rejects(reader.tare(), { code: 'command-refused' });
    balance.commands = 'silent';
    const five = [1, 2, 3, 4, 5].map(() => reader.zero());
    const outcomes = await Promise.allSettled(five);
    assert.deepEqual(outcomes.map((o) => o.reason?.code), ['no-answer', 'no-answer', 'no-answer', 'no-answer', 'too-many-commands']);
    balance.weight = '2.000';
    await next(reader, (r) => r.value === 2);
    // Never faster than the protocol's 200 ms, however long the wait really took.
    const before = balance.requests;
    const start = performance.now();
    await sleep(1000);
    const asked = balance.requests - before;
    const most = Math.floor((performance.now() - start) / 200) + 1;
    assert.ok(asked <= most, `${asked} requests where at most ${most} fit the 200 ms interval`);
  } finally {
    await reader.close();
  }
  await assert.rejects(reader.zero(), { code: 'no-answer' });

  const magellan = await QelScale.openSerial(new ScriptedPort(new Balance()), { protocol: 'magellan' });
  await assert.rejects(magellan.tare(), { code: 'not-supported' });
  await magellan.close();
});

test('garbage and cut records never give a wrong weight; silence turns into no-reading', { timeout: 20000 }, async () => {
  const scale = new Talker('2400 7E1', 'ST,+0001.234  kg\r\n');
  const port = new ScriptedPort(scale);
  const reader = await QelScale.openSerial(port, { protocol: 'ad' });
  const seen = [];
  reader.addEventListener('reading', (e) => seen.push(e.detail));
  try {
    await next(reader, (r) => r.ok);
    scale.closed(port);  // the scale stops talking; what follows is scripted
    port.send('\x00\xff#~garbage\r\n');
    port.send('ST,+0002.');  // cut: the rest never comes, and the record it runs into is lost
    port.send('ST,+0003.500  kg\r\n');
    port.send('ST,+0003.500  kg\r\n');
    const three = await next(reader, (r) => r.ok && r.value !== 1.234);
    assert.equal(three.value, 3.5);
    const silent = await next(reader, (r) => !r.ok);
    assert.equal(silent.error, 'no-reading');
    assert.ok(seen.every((r) => !r.ok || r.value === 1.234 || r.value === 3.5), JSON.stringify(seen.map((r) => r.value)));
  } finally {
    await reader.close();
  }
});

test('a parity error is read past; a lost device ends in read-failed, never an unhandled rejection', { timeout: 20000 }, async () => {
  const balance = new Balance();
  const port = new ScriptedPort(balance);
  const reader = await QelScale.openSerial(port, { protocol: 'mt-sics', name: 'COM9' });
  await next(reader, (r) => r.ok);
  port.parityError();
  balance.weight = '0.500';
  assert.equal((await next(reader, (r) => r.ok && r.value === 0.5)).value, 0.5);

  balance.commands = 'silent';
  const waiting = reader.zero();
  const failed = next(reader, (r) => !r.ok);
  port.lose();
  const reading = await failed;
  assert.equal(reading.error, 'read-failed');
  assert.match(reading.message, /^COM9: reading the port failed \(The device has been lost\.\)$/);
  assert.equal(reader.latest.error, 'read-failed');
  await assert.rejects(waiting, { code: 'no-answer' });
  await assert.rejects(reader.tare(), { code: 'no-answer' });
  await reader.close();

  const absent = new ScriptedPort(balance);
  absent.absent = true;
  await assert.rejects(QelScale.openSerial(absent, { protocol: 'mt-sics', name: 'COM9' }), (error) =>
    error.code === 'port-unavailable' && error.message.startsWith('COM9: the port did not open'));
  await assert.rejects(QelScale.openSerial(absent, { protocol: 'auto', name: 'COM9' }), { code: 'port-unavailable' });
  await assert.rejects(QelScale.openSerial(absent, { protocol: 'mt-sics', framing: '9Z9' }), (error) =>
    error.code === 'not-supported' && /framing/.test(error.message));
  await assert.rejects(QelScale.openSerial(absent, { protocol: 'no-such' }), { code: 'not-supported' });
  await sleep(100);
  assert.deepEqual(unhandled, []);
});
