// The relay messages of the viewer: the two it writes and the validation of those it reads.
// Every reading failure throws ProtocolError; the caller ends the attempt and shows
// "Security verification failed".

import { utf8 } from './bytes.js';
import {
  defaultString,
  fail,
  parseMessage,
  requireObject,
  requireString,
  serialize,
  RELAY_TEXT_LIMIT,
} from './json.js';
import { isValidDeviceId, parsePairingString } from './pairing.js';

export const RELAY_PROTOCOL = 3;
export const PROGRAM_BUILD = '0.3.9';

// The viewer's "register": the host's ID and the pairing string, never the password.
export function registerViewerText(hostId: string, pairingString: string): string {
  if (!isValidDeviceId(hostId) || !parsePairingString(pairingString)) throw new Error('register fields');
  return serialize({
    type: 'register',
    role: 'viewer',
    protocol: RELAY_PROTOCOL,
    sessionId: hostId,
    password: pairingString,
    build: PROGRAM_BUILD,
  });
}

export function authResponseText(requestId: string, confirmationHex: string): string {
  return serialize({ type: 'authResponse', requestId, confirmation: confirmationHex });
}

export type RelayMessage =
  | { type: 'authChallenge'; requestId: string; message: string; confirmation: string }
  | { type: 'connected'; requestId: string }
  | { type: 'peerDisconnected'; requestId: string }
  | { type: 'error'; code: string }
  | { type: 'ignored'; name: string };

// Reads one relay text message as the viewer does: at most 16,384 bytes of UTF-8 ("text
// limit"), the bounded parse, an object, "type" as text (empty when absent). Messages that a
// viewer does not handle are "ignored" without reading further members.
export function readRelayText(data: string | Uint8Array): RelayMessage {
  const bytes = typeof data === 'string' ? utf8(data) : data;
  if (bytes.length > RELAY_TEXT_LIMIT) fail('text limit');
  const message = requireObject(parseMessage(bytes));
  const type = defaultString(message, 'type');
  switch (type) {
    case 'authChallenge':
      return {
        type,
        requestId: defaultString(message, 'requestId'),
        message: requireString(message, 'message'),
        confirmation: requireString(message, 'confirmation'),
      };
    case 'connected':
    case 'peerDisconnected':
      return { type, requestId: defaultString(message, 'requestId') };
    case 'error':
      return { type, code: defaultString(message, 'code') };
    default:
      return { type: 'ignored', name: type };
  }
}
