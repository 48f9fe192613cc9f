// The real service and the virtual scale for the node tests, started as
// tests/service/service_harness.py starts them. QELSCALED and QEL_VIRTUAL_SCALE name them.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtempSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';

export const directory = mkdtempSync(join(tmpdir(), 'qelscale-web-'));
process.on('exit', () => rmSync(directory, { recursive: true, force: true }));

function lines(stream) {
  const reader = createInterface({ input: stream });
  const waiting = [];
  const queued = [];
  reader.on('line', (line) => (waiting.length ? waiting.shift()(line) : queued.push(line)));
  reader.on('close', () => waiting.splice(0).forEach((resolve) => resolve(undefined)));
  return () => (queued.length ? Promise.resolve(queued.shift()) : new Promise((resolve) => waiting.push(resolve)));
}

let scales = 0;

export class VirtualScale {
  static async start(...args) {
    const link = join(directory, `scale-${++scales}`);
    const process = spawn(globalThis.process.env.QEL_VIRTUAL_SCALE, ['--symlink', link, ...args], { stdio: ['pipe', 'pipe', 'inherit'] });
    const scale = new VirtualScale(process, link);
    await scale.next();
    return scale;
  }

  constructor(process, link) {
    this.process = process;
    this.link = link;
    this.next = lines(process.stdout);
  }

  async command(line) {
    this.process.stdin.write(`${line}\n`);
    const answer = await this.next();
    if (answer !== 'ok') throw new Error(`virtual scale: ${line} -> ${answer}`);
  }

  async close() {
    if (this.process.exitCode !== null) return;
    this.process.kill();
    await once(this.process, 'exit');
  }
}

// A loopback port free now, for a service restarted on the same address.
export async function freePort() {
  const server = createServer();
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  const { port } = server.address();
  server.close();
  await once(server, 'close');
  return port;
}

export class Service {
  static async start(listen, ...args) {
    const process = spawn(globalThis.process.env.QELSCALED, ['--listen', listen, ...args], {
      stdio: ['ignore', 'pipe', 'pipe'],
      env: { ...globalThis.process.env, LC_ALL: 'C' },
    });
    let log = '';
    process.stderr.on('data', (chunk) => (log += chunk));
    const line = await lines(process.stdout)();
    if (!line?.startsWith('listening on http://')) throw new Error(`qelscaled did not start: ${line} ${log}`);
    const service = new Service(process);
    service.url = line.slice('listening on '.length).replace(/\/$/, '');
    return service;
  }

  constructor(process) {
    this.process = process;
  }

  async close() {
    if (this.process.exitCode !== null) return;
    this.process.kill();
    await once(this.process, 'exit');
  }
}
