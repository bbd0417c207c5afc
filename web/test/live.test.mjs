// Live pairings between the core and the program's own code running natively: the native host
// (PakeExchange, CryptoSession, the JSON codec of the program) against the viewer connection of
// the core with this test as the relay; and the core's host side against a native viewer.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { core, hex, unhex, text, NativePeer, byteCompositor, pictureHash } from './helpers.mjs';

const peer = new NativePeer();
after(() => peer.close());

const HOST_ID = '123456789';
const PASSWORD = 'ABCD2345';
const REQUEST = '0123456789abcdef0123456789abcdef';
const enc = (s) => new TextEncoder().encode(s);
const hello = (extra = {}) =>
  JSON.stringify({
    op: 'hello', version: 3, build: '0.3.9', captureStatus: true, inputStatus: true, clipboardSync: true,
    screens: [{ width: 1920, height: 1080, hz: 60, primary: true }, { width: 1280, height: 1024, hz: 75, primary: false }],
    epoch: 1, selected: 0, profile: 0, control: true, files: true, clipboard: false, ...extra,
  });

// Runs the relay's part between the core's viewer and a native host up to "connected".
// `sent` collects what the core gives its sink, in order.
async function pair({ typedPassword = 'abcd-2345', hostPassword = PASSWORD } = {}) {
  let now = 1000;
  const sent = [];
  const { connection, registerText } = core.ViewerConnection.start('123 456 789', typedPassword, now, (m) => sent.push(m), {
    files: true,
    clipboard: false,
  });
  const register = JSON.parse(registerText);
  assert.deepEqual([register.type, register.role, register.sessionId, register.protocol], ['register', 'viewer', HOST_ID, 3]);
  assert.ok(!registerText.includes(PASSWORD), 'the password never leaves the core');

  assert.deepEqual(await peer.ask({ cmd: 'host', id: HOST_ID, password: hostPassword }), { ok: true });
  const challenge = await peer.ask({
    cmd: 'relay',
    text: JSON.stringify({ type: 'connectRequest', requestId: REQUEST, password: register.password }),
  });
  assert.ok(challenge.send, JSON.stringify(challenge));
  const step = await connection.handleText(challenge.send, (now += 100));
  if (step.ended) return { connection, step, sent };
  assert.equal(sent.length, 1);
  const answer = await peer.ask({ cmd: 'relay', text: sent.shift() });
  assert.equal(answer.confirmed, true);
  const joined = await connection.handleText(JSON.stringify({ type: 'connected', requestId: REQUEST }), (now += 100));
  assert.equal(joined.status, 'Connecting securely');
  return { connection, step: joined, sent };
}

const seal = async (kind, data) => unhex((await peer.ask({ cmd: 'seal', kind, data: hex(data) })).sealed);

test('a native host pairs with the core and both directions of the channel carry messages', async () => {
  const { connection, sent } = await pair();
  const now = 5000;
  const frame = Uint8Array.from({ length: 4000 }, (_, i) => (i * 31) & 0xff);
  // The binding, the hello and a frame handed over at once, and control messages of the page
  // sent meanwhile: steps run in call order and the sink sees sequence order.
  const incoming = [[3, enc(REQUEST)], [4, enc(hello())], [1, frame], [4, enc('{"op":"ping","token":18446744073709551615}')]];
  const sealedIn = [];
  for (const [kind, data] of incoming) sealedIn.push(await seal(kind, data));
  const page = ['{"op":"frameAck","epoch":1,"seq":1}', connection.control.pingText(123456n), connection.control.releaseInputText()];
  const [bound, greeted, got, pinged] = await Promise.all([
    ...sealedIn.map((b) => connection.handleBinary(b, now)),
    ...page.map((m) => connection.sendControl(m)),
  ]);
  assert.deepEqual([bound.ended, bound.status, connection.active], [false, 'Both devices need version 0.3 or later', true]);
  assert.equal(greeted.status, 'End-to-end encrypted');
  assert.deepEqual(connection.control.screens[1], { width: 1280, height: 1024, hz: 75, primary: false });
  assert.deepEqual(got.frame, frame);
  assert.equal(pinged.ended, false);

  const expected = [connection.control.helloAckText(), '{"op":"pong","token":18446744073709551615}', ...page];
  assert.equal(sent.length, expected.length);
  for (const [i, message] of expected.entries()) {
    const opened = await peer.ask({ cmd: 'open', sealed: hex(sent[i]) });
    assert.deepEqual([opened.opened, opened.kind, text(unhex(opened.data))], [true, 4, message], `message ${i}`);
  }
  // A replayed message of the core is refused by the native channel.
  assert.equal((await peer.ask({ cmd: 'open', sealed: hex(sent.at(-1)) })).opened, false);
});

