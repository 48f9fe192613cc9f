// Decode cost per frame of the wasm decoders in node, the figure set beside the native
// benchmarks/qel_protocol_bench: 15 runs of 2000 frames in one push (median), then 20000
// pushes of one frame each. Each reading is composed, parsed and time-stamped as push() gives it.
//   node web/bench/decode_bench.mjs [PACKAGE_DIR]   (default build/linux/web/package)
import { resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

const packageDir = resolve(process.argv[2] ?? 'build/linux/web/package');
const QelScale = await import(pathToFileURL(`${packageDir}/index.js`).href);
const encoder = new TextEncoder();
const samples = [
  ['qel', '=432.100'],
  ['mt-sics', 'S S      1.234 kg\r\n'],
  ['cas', 'ST,GS,+002.468 kg\r\n'],
];

for (const [id, frame] of samples) {
  const decoder = await QelScale.decoder(id);
  const batch = encoder.encode(frame.repeat(2000));
  for (let i = 0; i < 20; ++i) decoder.push(batch);
  const runs = [];
  for (let run = 0; run < 15; ++run) {
    const start = performance.now();
    const readings = decoder.push(batch);
    runs.push(((performance.now() - start) * 1e6) / readings.length);
  }
  runs.sort((a, b) => a - b);
  const one = encoder.encode(frame);
  const start = performance.now();
  for (let i = 0; i < 20000; ++i) decoder.push(one);
  const single = ((performance.now() - start) * 1e6) / 20000;
  console.log(`${id.padEnd(10)} median ${runs[7].toFixed(0).padStart(6)} ns/frame (2000 a push), ` +
    `${single.toFixed(0).padStart(6)} ns/frame (one a push)`);
  decoder.free();
}
