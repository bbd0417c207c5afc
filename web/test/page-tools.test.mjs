// The session tools: files both ways between two ends of this code (the protocol is the same in
// both directions), the chunking and window of the sender, the receiver's checks, chat and
// clipboard messages, with the program's reason words.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { page } from './page-helpers.mjs';

const { SessionTools, WritableSink, chunkPlan, isSafeFileName, parseMessage, requireObject, serialize, ProtocolError } = page;
const ready = { ready: true, files: true, clipboard: true, clipboardSync: true };

// One end: what it sends is recorded as the peer would receive it (serialised and parsed back).
function end(id = 'a'.repeat(32)) {
  const sent = [];
  const tools = new SessionTools(
    {
      sendControl: (message) => sent.push({ op: message.op, message: requireObject(parseMessage(serialize(message))) }),
      sendChunk: (chunk) => sent.push({ op: 'chunk', chunk: chunk.slice() }),
      newTransferId: () => id,
    },
    () => ready,
  );
  return { tools, sent };
}

// Delivers everything `from` sent to `to`, until both are quiet; returns what was delivered.
async function pump(a, b) {
  const log = [];
  for (let moved = true; moved; ) {
    moved = false;
    for (const [from, to] of [[a, b], [b, a]]) {
      while (from.sent.length) {
        const item = from.sent.shift();
        log.push(item.op === 'chunk' ? `chunk ${item.chunk.length - 40}` : item.op === 'fileAck' ? `fileAck ${item.message.next.value}` : item.op);
        const result = item.op === 'chunk' ? to.tools.chunk(item.chunk, 1000) : await to.tools.handle(item.op, item.message, 1000);
        if (result.kind === 'received') to.received = result;
        moved = true;
      }
    }
  }
  return log;
}

function bytes(length) {
  const out = new Uint8Array(length);
  for (let i = 0; i < length; i++) out[i] = (i * 7 + (i >> 8)) & 0xff;
  return out;
}

async function transfer(length) {
  const viewer = end();
  const host = end('b'.repeat(32));
  const data = bytes(length);
  viewer.tools.offerFile(new Blob([data]), 'report.bin', 1000);
  const offered = await pump(viewer, host);
  assert.deepEqual(offered, ['fileOffer']);
  assert.deepEqual(host.tools.offer, { id: 'a'.repeat(32), name: 'report.bin', size: length });
  host.tools.acceptOffer(1000);
  const log = await pump(viewer, host);
  return { viewer, host, data, log };
}

test('a file goes in chunks of 32768 within a window of sixteen, acknowledged every fourth, then its digest', async () => {
  assert.deepEqual(chunkPlan(100000), [[0, 32768], [32768, 32768], [65536, 32768], [98304, 1696]]);
  assert.deepEqual(chunkPlan(0), []);
  assert.deepEqual(chunkPlan(32768), [[0, 32768]]);

  const small = await transfer(100000);
  assert.deepEqual(small.log, ['fileAccept', 'chunk 32768', 'chunk 32768', 'chunk 32768', 'chunk 1696', 'fileAck 100000', 'fileFinish', 'fileDone']);
  assert.equal(small.host.received.name, 'report.bin');
  assert.deepEqual(new Uint8Array(await small.host.received.blob.arrayBuffer()), small.data);
  assert.deepEqual([small.viewer.tools.status, small.host.tools.status, small.viewer.tools.completed, small.host.tools.completed], ['Completed', 'Completed', 1, 1]);
  assert.equal(small.viewer.tools.sender, null);

  const empty = await transfer(0);
  assert.deepEqual(empty.log, ['fileAccept', 'fileFinish', 'fileDone'], 'a 0-byte file is finished at once');
  assert.equal(empty.host.received.blob.size, 0);

  // 20 chunks: sixteen go before the first acknowledgement lets more out.
  const large = await transfer(20 * 32768 - 5);
  const firstAck = large.log.indexOf('fileAck 131072');
  assert.equal(large.log.slice(0, firstAck).filter((e) => e.startsWith('chunk')).length, 16);
  assert.equal(large.log.filter((e) => e.startsWith('chunk')).length, 20);
  assert.equal(large.log.at(-3), `fileAck ${20 * 32768 - 5}`);
  const digest = createHash('sha256').update(large.data).digest('hex');
  const finish = large.log.indexOf('fileFinish');
  assert.ok(finish > 0);
  assert.deepEqual(new Uint8Array(await large.host.received.blob.arrayBuffer()), large.data);
  assert.equal(createHash('sha256').update(new Uint8Array(await large.host.received.blob.arrayBuffer())).digest('hex'), digest);
});

