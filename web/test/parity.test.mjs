// The core's readers against the native ones on the same inputs, the native program answering
// as the oracle: bounded JSON, strict integers, pairing strings, typed input, and which
// 32-byte messages BoringSSL's SPAKE2 takes as points.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { core, hex, NativePeer } from './helpers.mjs';

const peer = new NativePeer();
after(() => peer.close());

const enc = (s) => new TextEncoder().encode(s);

// The parsed value with each number's kind visible, as the native program describes it.
function describe(value) {
  if (value instanceof core.JsonInt) return `${value.unsigned ? 'u' : 'i'}:${value.value}`;
  if (typeof value === 'number') {
    const view = new DataView(new ArrayBuffer(8));
    view.setFloat64(0, value);
    return `f:${view.getBigUint64(0).toString(16).padStart(16, '0')}`;
  }
  if (typeof value === 'string') return `s:${value}`;
  if (Array.isArray(value)) return value.map(describe);
  if (value && typeof value === 'object') {
    const out = Object.create(null);
    for (const name of Object.keys(value)) {
      Object.defineProperty(out, name, { value: describe(value[name]), enumerable: true });
    }
    return out;
  }
  return value;
}
const deep = (depth, inner) => '{"a":'.repeat(depth) + inner + '}'.repeat(depth);

test('bounded JSON: the same texts pass and fail, and pass with the same value', async () => {
  const texts = [
    '{"type":"connected","requestId":"x"}',
    ' {"a":1}\n',
    '\ufeff{"a":1}',
    '[1,2]',
    '"top"',
    '{"a":1}{"b":2}',
    '{"a":1,}',
    '{"a":01}',
    '{"a":1.}',
    '{"a":-}',
    '{"a":3.0,"b":-0,"c":1e2,"d":18446744073709551615,"e":18446744073709551616,"f":-9223372036854775808,"g":-9223372036854775809}',
    '{"a":1e400}',
    '{"a":1e-400}',
    '{"a":"\\ud83d\\ude00 \\u00e9 \\/ \\b\\f\\n\\r\\t \\u0001 \\u007f"}',
    '{"a":"\\ud83d"}',
    '{"a":"\\ude00"}',
    '{"a":"\\ud83dx"}',
    '{"a":"\\x"}',
    '{"a":"tab\there"}',
    '{"a":"caf\u00e9 \u2713 \ud83d\ude00"}',
    '{"a":1,"a":2}',
    '{"__proto__":{"x":1},"constructor":2}',
    '{"b":1,"a":2,"\u00e9":3,"Z":4,"aa":5}',
    deep(4, '1'),
    deep(4, '{}'),
    deep(4, '[]'),
    deep(4, '{"e":1}'),
    deep(3, '[[1]]'),
    deep(3, '[[]]'),
    '[[[[[]]]]]',
    '[[[[[1]]]]]',
    '{"a":true,"b":false,"c":null}',
    '{"a":tru}',
    '{"a":nul}',
    '',
    '   ',
    '{"a":1}\u0000',
    '{"a" 1}',
    "{'a':1}",
    '{"a":1} // x',
  ];
  const bytes = texts.map(enc);
  bytes.push(Uint8Array.of(0x7b, 0x22, 0x61, 0x22, 0x3a, 0x22, 0xc3, 0x28, 0x22, 0x7d)); // invalid UTF-8
  bytes.push(Uint8Array.of(0x7b, 0x22, 0x61, 0x22, 0x3a, 0x22, 0xed, 0xa0, 0x80, 0x22, 0x7d)); // encoded surrogate
  for (const b of bytes) {
    const native = await peer.ask({ cmd: 'parse', text: hex(b) });
    let ours;
    try {
      ours = { ok: true, json: core.serialize(describe(core.parseMessage(b))) };
    } catch (error) {
      ours = { ok: false, error: error.message };
    }
    const label = JSON.stringify(new TextDecoder().decode(b));
    assert.equal(ours.ok, native.ok, `${label}: ours ${ours.error ?? 'passes'}, native ${native.error ?? 'passes'}`);
    if (native.ok) assert.equal(ours.json, native.json, label);
  }
});

