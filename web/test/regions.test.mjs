// Changed-region frames against the program's own builder, parser, encoder and viewer: every
// message of the native scenes (valid and each malformed one) is read by the core's parser and
// handled by its frame receiver, and what they do (the fields read, the refusal, the
// acknowledgement, the request for a whole picture, the area drawn and the composed picture) must
// be what the native viewer did with the same bytes.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { core, vectors, hex, unhex, NativePeer, byteCompositor, pictureHash } from './helpers.mjs';

const peer = new NativePeer();
after(() => peer.close());

const { epoch, scenes } = vectors.regions;

function parsed(message) {
  try {
    const f = core.parseRegionFrame(message);
    return {
      epoch: f.epoch, seq: f.seq, full: f.full, width: f.width, height: f.height,
      copy: f.copy && [f.copy.source.x, f.copy.source.y, f.copy.source.width, f.copy.source.height, f.copy.toX, f.copy.toY],
      rects: f.parts.map(({ rect, jpeg }) => [rect.x, rect.y, rect.width, rect.height, jpeg.byteOffset - message.byteOffset, jpeg.length]),
    };
  } catch (error) {
    if (!(error instanceof core.ProtocolError)) throw error;
    return { error: error.message };
  }
}

// What the receiver did, in the native vector's terms (only the keys the native side reports).
async function received(receiver, message, stream, keys) {
  let out;
  try {
    const r = await receiver.receive(message, stream);
    if (!r) return { dropped: true };
    const c = r.changed ?? { x: 0, y: 0, width: 0, height: 0 };
    const p = receiver.picture;
    out = { ack: [r.epoch, r.seq], needFull: r.needFull, changed: [c.x, c.y, c.width, c.height], picture: pictureHash(p), width: p?.width, height: p?.height };
  } catch (error) {
    if (!(error instanceof core.ProtocolError)) throw error;
    return { error: error.message };
  }
  return Object.fromEntries(keys.map((k) => [k, out[k]]));
}

test('every native scene: the same fields read, the same refusals, acknowledgements and pictures', async () => {
  assert.ok(scenes.length >= 40, 'the native writer covers the valid and the malformed messages');
  const refusals = new Set();
  for (const scene of scenes) {
    const receiver = new core.FrameReceiver(byteCompositor(peer));
    const stream = () => ({ epoch, regionFrames: true });
    for (const step of scene.steps) {
      const message = unhex(step.message);
      const what = `${scene.name}: ${step.what}`;
      // The native parser reads every message whole; the parse errors are the same words.
      assert.deepEqual(parsed(message), step.parsed, `${what} (parse)`);
      assert.deepEqual(await received(receiver, message, stream, Object.keys(step.expect)), step.expect, what);
      if (step.expect.error) refusals.add(step.expect.error);
    }
  }
  assert.deepEqual([...refusals].sort(), ['frame header', 'frame sequence', 'invalid image']);
});

test('damaged copies of the native messages: the core reads each as the program\'s parser does', async () => {
  const valid = scenes.flatMap((s) => s.steps).filter((step) => !step.parsed.error).map((step) => unhex(step.message));
  let seed = 0x2545f491;
  const random = (n) => {
    seed ^= seed << 13;
    seed ^= seed >>> 17;
    seed ^= seed << 5;
    return (seed >>> 0) % n;
  };
  const edges = [0, 1, 2, 3, 4, 15, 16, 47, 48, 63, 64, 65, 4320, 4321, 7680, 7681, 0x7fff, 0xffff];
  const outcomes = new Set();
  for (let i = 0; i < 600; i++) {
    let m = valid[random(valid.length)].slice();
    for (let edits = 1 + random(3); edits > 0; edits--) {
      const kind = random(4);
      if (kind === 0) m[8 + random(Math.min(m.length - 8, 48))] = random(256);
      else if (kind === 1) {
        const at = 8 + 2 * random(Math.min((m.length - 10) >> 1, 14));
        new DataView(m.buffer, m.byteOffset).setUint16(at, edges[random(edges.length)]);
      } else if (kind === 2) m = m.subarray(0, 8 + random(m.length - 7));
      else m = Uint8Array.from([...m, ...Array.from({ length: 1 + random(4) }, () => random(256))]);
      if (m.length <= 8) break;
    }
    const native = await peer.ask({ cmd: 'regionParse', message: hex(m) });
    assert.deepEqual(parsed(m), native, `damaged copy ${i}: ${hex(m.subarray(0, 40))}`);
    outcomes.add(native.error ?? 'read');
  }
  assert.deepEqual([...outcomes].sort(), ['frame header', 'read'], 'both refused and accepted copies were tried');
});