test('a damaged transfer ends as a file error with fileCancel, and the session goes on', async () => {
  const viewer = end();
  const host = end('b'.repeat(32));
  viewer.tools.offerFile(new Blob([bytes(70000)]), 'x.bin', 1000);
  await pump(viewer, host);
  host.tools.acceptOffer(1000);
  await viewer.tools.handle('fileAccept', host.sent.shift().message, 1000);
  const chunks = viewer.sent.splice(0);
  assert.equal(chunks.length, 3);
  host.tools.chunk(chunks[0].chunk, 1000);
  const result = host.tools.chunk(chunks[2].chunk, 1000); // a gap: offset 65536 where 32768 is due
  assert.equal(result.kind, 'status');
  assert.equal(host.tools.status, 'File error');
  assert.equal(host.tools.receiver, null);
  assert.deepEqual(host.sent.map((s) => s.op), ['fileCancel']);
  // Later chunks of the cancelled transfer are dropped, not refused.
  assert.equal(host.tools.chunk(chunks[1].chunk, 1000).kind, 'none');

  // A digest that does not match the data.
  const other = end();
  const receiver = end('b'.repeat(32));
  other.tools.offerFile(new Blob([bytes(10)]), 'y.bin', 1000);
  await pump(other, receiver);
  receiver.tools.acceptOffer(1000);
  await other.tools.handle('fileAccept', receiver.sent.shift().message, 1000);
  receiver.tools.chunk(other.sent.shift().chunk, 1000);
  await other.tools.handle('fileAck', receiver.sent.shift().message, 1000);
  const finish = other.sent.shift().message;
  finish.sha256 = '0'.repeat(64);
  const outcome = await receiver.tools.handle('fileFinish', finish, 1000);
  assert.equal(outcome.kind, 'status');
  assert.equal(receiver.tools.status, 'File error');
  assert.deepEqual(receiver.sent.map((s) => s.op), ['fileCancel']);
});

// A file the user chose, as the browser's writable stream: written in order, kept on close,
// gone on abort; its writes finish later, and one of them or the close may fail.
function chosenFile({ failWriteAt = -1, failClose = false } = {}) {
  const file = {
    writes: [],
    closed: false,
    aborted: false,
    async write(data) {
      await new Promise((done) => setTimeout(done, 1));
      if (file.writes.length === failWriteAt) throw new Error('disk full');
      file.writes.push(data.slice());
    },
    async close() {
      if (failClose) throw new Error('refused by the download checks');
      file.closed = true;
    },
    async abort() {
      file.aborted = true;
    },
  };
  return file;
}

test('a file received into a chosen file: written as it arrives, kept only when its digest matches', async () => {
  const length = 5 * 32768 + 11;
  for (const [ending, options, want] of [
    ['complete', {}, { status: 'Completed', closed: true, aborted: false, sent: 'fileDone', written: length }],
    ['complete', { failWriteAt: 1 }, { status: 'File error', closed: false, aborted: true, sent: 'fileCancel', written: 32768 }],
    ['complete', { failClose: true }, { status: 'File error', closed: false, aborted: false, sent: 'fileCancel', written: length }],
    ['wrong digest', {}, { status: 'File error', closed: false, aborted: true, sent: 'fileCancel' }],
    ['cancelled by the sender', {}, { status: 'Cancelled', closed: false, aborted: true }],
    ['cancelled here', {}, { status: 'Cancelled', closed: false, aborted: true, sent: 'fileCancel' }],
    ['session ended', {}, { closed: false, aborted: true }],
  ]) {
    const label = `${ending} ${JSON.stringify(options)}`;
    const viewer = end();
    const host = end('b'.repeat(32));
    const data = bytes(length);
    const file = chosenFile(options);
    viewer.tools.offerFile(new Blob([data]), 'r.bin', 1000);
    await pump(viewer, host);
    host.tools.acceptOffer(1000, new WritableSink(file));
    let log = [];
    if (ending === 'complete') {
      log = await pump(viewer, host);
    } else {
      await viewer.tools.handle('fileAccept', host.sent.shift().message, 1000);
      for (const item of viewer.sent.splice(0)) host.tools.chunk(item.chunk, 1000);
      host.sent.splice(0); // the acknowledgements
      if (ending === 'wrong digest') {
        const finish = { ...msg(`{"op":"fileFinish","id":"${'a'.repeat(32)}","sha256":"${'0'.repeat(64)}"}`) };
        host.tools.receiver.received = length; // as if the rest had come too
        await host.tools.handle('fileFinish', finish, 1000);
      } else if (ending === 'cancelled by the sender') {
        await host.tools.handle('fileCancel', msg(`{"op":"fileCancel","id":"${'a'.repeat(32)}"}`), 1000);
      } else if (ending === 'cancelled here') {
        host.tools.cancelAll();
      } else {
        host.tools.reset();
      }
    }
    await new Promise((done) => setTimeout(done, 50)); // the writes and an abort settle
    assert.equal(host.tools.receiver, null, label);
    if (want.status) assert.equal(host.tools.status, want.status, label);
    assert.equal(file.closed, want.closed, `${label}: closed`);
    assert.equal(file.aborted, want.aborted, `${label}: aborted`);
    // What the host said at the end: still to be delivered, or delivered by pump as the last word.
    const sent = [...log.slice(-1), ...host.sent.map((s) => s.op)].filter((op) => op.startsWith('file') && !op.startsWith('fileAck'));
    assert.deepEqual(sent, want.sent ? [want.sent] : [], label);
    if (ending === 'complete') assert.equal(viewer.tools.status, want.closed ? 'Completed' : 'Cancelled', label);
    if (want.written !== undefined) assert.equal(file.writes.reduce((n, w) => n + w.length, 0), want.written, label);
    if (want.closed) {
      assert.equal(host.received.blob, null, 'saved by the sink, nothing handed to the page');
      assert.deepEqual(Buffer.concat(file.writes), Buffer.from(data));
    } else {
      assert.equal(host.received, undefined, label);
    }
  }
});

