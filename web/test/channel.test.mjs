// The sealed channel's receive rules and bounds, on messages sealed by the native build, and
// the viewer's reading of relay messages before the channel exists.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { core, vectors, unhex } from './helpers.mjs';

const { sendKey, receiveKey, sealed } = vectors.channel;
const receiver = () => core.SealedChannel.create(unhex(receiveKey), unhex(sendKey));
const native = (sequence) => unhex(sealed[sequence - 1].sealed);
const altered = (bytes, at, value) => {
  const copy = bytes.slice();
  copy[at] = value ?? copy[at] ^ 1;
  return copy;
};

test('sequences must rise strictly; gaps are taken; refusals change nothing', async () => {
  const channel = await receiver();
  const steps = [
    [2, true], // a gap from 0
    [2, false], // replay
    [1, false], // older
    [5, true], // gap
    [4, false], // older than the last accepted
    [6, true],
  ];
  for (const [sequence, opens] of steps) {
    assert.equal((await channel.open(native(sequence))) !== null, opens, `sequence ${sequence}`);
  }
  // Concurrent opens are applied in call order: the later sequence wins, the earlier is refused.
  const fresh = await receiver();
  const [a, b] = await Promise.all([fresh.open(native(3)), fresh.open(native(2))]);
  assert.deepEqual([a?.sequence, b], [3n, null]);
});

test('malformed sealed messages are refused and leave the channel usable', async () => {
  const first = native(1);
  const empty = native(6); // a plaintext of 0 bytes: exactly 28 bytes sealed
  assert.equal(empty.length, 28);
  const cases = [
    ['27 bytes', empty.slice(0, 27)],
    ['magic', altered(first, 0)],
    ['magic second byte', altered(first, 1)],
    ['version', altered(first, 2, 2)],
    ['kind 0', altered(first, 3, 0)],
    ['kind changed', altered(first, 3, 4)],
    ['sequence changed', altered(first, 11, 7)],
    ['sequence 0', altered(first, 11, 0)],
    ['ciphertext bit', altered(first, 20)],
    ['tag bit', altered(first, first.length - 1)],
    ['truncated tag', first.slice(0, first.length - 1)],
    ['over 8 MiB', new Uint8Array(core.MAX_SEALED_SIZE + 1)],
  ];
  const channel = await receiver();
  for (const [what, bytes] of cases) assert.equal(await channel.open(bytes), null, what);
  const opened = await channel.open(first);
  assert.equal(opened?.sequence, 1n);
  assert.equal((await channel.open(empty))?.plaintext.length, 0);
});

test('sealing bounds: kinds 1-255, plaintexts up to 8388580 bytes, nothing after close', async () => {
  const channel = await core.SealedChannel.create(unhex(sendKey), unhex(receiveKey));
  for (const kind of [0, 256, 1.5]) {
    await assert.rejects(channel.seal(kind, new Uint8Array(1)), /Invalid encrypted message size or kind/);
  }
  await assert.rejects(channel.seal(5, new Uint8Array(core.MAX_SEALED_PLAINTEXT + 1)), /Invalid encrypted message size or kind/);
  const largest = await channel.seal(5, new Uint8Array(core.MAX_SEALED_PLAINTEXT));
  assert.equal(largest.length, core.MAX_SEALED_SIZE);
  // The refused calls used no sequence number: the first sealed message carries 1.
  assert.equal(new DataView(largest.buffer).getBigUint64(4), 1n);
  const opened = await receiver().then((r) => r.open(largest));
  assert.equal(opened?.plaintext.length, core.MAX_SEALED_PLAINTEXT);
  channel.close();
  await assert.rejects(channel.seal(4, new Uint8Array(1)), /Channel closed/);
});

test('relay messages are bounded and typed before the viewer acts on them', () => {
  const refused = [
    ['x'.repeat(16385), 'text limit'],
    [`{"type":"connected","pad":"${'é'.repeat(8180)}"}`, 'text limit'], // fewer characters, more bytes
    ['[1]', 'not an object'],
    ['{"type":5}', 'type: not a string'],
    ['{"type":"authChallenge","requestId":"r","message":"m"}', 'confirmation: missing'],
    ['{"type":"authChallenge","requestId":1,"message":"m","confirmation":"c"}', 'requestId: not a string'],
    ['{"type":"peerDisconnected","requestId":null}', 'requestId: not a string'],
  ];
  for (const [input, reason] of refused) {
    assert.throws(() => core.readRelayText(input), (e) => e instanceof core.ProtocolError && e.message === reason, reason);
  }
  assert.deepEqual(core.readRelayText(`{"type":"connected","pad":"${'x'.repeat(16350)}"}`), { type: 'connected', requestId: '' });
  assert.deepEqual(core.readRelayText('{"type":"registered","protocol":"junk"}'), { type: 'ignored', name: 'registered' });
  assert.deepEqual(core.readRelayText('{"requestId":7}'), { type: 'ignored', name: '' });
  assert.deepEqual(core.readRelayText('{"type":"error"}'), { type: 'error', code: '' });
});

test('the viewer takes relay steps only in their order, and deadlines end the attempt', async () => {
  const start = () => core.ViewerConnection.start('123456789', 'ABCD2345', 0, () => {}).connection;
  const challenge = (requestId) =>
    JSON.stringify({ type: 'authChallenge', requestId, message: '58'.repeat(32), confirmation: '00'.repeat(32) });
  const cases = [
    ['connected before the challenge', async (c) => c.handleText('{"type":"connected","requestId":""}', 1), 'unauthenticated connection'],
    ['a challenge after 50 s', async (c) => c.handleText(challenge('0'.repeat(32)), 50000), 'unsolicited PAKE challenge'],
    ['a challenge of an uppercase request', async (c) => c.handleText(challenge('A'.repeat(32)), 1), 'request binding'],
    ['a wrong host confirmation', async (c) => c.handleText(challenge('0'.repeat(32)), 1), 'host confirmation'],
    ['a binary message before connected', async (c) => c.handleBinary(new Uint8Array(40), 1), 'not approved'],
    ['a relay text over the limit', async (c) => c.handleText('x'.repeat(16385), 1), 'text limit'],
  ];
  for (const [what, act, reason] of cases) {
    const step = await act(start());
    assert.deepEqual([step.ended, step.status, step.reason], [true, 'Security verification failed', reason], what);
  }
  const waiting = start();
  assert.equal(waiting.tick(49999).ended, false);
  const expired = waiting.tick(50000);
  assert.deepEqual([expired.ended, expired.status], [true, 'Connection timed out']);
  const other = start();
  assert.equal((await other.handleText('{"type":"peerDisconnected","requestId":"' + 'f'.repeat(32) + '"}', 1)).ended, false);
  assert.equal((await other.handleText('{"type":"error","code":"updateRequired"}', 1)).status, 'Connection closed - refresh your ID');
  assert.throws(() => core.ViewerConnection.start('12345678', 'ABCD2345', 0, () => {}), core.InvalidInput);
  assert.throws(() => core.ViewerConnection.start('123456789', 'ABCD234I', 0, () => {}), core.InvalidInput);
});
