// The browser bundle (global QelScale): the wasm is read from beside the script that loaded it.
import { setWasmSource } from './wasm.js';

const script = typeof document !== 'undefined' ? (document.currentScript as HTMLScriptElement | null) : null;
setWasmSource(new URL('qelscale.wasm', script?.src || globalThis.location?.href));

export * from './api.js';