test('a native host streams changed regions through the channel; the composed pictures are the native viewer\'s', async () => {
  const { connection, sent } = await pair();
  await connection.handleBinary(await seal(3, enc(REQUEST)), 5000);
  await connection.handleBinary(await seal(4, enc(hello({ regionFrames: true }))), 5000);
  const ack = await peer.ask({ cmd: 'open', sealed: hex(sent.at(-1)) });
  assert.equal(JSON.parse(text(unhex(ack.data))).regionFrames, true, 'the viewer announced region frames');
  assert.equal(connection.control.regionFrames, true);
  // A page where text is typed and that scrolls, then rests and is refined.
  const { stream } = await peer.ask({ cmd: 'regions', epoch: 1, width: 640, height: 480, pictures: 10, skipFirst: false });
  assert.ok(stream.some((s) => s.copy) && stream.some((s) => !s.full && !s.copy), 'changes and scrolls');
  const receiver = new core.FrameReceiver(byteCompositor(peer));
  for (const [i, step] of stream.entries()) {
    const got = await connection.handleBinary(unhex(step.sealed), 6000);
    assert.ok(got.frame, `message ${i} opened as a frame`);
    const receipt = await receiver.receive(got.frame, () => connection.control);
    assert.deepEqual([receipt.epoch, receipt.seq, receipt.needFull], [...step.ack, step.needFull], `message ${i}`);
    assert.equal(pictureHash(receiver.picture), step.picture, `picture after message ${i}`);
  }
});

test('a wrong password fails the host confirmation and nothing is sent', async () => {
  const { connection, step, sent } = await pair({ typedPassword: 'ABCD2346' });
  assert.deepEqual([step.ended, step.status, step.reason, sent.length], [true, 'Security verification failed', 'host confirmation', 0]);
  assert.equal(connection.isEnded, true);
});