test('region messages are whole frames (and refused as pictures) unless both ends announced them', async () => {
  const partial = scenes.find((s) => s.name.startsWith('a whole picture')).steps;
  for (const [regionFrames, expect] of [[true, null], [false, 'invalid image']]) {
    const receiver = new core.FrameReceiver(byteCompositor(peer));
    const stream = () => ({ epoch, regionFrames });
    let error = null;
    try {
      await receiver.receive(unhex(partial[0].message), stream);
    } catch (e) {
      error = e.message;
    }
    assert.equal(error, expect, `regionFrames ${regionFrames}`);
  }
});

test('a stream that moves on while rectangles are decoded: dropped, or a whole picture asked for', async () => {
  const steps = scenes.find((s) => s.name.startsWith('a whole picture')).steps;
  const [whole, change] = [unhex(steps[0].message), unhex(steps[1].message)];
  for (const [what, during, expect] of [
    ['a new epoch', (state) => (state.epoch = epoch + 1), null],
    ['the session over', (state, flags) => (flags.over = true), null],
    ['the picture dropped', (state, flags, receiver) => receiver.dropPicture(), { needFull: true, changed: null }],
  ]) {
    const receiver = new core.FrameReceiver(byteCompositor(peer));
    const state = { epoch, regionFrames: true };
    const flags = { over: false, calls: 0 };
    await receiver.receive(whole, () => state);
    const before = pictureHash(receiver.picture);
    // The first look is before decoding, the second after it.
    const receipt = await receiver.receive(change, () => {
      if (flags.calls++ === 1) during(state, flags, receiver);
      return flags.over ? null : state;
    });
    assert.deepEqual(receipt && { needFull: receipt.needFull, changed: receipt.changed }, expect, what);
    if (!expect) assert.equal(pictureHash(receiver.picture), before, `${what}: the picture is left as it was`);
  }
});

test('the viewer announces region frames and asks for a whole picture with the native texts', () => {
  const control = new core.ViewerControl({ files: true, clipboard: false });
  assert.equal(control.helloAckText(), vectors.messages.helloAck);
  assert.throws(() => control.frameRequestText(), /not negotiated/);
  const hello = (extra) => core.requireObject(core.parseMessage(new TextEncoder().encode(JSON.stringify({
    op: 'hello', version: 3, screens: [{ width: 64, height: 48, hz: 60, primary: true }],
    epoch: 2147483647, selected: 0, profile: 0, control: true, files: true, clipboard: true, ...extra,
  }))));
  control.handle(hello({ regionFrames: true }), 0n);
  assert.equal(control.regionFrames, true);
  assert.equal(control.frameRequestText(), vectors.messages.frameRequest);
  // The capability is read anew with every hello; a wrong type is the native refusal.
  for (const [extra, regionFrames] of [[{}, false], [{ regionFrames: false }, false]]) {
    const c = new core.ViewerControl({ files: true, clipboard: false });
    c.handle(hello(extra), 0n);
    assert.equal(c.regionFrames, regionFrames, JSON.stringify(extra));
  }
  assert.throws(() => new core.ViewerControl({ files: true, clipboard: false }).handle(hello({ regionFrames: 1 }), 0n), { message: 'region capability' });
  const quiet = new core.ViewerControl({ files: true, clipboard: false }, false);
  quiet.handle(hello({ regionFrames: true }), 0n);
  assert.equal(quiet.regionFrames, false, 'a viewer that does not announce them gets none');
  assert.ok(!quiet.helloAckText().includes('regionFrames'));
});