test('strict integers: the same value or the same refusal', async () => {
  const cases = [
    ['{"n":65535}', 0, 65535],
    ['{"n":65536}', 0, 65535],
    ['{"n":-1}', 0, 65535],
    ['{"n":0}', 1, 10],
    ['{"n":12.0}', 0, 65535],
    ['{"n":"12"}', 0, 65535],
    ['{"n":true}', 0, 1],
    ['{"n":null}', 0, 1],
    ['{"n":-0}', 0, 1],
    ['{"n":1e0}', 0, 1],
    ['{"n":2147483647}', 1, 2147483647],
    ['{"n":2147483648}', 1, 2147483647],
    ['{"n":-2147483648}', -2147483648, 0],
    ['{"n":18446744073709551615}', 0, 2147483647],
    ['{"n":-9223372036854775808}', -5, 5],
    ['{"m":1}', 0, 1],
  ];
  for (const [t, min, max] of cases) {
    const native = await peer.ask({ cmd: 'requireInt', text: hex(enc(t)), name: 'n', min, max });
    let ours;
    try {
      ours = { value: core.requireInt(core.parseMessage(t), 'n', min, max) };
    } catch (error) {
      ours = { error: error.message === 'n: missing' ? 'missing' : error.message };
    }
    assert.deepEqual(ours, native, `${t} in ${min}..${max}`);
  }
});

test('pairing strings and typed input are judged alike', async () => {
  const nonce = '00112233445566778899aabbccddeeff';
  const message = 'ab'.repeat(32);
  const offers = [
    `p3:${nonce}:${message}`,
    `p3:${nonce}:${message}0`,
    `p3:${nonce}:${message.slice(1)}`,
    `p3:${nonce.toUpperCase()}:${message}`,
    `p2:${nonce}:${message}`,
    `p3:${nonce};${message}`,
    `p3:${nonce}:${message.slice(0, 63)}g`,
    `P3:${nonce}:${message}`,
    '',
  ];
  for (const offer of offers) {
    const native = await peer.ask({ cmd: 'offer', text: offer });
    const ours = core.parsePairingString(offer);
    assert.equal(ours !== null, native.valid, offer);
    if (ours) assert.deepEqual([ours.nonceHex, ours.messageHex], [native.nonce, native.message]);
  }
  const typed = [
    ['123 456 789', 'abcd-2345'],
    ['123-456-789', ' ABCD 2345 '],
    ['0123456789', 'abcd_2345'],
    ['012345678', 'ABCDI234'],
    ['1２3456789 x', 'abcd\t2345\r\n'],
    ['123456789', '\vabcd\f2345'],
    ['987654321', 'ABCD23450'],
    ['987654321', 'ßbcd2345'],
  ];
  for (const [id, password] of typed) {
    const native = await peer.ask({ cmd: 'normalize', id, password });
    const ourId = core.normalizeDeviceIdInput(id);
    const ourPassword = core.normalizeSessionPassword(password);
    assert.deepEqual(
      { id: ourId, idValid: core.isValidDeviceId(ourId), password: ourPassword, passwordValid: core.isValidSessionPassword(ourPassword) },
      native,
      `${id} / ${password}`,
    );
  }
});

test('SPAKE2 takes and refuses the same peer messages as BoringSSL', async () => {
  const p = (2n ** 255n - 19n);
  const le = (n, topBit = 0) => {
    const out = new Uint8Array(32);
    for (let i = 0; i < 32; i++) out[i] = Number((n >> BigInt(8 * i)) & 0xffn);
    out[31] |= topBit << 7;
    return out;
  };
  const messages = [
    le(1n), // the identity
    le(1n, 1), // the identity with the sign bit set (x = 0)
    le(p + 1n), // the identity, encoded non-canonically
    le(p - 1n), // (0, -1), of order 2
    le(0n), // y = 0: x = sqrt(-1)
    le(2n), // y = 2: no point
    le(p), // y = p (= 0), non-canonical
    new Uint8Array(32).fill(0xff),
    new Uint8Array(32).fill(0x7f),
    core.fromHex('5866666666666666666666666666666666666666666666666666666666666666', 32), // the base point
    core.fromHex('26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05', 32), // order 8
    core.fromHex('c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa', 32), // order 8
  ];
  for (let i = 0; i < 20; i++) messages.push(le(BigInt(i) * 1000003n + 5n, i & 1));
  let accepted = 0;
  for (const m of messages) {
    const native = await peer.ask({ cmd: 'point', message: hex(m) });
    const spake = new core.Spake2(core.Spake2Role.Bob, enc('n'), enc('n'));
    spake.generateMessage(enc('pw'));
    let ours = true;
    try {
      assert.equal(spake.processMessage(m).length, 64);
    } catch (error) {
      if (error instanceof assert.AssertionError) throw error;
      ours = false;
    }
    assert.equal(ours, native.accepted, hex(m));
    accepted += ours ? 1 : 0;
  }
  assert.ok(accepted > 5 && accepted < messages.length, 'the table holds points and non-points');
});
