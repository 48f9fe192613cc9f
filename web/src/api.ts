// Everything the package offers, whichever way it is loaded.
export { ScaleError } from './reading.js';
export type { Reading, ErrorCode } from './reading.js';
export { Scale } from './scale.js';
export type { StableOptions } from './scale.js';
export { connect, watch } from './service.js';
export { listPorts, read, command } from './service_api.js';
export type { ServiceOptions, PortOptions, PortInfo, PortList } from './service_api.js';
export type { ConnectOptions } from './service.js';
export { decoder, protocols, setWasmSource, Decoder, hidReading } from './wasm.js';
export { openHid, hidFilters } from './hid.js';
export type { HidOptions } from './hid.js';
export { openSerial } from './serial.js';
export type { SerialOptions, SerialPortLike } from './serial.js';
export type { DecoderOptions, Reply, WasmSource, Line, Profile } from './wasm.js';
