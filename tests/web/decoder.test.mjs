// The package's decoders (the core compiled to WebAssembly) over the protocol record corpus,
// with the expectations of the C++ protocol tests, and over bad input.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { loadCorpus } from './corpus.mjs';

const QelScale = await import(`${process.env.QELSCALE_PACKAGE}/index.js`);
const corpusDir = process.env.QEL_CORPUS_DIR;

const kErrors = { motion: 'no-reading', overload: 'overload', 'under-zero': 'under-zero', busy: 'scale-busy' };
const kReplies = { ack: 'acknowledged', refused: 'refused', busy: 'busy' };

function twice(bytes) {
  const out = new Uint8Array(bytes.length * 2);
  out.set(bytes);
  out.set(bytes, bytes.length);
  return out;
}

function expectAsDocumented(decoder, record) {
  const where = `${decoder.protocol}.txt line ${record.line} ${JSON.stringify(record.text)}`;
  const readings = decoder.push(twice(record.bytes));
  if (record.kind === 'ack' || record.kind === 'refused' || record.kind === 'none') {
    assert.deepEqual(readings, [], `${where}: a command answer or a bare status is no reading`);
  } else if (record.kind) {
    assert.ok(readings.length >= 1, `${where}: no reading`);
    const reading = readings[0];
    assert.equal(reading.protocol, decoder.protocol, where);
    if (record.kind === 'weight') {
      assert.equal(reading.ok, true, where);
      assert.equal(reading.text, record.value, where);
      assert.equal(reading.value, Number(record.value), where);
      assert.equal(reading.unit, record.unit ?? null, where);
      assert.equal(reading.net, record.net === undefined ? null : record.net === 'yes', where);
      assert.equal(reading.tare, record.tare === undefined ? null : Number(record.tare), where);
      if (record.stable !== undefined) assert.equal(reading.stable, record.stable === 'yes', where);
      else assert.notEqual(reading.stable, true, `${where}: stable on its first frame`);
    } else {
      assert.equal(reading.ok, false, where);
      assert.equal(reading.value, null, where);
      assert.equal(reading.text, '0', where);
      assert.equal(reading.stable, false, where);
      assert.equal(reading.error, kErrors[record.kind], where);
    }
  }
  if (record.zero) assert.equal(decoder.reply('zero', record.bytes), kReplies[record.zero], where);
  if (record['tare-reply']) assert.equal(decoder.reply('tare', record.bytes), kReplies[record['tare-reply']], where);
}

test('every documented record reads as its manual says', async () => {
  const ids = await QelScale.protocols();
  assert.equal(ids[0], 'qel');
  for (const id of ids) {
    const records = loadCorpus(corpusDir, id);
    assert.ok(records.length > 0, id);
    for (const record of records) {
      const decoder = await QelScale.decoder(id);
      expectAsDocumented(decoder, record);
      decoder.free();
    }
  }
});

test('a stream cut anywhere gives the same readings as whole frames', async () => {
  for (const id of await QelScale.protocols()) {
    const records = loadCorpus(corpusDir, id).filter((r) => r.kind === 'weight' && r.sent !== 'no');
    const stream = Uint8Array.from(records.flatMap((r) => [...r.bytes, ...r.bytes]));
    const whole = await QelScale.decoder(id);
    const cut = await QelScale.decoder(id);
    const expected = whole.push(stream).map((r) => r.text);
    const got = [];
    for (let at = 0; at < stream.length; at += 3) got.push(...cut.push(stream.subarray(at, at + 3)).map((r) => r.text));
    assert.deepEqual(got, expected, id);
    assert.ok(expected.length >= records.length, id);
  }
});

test('readings carry the fields of /v1/weight in its order, text in the format asked', async () => {
  const decoder = await QelScale.decoder('mt-sics', { port: 'COM3', decimalSeparator: ',', leadingZero: false });
  const [reading] = decoder.push(new TextEncoder().encode('S S      0.250 kg\r\n'));
  assert.deepEqual(Object.keys(reading), ['port', 'ok', 'value', 'text', 'stable', 'at', 'protocol', 'unit', 'net', 'tare']);
  assert.equal(reading.port, 'COM3');
  assert.equal(reading.text, ',250');
  assert.equal(reading.value, 0.25);
  assert.match(reading.at, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);
  const [fault] = decoder.push(new TextEncoder().encode('S +\r\n'));
  assert.deepEqual(Object.keys(fault).slice(-2), ['error', 'message']);
});

test('a protocol without a motion flag is stable once its value held for stableMs', async () => {
  const record = loadCorpus(corpusDir, 'qel').find((r) => r.kind === 'weight');
  const held = await QelScale.decoder('qel', { stableMs: 0 });
  assert.equal(held.push(twice(record.bytes))[0].stable, true);
  const waiting = await QelScale.decoder('qel', { stableMs: 60000 });
  assert.equal(waiting.push(twice(record.bytes))[0].stable, false);
});

test('garbage, cut records and unknown ids end in readings or errors, never a throw', async () => {
  await assert.rejects(QelScale.decoder('no-such-protocol'), (error) => error.code === 'not-supported');
  let seed = 7;
  const random = () => (seed = (seed * 1103515245 + 12345) % 2 ** 31) & 0xff;
  for (const id of await QelScale.protocols()) {
    const decoder = await QelScale.decoder(id);
    for (let round = 0; round < 50; ++round) {
      const bytes = Uint8Array.from({ length: 1 + (random() % 200) }, random);
      for (const reading of decoder.push(bytes)) {
        assert.equal(typeof reading.ok, 'boolean');
        if (!reading.ok) assert.equal(typeof reading.error, 'string');
      }
    }
    assert.deepEqual(decoder.push(new Uint8Array(0)), []);
    decoder.free();
    assert.throws(() => decoder.push(new Uint8Array(1)), /after free/);
  }
});
