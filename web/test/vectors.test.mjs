// The core against known answers written by the native build: the key schedule, the sealed
// channel byte for byte in both directions, and the exact text of every message a viewer writes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { core, vectors, hex, unhex } from './helpers.mjs';

test('key schedule and confirmations equal the native ones', async () => {
  assert.ok(vectors.schedule.length >= 3);
  for (const v of vectors.schedule) {
    const s = await core.derivePakeSchedule(unhex(v.sharedKey), v.deviceId, v.nonce, v.requestId);
    assert.deepEqual(
      [hex(s.hostToViewer), hex(s.viewerToHost), hex(s.hostConfirmation), hex(s.viewerConfirmation)],
      [v.hostToViewer, v.viewerToHost, v.hostConfirmation, v.viewerConfirmation],
      `schedule for ${v.deviceId}`,
    );
  }
});

test('native sealed messages open in order, and the core seals the same bytes', async () => {
  const { sendKey, receiveKey, sealed } = vectors.channel;
  // The native channel sealed with sendKey: a receiver opens with it, a twin sealer reproduces it.
  const receiver = await core.SealedChannel.create(unhex(receiveKey), unhex(sendKey));
  const twin = await core.SealedChannel.create(unhex(sendKey), unhex(receiveKey));
  const kinds = new Set();
  for (const v of sealed) {
    const opened = await receiver.open(unhex(v.sealed));
    assert.ok(opened, `sequence ${v.sequence} opens`);
    assert.deepEqual([opened.kind, opened.sequence, hex(opened.plaintext)], [v.kind, BigInt(v.sequence), v.plaintext]);
    assert.equal(hex(await twin.seal(v.kind, unhex(v.plaintext))), v.sealed, `sequence ${v.sequence} seals alike`);
    kinds.add(v.kind);
  }
  assert.deepEqual([...kinds].sort(), [1, 2, 3, 4, 5]);
});

test('the messages a viewer writes are the native texts byte for byte', () => {
  const m = vectors.messages;
  const offer = JSON.parse(m.register).password;
  const control = new core.ViewerControl({ files: true, clipboard: false });
  control.screens = [{}, {}];
  const regions = new core.ViewerControl({ files: true, clipboard: false });
  Object.assign(regions, { peerRegionFrames: true, epoch: 2147483647 });
  const written = {
    register: core.registerViewerText('123456789', offer),
    authResponse: core.authResponseText('0123456789abcdef0123456789abcdef', 'c'.repeat(64)),
    helloAck: control.helloAckText(),
    frameAck: control.frameAckText(2, 2147483647),
    frameRequest: regions.frameRequestText(),
    ping: control.pingText(18446744073709551615n),
    permissions: new core.ViewerControl({ files: false, clipboard: true }).permissionsText(),
    selectDisplay: control.selectDisplayText(1, 3),
    releaseInput: control.releaseInputText(),
  };
  assert.deepEqual(written, m);
});