const msg = (text) => requireObject(parseMessage(text));
async function reason(tools, op, text) {
  try {
    await tools.handle(op, msg(text), 1000);
    return 'accepted';
  } catch (error) {
    assert.ok(error instanceof ProtocolError, error.message);
    return error.message;
  }
}

test('malformed file messages and chunks are refused with the program\'s reasons', async () => {
  const A = 'a'.repeat(32);
  const offer = (name, size) => `{"op":"fileOffer","id":"${A}","name":${JSON.stringify(name)},"size":${size}}`;
  const rows = [
    ['fileOffer', offer('a.txt', 8589934593), 'file value range'],
    ['fileOffer', offer('a.txt', -1), 'negative file value'],
    ['fileOffer', offer('a.txt', 1.5), 'file value type'],
    ['fileOffer', offer('con.txt', 1), 'file name'],
    ['fileOffer', offer('a\u202etxt', 1), 'file name'],
    ['fileOffer', offer('a\u0000b', 1), 'embedded null'],
    ['fileOffer', `{"op":"fileOffer","id":"${A.toUpperCase()}","name":"a","size":1}`, 'file token'],
    ['fileOffer', offer('a.txt', 8589934592), 'accepted'],
    ['fileAccept', `{"op":"fileAccept","id":"${A}"}`, 'unsolicited file acceptance'],
    ['fileAck', `{"op":"fileAck","id":"${A}","next":32768}`, 'unsolicited file acknowledgement'],
    ['fileFinish', `{"op":"fileFinish","id":"${A}","sha256":""}`, 'unsolicited file completion'],
    ['fileDone', `{"op":"fileDone","id":"${A}"}`, 'unsolicited file receipt'],
    ['fileCancel', `{"op":"fileCancel","id":"${A}"}`, 'accepted'],
  ];
  for (const [op, text, expected] of rows) assert.equal(await reason(end().tools, op, text), expected, text);

  // Acknowledgements: more than was sent, neither a multiple of 32768 nor the size, repeated.
  const viewer = end();
  viewer.tools.offerFile(new Blob([bytes(100000)]), 'z.bin', 1000);
  await viewer.tools.handle('fileAccept', msg(`{"op":"fileAccept","id":"${A}"}`), 1000);
  const ack = (next) => reason(viewer.tools, 'fileAck', `{"op":"fileAck","id":"${A}","next":${next}}`);
  assert.equal(await ack(100001), 'file value range');
  assert.equal(await ack(40000), 'file acknowledgement offset');
  assert.equal(await ack(65536), 'accepted');
  assert.equal(await ack(65536), 'file acknowledgement offset');

  // Chunks: bounds, token, no acceptance.
  const host = end();
  const chunk = (id, length) => Uint8Array.from([...new TextEncoder().encode(id), ...new Uint8Array(8), ...new Uint8Array(length)]);
  for (const [data, expected] of [
    [chunk(A, 0), 'file chunk bounds'],
    [chunk(A, 32769), 'file chunk bounds'],
    [chunk(A.toUpperCase(), 1), 'chunk token'],
    [chunk(A, 1), 'file chunk without local acceptance'],
  ]) assert.throws(() => host.tools.chunk(data, 1000), (e) => e instanceof ProtocolError && e.message === expected, expected);

  // A second offer while one waits is answered with fileCancel and never shown; its id is then ignored.
  const busy = end();
  await busy.tools.handle('fileOffer', msg(offer('one.txt', 5)), 1000);
  const B = 'b'.repeat(32);
  await busy.tools.handle('fileOffer', msg(`{"op":"fileOffer","id":"${B}","name":"two.txt","size":5}`), 1000);
  assert.equal(busy.tools.offer.name, 'one.txt');
  assert.deepEqual(busy.sent.map((s) => [s.op, s.message.id]), [['fileCancel', B]]);
  assert.equal((await busy.tools.handle('fileDone', msg(`{"op":"fileDone","id":"${B}"}`), 1000)).kind, 'none');
});

