// What the service's own page asks of the package, against the real service and the virtual
// scale: its ports, a reading and commands on an on-demand port, the token, and a live
// stream that waits for a service not there yet and says so.
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { Service, VirtualScale, directory, freePort } from './service_harness.mjs';

const QelScale = await import(`${process.env.QELSCALE_PACKAGE}/index.js`);

let live;
let onDemand;

before(async () => {
  live = await VirtualScale.start('--weight', '1.250');
  onDemand = await VirtualScale.start('--protocol', 'mt-sics', '--weight', '3.125');
});

after(async () => {
  await live?.close();
  await onDemand?.close();
});

function nextReading(scale, predicate) {
  return new Promise((resolve) => {
    const listener = (event) => {
      if (!predicate(event.detail)) return;
      scale.removeEventListener('reading', listener);
      resolve(event.detail);
    };
    scale.addEventListener('reading', listener);
  });
}

test('the ports, a reading and commands on an on-demand port, with and without the token', { timeout: 20000 }, async () => {
  const tokenFile = join(directory, 'token-api');
  writeFileSync(tokenFile, 'abcdefghijklmnop0123\n', { mode: 0o600 });
  const service = await Service.start('127.0.0.1:0', '--token-file', tokenFile, '--stream', live.link, '--port', `${onDemand.link}?protocol=mt-sics`);
  try {
    const token = 'abcdefghijklmnop0123';
    const url = service.url;
    await assert.rejects(QelScale.listPorts({ url }), (error) => error instanceof QelScale.ScaleError && error.code === 'token-required');
    await assert.rejects(QelScale.listPorts({ url, token: 'wrong-token-0123456' }), (error) => error.code === 'token-required');

    const { ports, available } = await QelScale.listPorts({ url, token });
    assert.ok(Array.isArray(available));
    const byName = Object.fromEntries(ports.map((port) => [port.port, port]));
    assert.equal(byName[live.link].mode, 'stream');
    assert.equal(byName[live.link].protocol, undefined, 'a port named without options shows no protocol');
    assert.equal(byName[onDemand.link].mode, 'on-demand');
    assert.equal(byName[onDemand.link].protocol, 'mt-sics');
    assert.deepEqual(byName[onDemand.link].commands, ['zero', 'tare']);

    const port = onDemand.link;
    const reading = await QelScale.read({ url, port, token });
    assert.equal(reading.port, port);
    assert.equal(reading.value, 3.125);
    await assert.rejects(QelScale.read({ url, port }), (error) => error.code === 'token-required');
    await assert.rejects(QelScale.read({ url, port: '/dev/no-such-port', token }), (error) => error.code === 'unknown-port');

    await QelScale.command({ url, port, token }, 'tare');
    assert.equal((await QelScale.read({ url, port, token })).value, 0);
    await onDemand.command('commands refuse');
    await assert.rejects(QelScale.command({ url, port, token }, 'zero'), (error) => error.code === 'command-refused');
    await assert.rejects(QelScale.command({ url, port: live.link, token }, 'zero'), (error) => error.code === 'not-supported');
    await assert.rejects(QelScale.command({ url, port }, 'zero'), (error) => error.code === 'token-required');
  } finally {
    await service.close();
  }
  const nobody = `http://127.0.0.1:${await freePort()}`;
  await assert.rejects(QelScale.listPorts({ url: nobody }), (error) => error.code === 'no-answer');
  await assert.rejects(QelScale.read({ url: nobody, port: 'x' }), (error) => error.code === 'no-answer');
});

test('watch waits for a service not there yet, says when it is lost and reads again when it is back', { timeout: 30000 }, async () => {
  const listen = `127.0.0.1:${await freePort()}`;
  const scale = QelScale.watch({ url: `http://${listen}`, port: live.link });
  let service;
  try {
    await once(scale, 'unreachable');
    assert.equal(scale.latest, null);
    const first = nextReading(scale, (r) => r.ok);
    const connected = once(scale, 'connect');
    service = await Service.start(listen, '--stream', live.link);
    await connected;
    assert.equal((await first).value, 1.25);

    const lost = once(scale, 'disconnect');
    await service.close();
    await lost;
    await once(scale, 'unreachable');
    await live.command('weight 2.5');
    const back = nextReading(scale, (r) => r.ok && r.value === 2.5);
    service = await Service.start(listen, '--stream', live.link);
    assert.equal((await back).text, '2.500');
  } finally {
    await scale.close();
    await service?.close();
  }
  // Closed, it tries no more (each try would say "unreachable").
  let events = 0;
  for (const name of ['reading', 'connect', 'unreachable']) scale.addEventListener(name, () => events++);
  await new Promise((resolve) => setTimeout(resolve, 300));
  assert.equal(events, 0);
});
