// QelScale.openHid over a stand-in for a WebHID device that delivers recorded USB scale
// reports (status, unit, exponent, weight LE, as the HID usage tables' Scale page defines).
import assert from 'node:assert/strict';
import { test } from 'node:test';

const QelScale = await import(`${process.env.QELSCALE_PACKAGE}/index.js`);

class RecordedScale extends EventTarget {
  opened = false;
  productName = 'USB scale';
  closes = 0;
  async open() {
    this.opened = true;
  }
  async close() {
    this.opened = false;
    ++this.closes;
  }
  send(...bytes) {
    const event = new Event('inputreport');
    event.reportId = 3;
    event.data = new DataView(Uint8Array.from(bytes).buffer);
    this.dispatchEvent(event);
  }
}

function next(scale) {
  return new Promise((resolve) => scale.addEventListener('reading', (e) => resolve(e.detail), { once: true }));
}

test('recorded reports give readings with the statuses as errors and stability', async () => {
  const device = new RecordedScale();
  const scale = await QelScale.openHid(device);
  assert.equal(device.opened, true);
  assert.deepEqual(QelScale.hidFilters, [{ usagePage: 0x8d }]);
  const cases = [
    [[4, 12, 0xff, 25, 0], { ok: true, value: 2.5, text: '2.5', stable: true, unit: 'lb' }],
    [[3, 3, 0xfd, 0x34, 0x12], { ok: true, value: 4.66, text: '4.660', stable: false, unit: 'kg' }],
    [[2, 11, 0xff, 0, 0], { ok: true, value: 0, text: '0.0', stable: true, unit: 'oz' }],
    [[6, 12, 0xff, 0, 0], { ok: false, error: 'overload', stable: false }],
    [[5, 12, 0xff, 3, 0], { ok: false, error: 'under-zero', stable: false }],
    [[8, 12, 0xff, 3, 0], { ok: false, error: 'scale-busy', stable: false }],
    [[4, 12], { ok: false, error: 'no-reading' }],
    [[9, 12, 0xff, 3, 0], { ok: false, error: 'no-reading' }],
  ];
  for (const [bytes, expected] of cases) {
    const reading = next(scale);
    device.send(...bytes);
    const got = await reading;
    assert.equal(got.port, 'USB scale');
    assert.equal(got.protocol, 'hid-scale');
    for (const [key, value] of Object.entries(expected)) assert.equal(got[key], value, `${bytes}: ${key}`);
  }
  assert.equal((await scale.stable({ timeoutMs: 100 }).catch((e) => e)).code, 'timeout');
  const stable = scale.stable({ timeoutMs: 2000 });
  device.send(4, 2, 0, 0xd2, 0x04);
  assert.equal((await stable).text, '1234');
  await assert.rejects(scale.tare(), (error) => error.code === 'not-supported');
  await scale.close();
  assert.equal(device.opened, false);
  device.send(4, 2, 0, 1, 0);
  assert.equal(scale.latest.text, '1234');
});

test('a HID device without the Scale usage page is refused, not read', async () => {
  const keyboard = new RecordedScale();
  keyboard.productName = 'keyboard';
  keyboard.collections = [{ usagePage: 0x01, usage: 0x06 }];
  await assert.rejects(QelScale.openHid(keyboard), (error) =>
    error.code === 'not-supported' && /keyboard is no USB scale/.test(error.message));
  assert.equal(keyboard.opened, false);
  const scale = new RecordedScale();
  scale.collections = [{ usagePage: 0x8d, usage: 0x20 }];
  await (await QelScale.openHid(scale)).close();
});
