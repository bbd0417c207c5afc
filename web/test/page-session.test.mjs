// The page's session against the program's own host code (the native reference peer): the socket
// and the image decoder are stand-ins, everything between them is the page's. A frame is
// acknowledged, input and the page's control messages arrive as the host reads them, chat and
// files flow, and a malformed frame ends the session with every picture and secret dropped.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { hex, unhex, text, NativePeer } from './helpers.mjs';

class FakeSocket {
  static OPEN = 1;
  constructor(url) {
    this.url = url;
    this.readyState = 1;
    this.sent = [];
    sockets.push(this);
  }
  send(message) {
    this.sent.push(message);
    poke();
  }
  close() {
    this.closed = true;
    this.readyState = 3;
  }
}
const sockets = [];
globalThis.WebSocket = FakeSocket;
globalThis.window = { setInterval: () => 1, clearInterval: () => undefined };
let decodedWidth = null; // set to make the "decoder" report another size
globalThis.createImageBitmap = async (blob) => {
  const header = page.checkJpegMarkers(new Uint8Array(await blob.arrayBuffer()));
  if (!header) throw new Error('not decodable');
  return { width: decodedWidth ?? header.width, height: header.height, close() { this.closed = true; } };
};
// The retained picture once changes are composed onto it: records what is drawn into it.
globalThis.OffscreenCanvas = class {
  constructor(width, height) {
    Object.assign(this, { width, height, draws: [] });
  }
  getContext() {
    return { drawImage: (image, ...at) => this.draws.push([image.width, image.height, ...at]) };
  }
};
const { page } = await import('./page-helpers.mjs');

const peer = new NativePeer();
after(() => peer.close());

const REQUEST = '0123456789abcdef0123456789abcdef';
const enc = (s) => new TextEncoder().encode(s);
const jpeg = new Uint8Array(readFileSync(new URL('../../native/screen/testdata/baseline.jpg', import.meta.url)));
const HELLO = JSON.stringify({
  op: 'hello', version: 3, build: '0.3.9', captureStatus: true, inputStatus: true, clipboardSync: true,
  screens: [{ width: 1920, height: 1080, hz: 60, primary: true }], epoch: 1, selected: 0, profile: 0,
  control: true, files: true, clipboard: true,
});

// Waits for a state of the session; checked whenever the page sends or tells its page something.
const waiters = new Set();
function poke() {
  for (const waiter of [...waiters]) {
    if (waiter.check()) {
      waiters.delete(waiter);
      waiter.resolve();
    }
  }
}
function until(check) {
  return check() ? Promise.resolve() : new Promise((resolve) => waiters.add({ check, resolve }));
}

function frame(epoch, seq, body) {
  const out = new Uint8Array(8 + body.length);
  new DataView(out.buffer).setUint32(0, epoch);
  new DataView(out.buffer).setUint32(4, seq);
  out.set(body, 8);
  return out;
}

// A session of the page paired with the native host, hello done.
async function connected(hello = HELLO) {
  const events = { status: [], changed: 0, ended: 0, files: [], drawn: [] };
  const session = page.Session.connect('ws://relay.test/ws', '123 456 789', 'abcd-2345', {
    status: (key) => (events.status.push(key), poke()),
    changed: () => (events.changed++, poke()),
    drawn: (area) => (events.drawn.push(area), poke()),
    ended: () => (events.ended++, poke()),
    fileReceived: (name, blob) => (events.files.push({ name, blob }), poke()),
  });
  const socket = sockets.at(-1);
  socket.onopen();
  const register = JSON.parse(socket.sent[0]);
  assert.deepEqual(await peer.ask({ cmd: 'host', id: '123456789', password: 'ABCD2345' }), { ok: true });
  const challenge = await peer.ask({ cmd: 'relay', text: JSON.stringify({ type: 'connectRequest', requestId: REQUEST, password: register.password }) });
  socket.onmessage({ data: challenge.send });
  await until(() => socket.sent.length === 2);
  assert.equal((await peer.ask({ cmd: 'relay', text: socket.sent[1] })).confirmed, true);
  socket.onmessage({ data: JSON.stringify({ type: 'connected', requestId: REQUEST }) });
  const send = async (kind, data) => {
    const sealed = unhex((await peer.ask({ cmd: 'seal', kind, data: hex(data) })).sealed);
    socket.onmessage({ data: sealed.buffer.slice(sealed.byteOffset, sealed.byteOffset + sealed.length) });
  };
  await send(3, enc(REQUEST));
  await send(4, enc(hello));
  await until(() => session.control?.helloComplete && socket.sent.length === 3);
  let read = 2;
  // What the page sent since the last call, opened by the host: [kind, text].
  const opened = async () => {
    const out = [];
    for (; read < socket.sent.length; read++) {
      const reply = await peer.ask({ cmd: 'open', sealed: hex(socket.sent[read]) });
      assert.equal(reply.opened, true, `message ${read}`);
      out.push([reply.kind, reply.kind === 5 ? unhex(reply.data) : text(unhex(reply.data))]);
    }
    return out;
  };
  assert.deepEqual((await opened()).map(([kind, t]) => [kind, JSON.parse(t).op]), [[4, 'helloAck']]);
  return { session, socket, events, send, opened };
}

