// The viewer's protocol core: everything the page needs to pair with a host through the relay
// and talk over the sealed channel, with no browser or node API beyond WebCrypto.
export * from './bytes.js';
export * from './json.js';
export * from './spake2.js';
export * from './pairing.js';
export * from './channel.js';
export * from './relay.js';
export * from './control.js';
export * from './viewer.js';
export * from './frames.js';