test('file names: the program\'s safety rules', () => {
  for (const name of ['con.txt', 'LPT1', 'COM\u00b9.log', 'name.', 'name ', 'a\u202eb', 'a\u2066b', 'a/b', 'a\\b', 'a:b', 'a*b', 'a?b', 'a"b', 'a<b', 'a>b', 'a|b', 'a\tb', '', '.', '..', 'x'.repeat(181), 'nul .txt', 'Aux']) {
    assert.equal(isSafeFileName(name), false, JSON.stringify(name));
  }
  for (const name of ['CONSOLE.txt', 'COM10', 'report.pdf', '.profile', 'x'.repeat(180), 'résumé (1).docx', '报告.txt']) {
    assert.equal(isSafeFileName(name), true, name);
  }
});

test('chat and clipboard messages', async () => {
  const { tools, sent } = end();
  assert.equal(await reason(tools, 'chat', `{"op":"chat","text":"${'x'.repeat(1000)}"}`), 'accepted');
  assert.equal(await reason(tools, 'chat', `{"op":"chat","text":"${'x'.repeat(1001)}"}`), 'chat limit');
  assert.equal(await reason(tools, 'chat', '{"op":"chat","text":""}'), 'chat limit');
  assert.throws(() => tools.sendChat(''), /chat limit/);
  assert.throws(() => tools.sendChat('y'.repeat(1001)), /chat limit/);
  tools.sendChat('hello');
  assert.deepEqual(sent.pop().message, msg('{"op":"chat","text":"hello"}'));
  assert.equal(tools.chatLog.at(-1), '\u2192 hello');

  // Fifty lines within ten seconds, the 51st ends the session; after the window the count restarts.
  const rate = end().tools;
  for (let i = 0; i < 50; i++) await rate.handle('chat', msg(`{"op":"chat","text":"line ${i}"}`), 20000 + i);
  await assert.rejects(rate.handle('chat', msg('{"op":"chat","text":"one more"}'), 29000), /chat rate/);
  const later = end().tools;
  for (let i = 0; i < 50; i++) await later.handle('chat', msg(`{"op":"chat","text":"line ${i}"}`), 20000);
  await later.handle('chat', msg('{"op":"chat","text":"line 50"}'), 30001);
  assert.equal(later.chatLog.length, 50, 'the log keeps the last 50');
  assert.equal(later.chatLog[0], '\u2190 line 1');

  // clipboardSync: acknowledged (not applied: this page never writes the clipboard) when a token asks for it.
  const clip = end();
  assert.equal(await reason(clip.tools, 'clipboardSync', '{"op":"clipboardSync","text":"abc","token":5}'), 'accepted');
  assert.deepEqual(clip.sent.pop().message, msg('{"applied":false,"op":"clipboardAck","token":5}'));
  assert.equal(await reason(clip.tools, 'clipboardSync', '{"op":"clipboardSync","text":"","token":0}'), 'accepted');
  assert.equal(clip.sent.length, 0, 'token 0 wants no acknowledgement');
  assert.equal(await reason(clip.tools, 'clipboardSync', '{"op":"clipboardSync","text":"a","token":4294967296}'), 'clipboard token bound');
  assert.equal(await reason(clip.tools, 'clipboardSync', `{"op":"clipboardSync","text":"${'a'.repeat(8193)}","token":1}`), 'clipboard sync limit');
  assert.equal(await reason(clip.tools, 'clipboardAck', '{"op":"clipboardAck","token":0,"applied":true}'), 'clipboard acknowledgement token');
  assert.equal(await reason(clip.tools, 'clipboardAck', '{"op":"clipboardAck","token":1}'), 'clipboard acknowledgement');
  assert.equal(await reason(clip.tools, 'clipboard', '{"op":"clipboard","text":""}'), 'clipboard limit');
  assert.equal(clip.tools.sendClipboard('copied text'), true);
  assert.deepEqual(clip.sent.pop().message, msg('{"op":"clipboard","text":"copied text"}'));
  assert.throws(() => clip.tools.sendClipboard('a'.repeat(8193)), /clipboard limit/);
});