test('frames are acknowledged, input and the page\'s control messages reach the host in order', { timeout: 60000 }, async () => {
  const { session, socket, events, send, opened } = await connected();
  assert.deepEqual(events.status, ['Connecting securely', 'Connecting securely', 'Both devices need version 0.3 or later', 'End-to-end encrypted']);
  await send(1, frame(1, 1, jpeg));
  await send(1, frame(2, 5, jpeg)); // another epoch: dropped, not acknowledged
  await send(1, frame(1, 2, jpeg));
  await until(() => session.figures.frames === 2);
  assert.deepEqual([session.picture.width, session.picture.height], [128, 24]);
  session.sendInput('keydown', 0, 0, 0, 65);
  session.sendInput('down', 65535, 0, 1, 0);
  session.releaseInput();
  session.selectQuality(3);
  await until(() => socket.sent.length === 9);
  assert.deepEqual(await opened(), [
    [4, '{"epoch":1,"op":"frameAck","seq":1}'],
    [4, '{"epoch":1,"op":"frameAck","seq":2}'],
    [2, '{"action":"keydown","button":0,"epoch":1,"key":65,"x":0,"y":0}'],
    [2, '{"action":"down","button":1,"epoch":1,"key":0,"x":65535,"y":0}'],
    [4, '{"op":"releaseInput"}'],
    [4, '{"op":"selectDisplay","profile":3,"selected":0}'],
  ]);
  // The host switches control off: input is no longer sent; a new display epoch drops the picture.
  await send(4, enc('{"op":"permissions","control":false,"files":true,"clipboard":true}'));
  await until(() => session.control.hostControl === false);
  session.sendInput('keydown', 0, 0, 0, 66);
  await send(4, enc(HELLO.replace('"hello"', '"screen"').replace('"epoch":1', '"epoch":2').replace('"profile":0', '"profile":3')));
  await until(() => session.control.epoch === 2);
  assert.equal(session.picture, null);
  assert.deepEqual(await opened(), [], 'no input without the host\'s control permission');
  assert.ok(events.changed > 0);
  session.disconnect();
  assert.deepEqual([events.ended, socket.closed, session.ended], [1, true, true]);
});

test('chat and a file from the host arrive; a file of the page goes in chunks the host can read', { timeout: 60000 }, async () => {
  const { session, send, opened, events, socket } = await connected();
  await send(4, enc('{"op":"chat","text":"hello from the host"}'));
  const id = 'c'.repeat(32);
  await send(4, enc(`{"op":"fileOffer","id":"${id}","name":"notes.txt","size":5}`));
  await until(() => session.tools.offer);
  assert.deepEqual(session.tools.chatLog, ['\u2190 hello from the host']);
  session.tools.acceptOffer(1);
  const chunk = new Uint8Array([...enc(id), 0, 0, 0, 0, 0, 0, 0, 0, ...enc('hello')]);
  await send(5, chunk);
  await send(4, enc(`{"op":"fileFinish","id":"${id}","sha256":"2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"}`));
  await until(() => events.files.length === 1);
  assert.equal(events.files[0].name, 'notes.txt');
  assert.equal(await events.files[0].blob.text(), 'hello');

  session.tools.offerFile(new Blob([new Uint8Array(40000)]), 'data.bin', 1);
  await until(() => socket.sent.length === 7);
  const early = (await opened()).map(([kind, t]) => JSON.parse(t));
  assert.deepEqual(early.map((m) => m.op), ['fileAccept', 'fileAck', 'fileDone', 'fileOffer']);
  assert.deepEqual([early[1].next, early[3].name, early[3].size], [5, 'data.bin', 40000]);
  const sendId = early[3].id;
  await send(4, enc(`{"op":"fileAccept","id":"${sendId}"}`));
  await until(() => socket.sent.length === 9);
  const out = await opened();
  assert.deepEqual(out.map(([kind, data]) => [kind, data.length - 40, text(data.subarray(0, 32))]), [[5, 32768, sendId], [5, 40000 - 32768, sendId]]);
  // The host switches file offers off while ours waits for its acknowledgement: it is cancelled.
  await send(4, enc('{"op":"permissions","control":true,"files":false,"clipboard":true}'));
  await until(() => socket.sent.length === 10);
  assert.deepEqual(await opened(), [[4, `{"id":"${sendId}","op":"fileCancel"}`]]);
  assert.deepEqual([session.tools.sender, session.tools.status], [null, 'Cancelled']);
  session.disconnect();
});

