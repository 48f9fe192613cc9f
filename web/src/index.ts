// The ES module: the wasm is read from beside this file.
import { setWasmSource } from './wasm.js';

setWasmSource(new URL('./qelscale.wasm', import.meta.url));

export * from './api.js';