test('the session refuses what the host may not send, in every state', async () => {
  const cases = [
    ['a frame before the binding', [[1, enc('x'.repeat(9))]], 'wrong direction'],
    ['control before the binding', [[4, enc(hello())]], 'wrong direction'],
    ['a binding of another request', [[3, enc('f'.repeat(32))]], 'binding'],
    ['a second binding', [[3, enc(REQUEST)], [3, enc(REQUEST)]], 'wrong direction'],
    ['a frame before the hello', [[3, enc(REQUEST)], [1, enc('x'.repeat(9))]], 'wrong direction'],
    ['input to a viewer', [[3, enc(REQUEST)], [4, enc(hello())], [2, enc('{}')]], 'wrong direction'],
    ['an unknown kind', [[3, enc(REQUEST)], [4, enc(hello())], [9, enc('{}')]], 'wrong direction'],
    ['a ping before the hello', [[3, enc(REQUEST)], [4, enc('{"op":"ping","token":1}')]], 'features before hello'],
    ['control over 48000 bytes', [[3, enc(REQUEST)], [4, enc(`{"op":"hello","pad":"${'x'.repeat(47980)}"}`)]], 'control limit'],
    ['nesting five deep', [[3, enc(REQUEST)], [4, enc('{"op":"hello","a":{"b":{"c":{"d":{"e":1}}}}}')]], 'message nesting'],
    ['seventeen screens', [[3, enc(REQUEST)], [4, enc(hello({ screens: Array(17).fill({ width: 1, height: 1, hz: 60, primary: false }) }))]], 'display list'],
    ['a version 2 hello', [[3, enc(REQUEST)], [4, enc(hello({ version: 2 }))]], 'input range'],
    ['a build with a letter', [[3, enc(REQUEST)], [4, enc(hello({ build: '0.3.9a' }))]], 'build format'],
    ['a stale screen', [[3, enc(REQUEST)], [4, enc(hello({ epoch: 2 }))], [4, enc(hello({ op: 'screen', epoch: 2 }))]], 'stale display'],
    ['an unknown op', [[3, enc(REQUEST)], [4, enc(hello())], [4, enc('{"op":"selectDisplay","selected":0,"profile":0}')]], 'unknown feature'],
    ['input status error beyond 32 bits', [[3, enc(REQUEST)], [4, enc(hello())], [4, enc('{"op":"inputStatus","error":4294967296}')]], 'input error bound'],
    ['a second connected', [['relay', '{"type":"connected","requestId":"' + REQUEST + '"}']], 'duplicate'],
    ['capture status error beyond 32 bits', [[3, enc(REQUEST)], [4, enc(hello())], [4, enc('{"op":"captureStatus","epoch":1,"backend":1,"black":false,"desktop":true,"error":4294967296}')]], 'capture error bound'],
  ];
  for (const [what, messages, reason] of cases) {
    const { connection } = await pair();
    let last;
    for (const [kind, data] of messages) {
      last = kind === 'relay' ? await connection.handleText(data, 6000) : await connection.handleBinary(await seal(kind, data), 6000);
      if (last.ended) break;
    }
    assert.deepEqual([last.ended, last.status, last.reason], [true, 'Security verification failed', reason], what);
  }
});

test('the core as host pairs with a native viewer; a changed request ID or password is refused', async () => {
  const nonce = 'a'.repeat(32);
  // Several passwords, so that every step of the password scalar's adjustment is taken.
  const passwords = [PASSWORD, 'ZZZZ9999', 'AAAAAAAA', 'QWER7892', 'MNPQ2468', 'HJKL3579', 'XYZ23456', 'BCDFGHJK'];
  for (const [what, viewerPassword, hostPassword, hostRequest, confirmed] of [
    ...passwords.map((p) => [`password ${p}`, p, p, REQUEST, true]),
    ['another password', PASSWORD, 'ABCD2346', REQUEST, false],
    ['another request ID', PASSWORD, PASSWORD, 'f'.repeat(32), false],
  ]) {
    const { offer, error } = await peer.ask({ cmd: 'viewer', id: HOST_ID, password: viewerPassword, nonce });
    assert.ok(offer, `${what}: ${error}`);
    const parsed = core.parsePairingString(offer);
    const host = core.PakeExchange.create(hostPassword, HOST_ID, parsed.nonceHex, true);
    await host.process(parsed.messageHex, hostRequest);
    const reply = await peer.ask({
      cmd: 'challenge', requestId: REQUEST, message: host.ownMessageHex(), confirmation: host.ownConfirmationHex(),
    });
    assert.equal(reply.confirmed, confirmed, what);
    if (!confirmed) continue;
    assert.equal(host.checkPeerConfirmation(reply.confirmation), true);
    assert.equal(host.checkPeerConfirmation(reply.confirmation), false, 'one test per exchange');
    const channel = await host.createChannel();
    // The native viewer's channel opens what the core's host seals, and the other way round.
    const opened = await peer.ask({ cmd: 'open', sealed: hex(await channel.seal(3, enc(REQUEST))) });
    assert.equal(text(unhex(opened.data)), REQUEST);
    const back = await channel.open(unhex((await peer.ask({ cmd: 'seal', kind: 2, data: hex(enc('{"op":"x"}')) })).sealed));
    assert.deepEqual([back.kind, text(back.plaintext)], [2, '{"op":"x"}']);
  }
});