test('a malformed frame or a picture of another size ends the session and drops everything', { timeout: 60000 }, async () => {
  for (const [name, message, reason] of [['8 bytes', frame(1, 1, []), 'frame header'], ['seq 0', frame(1, 0, jpeg), 'frame sequence'], ['decoded size', frame(1, 1, jpeg), 'invalid image']]) {
    const { session, send, events, socket } = await connected();
    await send(1, frame(1, 1, jpeg));
    await until(() => session.picture);
    decodedWidth = name === 'decoded size' ? 64 : null;
    await send(1, message);
    await until(() => session.ended);
    decodedWidth = null;
    assert.equal(events.status.at(-1), 'Security verification failed', `${name} (${reason})`);
    assert.deepEqual([session.picture, session.active, events.ended, socket.closed], [null, false, 1, true], name);
  }
});

test('a host streaming changed regions: composed, acknowledged, and a whole picture asked for when there is none', { timeout: 60000 }, async () => {
  const { session, socket, events, opened } = await connected(HELLO.replace('"clipboardSync":true', '"clipboardSync":true,"regionFrames":true'));
  assert.equal(session.control.regionFrames, true);
  // Sealed by the host in the order they are asked for: a change alone first, then a stream.
  const [change] = (await peer.ask({ cmd: 'regions', epoch: 1, width: 160, height: 96, pictures: 2, skipFirst: true })).stream;
  const { stream } = await peer.ask({ cmd: 'regions', epoch: 1, width: 160, height: 96, pictures: 9, skipFirst: false });
  assert.ok(stream.length >= 9 && stream.some((s) => s.copy) && stream[0].picture && stream.slice(1).some((s) => s.changed[2] < 160), 'a whole picture, then smaller changes');
  const deliver = (step) => {
    const sealed = unhex(step.sealed);
    socket.onmessage({ data: sealed.buffer.slice(sealed.byteOffset, sealed.byteOffset + sealed.length) });
  };
  // A change before any picture: acknowledged, then a whole picture is asked for.
  deliver(change);
  await until(() => socket.sent.length === 5);
  assert.deepEqual((await opened()).map(([, t]) => t), ['{"epoch":1,"op":"frameAck","seq":2}', '{"epoch":1,"op":"frameRequest"}']);
  assert.deepEqual([session.picture, events.drawn.length], [null, 0]);
  for (const step of stream) deliver(step);
  await until(() => session.figures.frames === stream.length + 1 && socket.sent.length === 5 + stream.length);
  const sent = (await opened()).map(([, t]) => JSON.parse(t));
  assert.deepEqual(sent.map((m) => [m.op, m.seq]), stream.map((s) => ['frameAck', s.ack[1]]));
  // The areas drawn are the native viewer's changed areas; the picture stays one canvas.
  assert.deepEqual(events.drawn.map((a) => [a.x, a.y, a.width, a.height]), stream.map((s) => s.changed).filter((c) => c[2] > 0));
  assert.deepEqual([session.received.regionFrames, session.picture.width, session.picture.height], [stream.length + 1, 160, 96]);
  // Drawn into the last whole picture's canvas: each rectangle, and each move once (from its copy).
  const since = stream.slice(stream.findLastIndex((s) => s.full));
  assert.equal(session.picture.draws.length, since.reduce((n, s) => n + s.rects + (s.copy ? 1 : 0), 0));
  session.disconnect();
});

test('a browser without OffscreenCanvas does not announce region frames and gets whole frames', { timeout: 60000 }, async () => {
  const saved = globalThis.OffscreenCanvas;
  delete globalThis.OffscreenCanvas;
  try {
    const { session } = await connected(HELLO.replace('"clipboardSync":true', '"clipboardSync":true,"regionFrames":true'));
    assert.deepEqual([session.control.peerRegionFrames, session.control.regionFrames], [true, false]);
    assert.ok(!session.control.helloAckText().includes('regionFrames'));
    session.disconnect();
  } finally {
    globalThis.OffscreenCanvas = saved;
  }
});
