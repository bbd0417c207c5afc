#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/ (run by hand; the files are committed). Inputs that
long runs found and merged into the same folders (named by their SHA-1) are left as they are.

Each seed is a small, valid or nearly valid input in the layout its target reads (see the
comment at the top of each *_fuzz.cc). The JPEG seeds are the test pictures of native/screen.
"""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
RID = "0123456789abcdef0123456789abcdef"


def compact(message):
    return json.dumps(message, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode()


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


HELLO = {"op": "hello", "version": 3, "build": "0.3.9", "captureStatus": True, "inputStatus": True,
         "clipboardSync": True, "screens": [{"width": 1920, "height": 1080, "hz": 60, "primary": True}],
         "epoch": 1, "selected": 0, "profile": 0, "control": True, "files": True, "clipboard": True}
HELLO_ACK = {"op": "helloAck", "version": 3, "build": "0.3.9", "captureStatus": True,
             "inputStatus": True, "clipboardSync": True, "files": True, "clipboard": True}
CONTROL = {
    "ping": {"op": "ping", "token": 5},
    "pong": {"op": "pong", "token": 1},
    "frameack": {"op": "frameAck", "epoch": 1, "seq": 2},
    "select": {"op": "selectDisplay", "selected": 1, "profile": 3},
    "capture": {"op": "captureStatus", "epoch": 1, "backend": 2, "black": False, "desktop": True,
                "error": 0},
    "inputstatus": {"op": "inputStatus", "error": 5, "localOnly": True},
    "permissions": {"op": "permissions", "control": False, "files": True, "clipboard": True},
    "screen": dict(HELLO, op="screen", epoch=2),
    "release": {"op": "releaseInput"},
    "clipboardack": {"op": "clipboardAck"},
    "chat": {"op": "chat", "text": "hello"},
    "clipboard": {"op": "clipboard", "text": "copied"},
    "fileoffer": {"op": "fileOffer", "id": "00112233445566778899aabbccddeeff", "name": "a.txt",
                  "size": 3, "sha256": "00" * 32},
    "filecancel": {"op": "fileCancel", "id": "00112233445566778899aabbccddeeff"},
}
INPUT = {
    "move": {"op": "input", "action": "move", "x": 100, "y": 200, "button": 1, "key": 0, "epoch": 1},
    "key": {"op": "input", "action": "keydown", "x": 0, "y": 0, "button": 0, "key": 65, "epoch": 1},
    "wheel": {"op": "input", "action": "wheel", "x": 5, "y": 5, "button": 0, "key": -120, "epoch": 1},
}
RELAY = {
    "registered": {"type": "registered", "protocol": 3},
    "connectrequest": {"type": "connectRequest", "requestId": RID,
                       "password": "p3:" + "ab" * 16 + ":" + "cd" * 32},
    "authchallenge": {"type": "authChallenge", "requestId": RID, "message": "12" * 32,
                      "confirmation": "34" * 32},
    "authresponse": {"type": "authResponse", "requestId": RID, "confirmation": "56" * 32},
    "connected": {"type": "connected", "requestId": RID},
    "peerdisconnected": {"type": "peerDisconnected", "requestId": RID},
    "error": {"type": "error", "code": "updateRequired"},
    "unknown": {"type": "somethingElse"},
}


def jpeg_files():
    folder = os.path.join(HERE, "..", "native", "screen", "testdata")
    return {name[:-4]: open(os.path.join(folder, name), "rb").read()
            for name in sorted(os.listdir(folder)) if name.endswith(".jpg")}


def frame(epoch, seq, jpeg):
    return struct.pack(">II", epoch, seq) + jpeg


def record(kind, payload):
    return bytes([(kind - 1) % 5]) + struct.pack(">H", len(payload)) + payload


def relay_ws_seeds():
    """relay_ws: client frames after the upgrade, around the fragment rules (at most 8 non-final
    fragments under 1024 bytes per message), each stored (selector 0) and streamed (selector bit
    4: a gate pattern byte, then a byte scaling the output buffers)."""
    mask = b"\x1f\x2e\x3d\x4c"

    def client(opcode, payload, fin=True):
        n = len(payload)
        if n < 126:
            head = bytes([(0x80 if fin else 0) | opcode, 0x80 | n])
        elif n < 65536:
            head = bytes([(0x80 if fin else 0) | opcode, 0xFE]) + struct.pack(">H", n)
        else:
            head = bytes([(0x80 if fin else 0) | opcode, 0xFF]) + struct.pack(">Q", n)
        return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))

    def fragments(sizes, between=b""):
        out = b""
        for i, size in enumerate(sizes):
            out += client(2 if i == 0 else 0, bytes((i * 7 + j) & 0xFF for j in range(size)),
                          fin=i == len(sizes) - 1)
            if i < len(sizes) - 1:
                out += between
        return out

    seeds = {
        "eight_small_fragments": fragments([100] * 8 + [100]),
        "nine_small_fragments": fragments([64] * 9 + [64]),
        "small_fragments_with_pings": fragments([10, 1024, 20, 0, 30], client(9, b"p")) + client(10, b""),
        "limit_in_a_later_fragment": fragments([2000, 2000, 200]),
        "two_streamed_then_text": fragments([1500, 1]) + client(2, b"") + client(1, b"after"),
    }
    for name, data in seeds.items():
        write("relay_ws", "frag_" + name, b"\x00" + data)
        # All streamed, into buffers of the least size and then larger ones.
        write("relay_ws", "frag_" + name + "_streamed", b"\x10\xaa\x00" + data)
        # Stream, skip, stream, store in turn, cut into reads of 7, payloads written in place,
        # Discard after a refusal.
        write("relay_ws", "frag_" + name + "_mixed", b"\x1e\x72\x03" + data)


def region_frame_seeds(jpegs):
    """region_frame: region-frame messages of epoch 5 (selector 0: a viewer with a picture of the
    message's size; 2: without one), and encoder scripts (selector bit 0)."""
    def region(seq, full, width, height, parts):
        out = struct.pack(">IIBBHHH", 5, seq, 0x52, 1 if full else 0, width, height, len(parts))
        for (x, y, w, h), jpeg in parts:
            out += struct.pack(">HHHHI", x, y, w, h, len(jpeg)) + jpeg
        return out

    gray = jpegs["gray"]
    size = struct.unpack(">HH", gray[gray.index(b"\xff\xc0") + 5:][:4])  # height, width
    gh, gw = size
    seeds = {
        "full_one": region(1, True, gw, gh, [((0, 0, gw, gh), gray)]),
        "partial_one": region(2, False, gw + 16, gh + 8, [((8, 4, gw, gh), gray)]),
        "partial_two": region(3, False, 2 * gw, gh, [((0, 0, gw, gh), gray), ((gw, 0, gw, gh), gray)]),
        "overlap": region(4, False, 2 * gw, 2 * gh, [((0, 0, gw, gh), gray), ((1, 1, gw, gh), gray)]),
        "outside": region(5, False, gw, gh, [((1, 0, gw, gh), gray)]),
        "empty": region(6, False, 640, 480, []),
        "full_not_covering": region(7, True, gw + 1, gh, [((0, 0, gw, gh), gray)]),
        "wrong_size_jpeg": region(8, False, 2 * gw, 2 * gh, [((0, 0, gw + 1, gh), gray)]),
        "older_epoch": struct.pack(">I", 4) + region(9, False, 640, 480, [])[4:],
        # A scroll: the copy block after the fixed part (flag bit 1), then a rectangle.
        "scroll": (lambda m: m[:9] + b"\x02" + m[10:16] + struct.pack(">6H", 0, 8, 2 * gw, 2 * gh - 8, 0, 0)
                   + m[16:])(region(10, False, 2 * gw, 2 * gh, [((0, gh, gw, gh), gray)])),
    }
    for name, data in seeds.items():
        write("region_frame", name, b"\x00" + data)
        write("region_frame", name + "_no_picture", b"\x02" + data)
    # Encoder scripts: size, then (x, y, w, h, value) edits; odd values let a second pass.
    typing = bytes([200, 100]) + b"".join(bytes([10 + 6 * i, 20, 5, 9, 2 * i]) for i in range(12))
    scrolling = bytes([160, 120]) + b"".join(bytes([0, 4 * i, 160, 100, 3 * i + 1]) for i in range(8))
    write("region_frame", "encode_typing", b"\x01" + typing)
    write("region_frame", "encode_typing_scaled_q90", bytes([1 | 2 | (70 << 2) & 0xFC]) + typing)
    write("region_frame", "encode_scrolling", b"\x05" + scrolling)


def fleet_wire_seeds():
    """fleet_wire: link streams (selector bit 0 clear) and NATS envelopes (bit 0 set), sealed with
    the target's fixed key on its fixed subject."""
    import hashlib
    import hmac

    def message(kind, node, conn=0, seq=0, flags=0, body=b""):
        return (bytes([kind, len(node)]) + node.encode() + struct.pack("<QQ", conn, seq)
                + bytes([flags]) + body)

    def framed(m):
        return struct.pack("<I", len(m)) + m

    def mac(key, pieces):
        h = hmac.new(key, digestmod=hashlib.sha256)
        for i, p in enumerate(pieces):
            h.update(p)
            if i + 1 < len(pieces):
                h.update(struct.pack("<Q", len(p)))
        return h.digest()

    label = b"kestrova fleet secret"
    root = mac(label + bytes(32 - len(label)), [b"fuzzing fleet secret"])
    nats_key = mac(root, [b"nats messages"])
    subject = b"kestrova.relay.node.n1"

    # Envelope version 2: head (version, instance, counter), the payload under AES-256-GCM with a
    # key of the instance and the counter as nonce, the tag; the subject's length, the subject and
    # the head are authenticated.
    def sealed(payload, instance=0x1122334455667788, counter=1):
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
        head = bytes([2]) + struct.pack("<QQ", instance, counter)
        key = mac(nats_key, [b"instance", head[1:9]])
        nonce = head[9:17] + bytes(4)
        aad = struct.pack("<Q", len(subject)) + subject + head
        return head + AESGCM(key).encrypt(nonce, payload, aad)

    hello = message(9, "node-b", conn=0x0B0B, body=bytes(range(32)))
    write("fleet_wire", "link_hello_data", b"\x00" + framed(hello)
          + framed(message(7, "node-b", conn=5, seq=0, flags=1, body=b"chunk"))
          + framed(message(7, "node-b", conn=5, seq=1, body=b"end")))
    write("fleet_wire", "link_controls", b"\x00" + framed(hello)
          + framed(message(8, "node-b", conn=5, body=struct.pack("<QQ", 1, 100)))
          + framed(message(5, "node-b", conn=5, body=b"\x03\xe8"))
          + framed(message(3, "node-b", conn=5)))
    write("fleet_wire", "link_oversized_hello", b"\x00" + framed(hello + bytes(100)))
    registration = compact({"address": "198.51.100.7", "sessionId": "123456789", "password": "x"})
    write("fleet_wire", "nats_handoff", b"\x01" + sealed(message(1, "n2", conn=77, body=registration)))
    write("fleet_wire", "nats_credit", b"\x03" + sealed(message(8, "n2", conn=77, body=struct.pack("<QQ", 2, 9)), counter=9))
    write("fleet_wire", "nats_heartbeat", b"\x05" + sealed(message(9, "n2", body=b"10.0.0.7:7400")))
    write("fleet_wire", "nats_unsealed", b"\x01" + message(1, "n2", conn=77, body=registration))


def main():
    relay_ws_seeds()
    fleet_wire_seeds()
    jpegs = jpeg_files()

    # json_codec: messages of both kinds, a manifest-like object, depth edges.
    for name, message in list(RELAY.items()) + list(CONTROL.items()):
        write("json_codec", name, compact(message))
    write("json_codec", "manifest", compact({"payload": "eyJ2IjoxfQ==", "signature": "AA=="}))
    write("json_codec", "depth4", b'{"a":{"b":{"c":{"d":1}}}}')
    write("json_codec", "depth5", b'{"a":{"b":{"c":{"d":{"e":1}}}}}')
    write("json_codec", "numbers", b'{"a":65535,"b":-1,"c":12.0,"d":"12","e":18446744073709551615,"f":1e400}')
    write("json_codec", "unicode", '{"t":"\u00e9\u4e2d\\ud83d\\ude00\\u0000"}'.encode())

    # controller: state byte, mode byte, message.
    for state in range(12):
        for name, message in RELAY.items():
            write("controller", "s%02d_text_%s" % (state, name), bytes([state, 0]) + compact(message))
    for state in (5, 6):  # host active, after hello
        for name in ("ping", "permissions", "select", "frameack"):
            write("controller", "s%02d_control_%s" % (state, name), bytes([state, 4]) + compact(CONTROL[name]))
        write("controller", "s%02d_input_move" % state, bytes([state, 2]) + compact(INPUT["move"]))
        write("controller", "s%02d_tools" % state, bytes([state, 5]) + b"\x00" * 40)
    for state in (9, 10, 11):  # viewer joined, bound, after hello
        write("controller", "s%02d_binding" % state, bytes([state, 3]) + RID.encode())
        write("controller", "s%02d_control_hello" % state, bytes([state, 4]) + compact(HELLO))
        write("controller", "s%02d_frame" % state, bytes([state, 1]) + frame(1, 1, jpegs["gray"]))
    # controller scripts: state byte, 0xFF, steps (tag, 2-byte number, message).
    def step(tag, payload=b"", number=None):
        return bytes([tag]) + struct.pack(">H", len(payload) if number is None else number) + payload

    def wait(seconds):
        return step(7, number=int(seconds * 10))

    # Each attempt with a nonce of its own, refused at once by a wrong confirmation: the seventh
    # within a minute meets the attempt limit; after a minute they are admitted again.
    def attempt(i):
        offer = "p3:" + "%032x" % (i + 1) + ":" + "cd" * 32
        return (step(0, compact(dict(RELAY["connectrequest"], password=offer)))
                + step(0, compact(RELAY["authresponse"])))

    write("controller", "script_attempt_limit", bytes([1, 0xFF]) + b"".join(attempt(i) for i in range(8)))
    write("controller", "script_attempts_after_a_minute", bytes([1, 0xFF])
          + b"".join(attempt(i) for i in range(7)) + wait(61) + attempt(7))
    write("controller", "script_repeated_nonce", bytes([1, 0xFF]) + attempt(0) + attempt(0))
    for state, name in ((2, "challenge"), (3, "consent"), (4, "accepted"), (8, "viewer_auth"),
                        (9, "viewer_joined")):
        write("controller", "script_%s_runs_out" % name, bytes([state, 0xFF]) + wait(10) + wait(40))
    write("controller", "script_viewer_times_out", bytes([7, 0xFF]) + wait(1) + wait(60))
    for state in (6, 11):
        write("controller", "s%02d_script_pings" % state, bytes([state, 0xFF])
              + step(4, compact(CONTROL["ping"])) + wait(5) + wait(30) + step(4, compact(CONTROL["pong"]))
              + wait(120))
    write("controller", "s06_script_select_then_leave", bytes([6, 0xFF]) + step(4, compact(CONTROL["select"]))
          + wait(1) + step(0, compact(RELAY["peerdisconnected"])))
    write("controller", "s06_raw_binary", bytes([6, 6]) + b"OV\x03\x04" + b"\x00" * 7 + b"\x01" + b"\x00" * 20)

    # peer_session: flags, then records.
    for host in (0, 1):
        for name, message in CONTROL.items():
            write("peer_session", "%s_%s" % ("host" if host else "viewer", name),
                  bytes([host | 2]) + record(4, compact(message)))
    write("peer_session", "viewer_hello", bytes([0]) + record(4, compact(HELLO)))
    write("peer_session", "host_helloack", bytes([1]) + record(4, compact(HELLO_ACK)))
    for name, message in INPUT.items():
        write("peer_session", "host_input_" + name, bytes([3]) + record(2, compact(message)))
    write("peer_session", "viewer_frames", bytes([2]) + record(1, frame(1, 1, jpegs["baseline"]))
          + record(1, frame(1, 2, jpegs["progressive"])))
    write("peer_session", "host_tools", bytes([3]) + record(5, b"\x00" * 16 + b"chunk"))
    write("peer_session", "host_select_then_ack", bytes([3]) + record(4, compact(CONTROL["select"]))
          + record(4, compact({"op": "frameAck", "epoch": 2, "seq": 1})))

    # sealed_channel: raw messages to open, and plaintexts to seal as each kind.
    write("sealed_channel", "raw_header", b"\x00OV\x03\x04" + b"\x00" * 7 + b"\x01" + b"\x00" * 16)
    write("sealed_channel", "raw_short", b"\x00OV\x03")
    for kind in range(6):
        write("sealed_channel", "seal_kind%d" % kind, bytes([1 | (kind << 1)]) + compact(CONTROL["ping"]))
    write("sealed_channel", "seal_empty", bytes([1 | (4 << 1)]))

    # jpeg: the test pictures, and the frame's JPEG cut short.
    for name, data in jpegs.items():
        write("jpeg", name, data)
    write("jpeg", "truncated", jpegs["baseline"][:300])
    region_frame_seeds(jpegs)

    # catalogue: rows as catalogue.txt has them.
    write("catalogue", "rows", "Ready|Haz\u0131r|Bereit|Pr\u00eat|Listo|Pronto|\u0413\u043e\u0442\u043e\u0432\u043e|\u5c31\u7eea\n"
          "Connect|a|b|c|d|e|f|g|\n\nDisconnect|1|2|3|4|5|6|7\n".encode())
    write("catalogue", "missing", b"Only|two\n")
    write("catalogue", "utf8_edges", b"\xed\x9f\xbf|\xee\x80\x80|\xf4\x8f\xbf\xbf|\xf0\x90\x80\x80|\xe0\xa0\x80|\xc2\x80|x|y\n")

    # relay_url: byte-wide and two-byte characters.
    for name, url in {"wss": "wss://relay.example.com/ws", "port": "wss://relay.example.com:8443/ws?x=1",
                      "ipv6": "wss://[2001:db8::1]:443/ws", "loopback": "ws://localhost:8080/ws",
                      "creds": "wss://user:pw@relay.example.com/ws", "plain": "ws://relay.example.com/ws",
                      "ipv6loop": "ws://[::1]/"}.items():
        write("relay_url", name, b"\x00" + url.encode())
        write("relay_url", name + "_wide", b"\x01" + url.encode("utf-16-le"))

    # relay_matcher: scripts of open (0), text (1), binary (4), closed (5), time (6) events.
    def ev(op, conn, address=0):
        return bytes([op | ((conn - 1) << 4) | (address << 6)])

    def text(conn, message):
        payload = compact(message)
        return ev(1, conn) + struct.pack(">H", len(payload)) + payload

    host_reg = {"type": "register", "role": "host", "protocol": 3, "sessionId": "482913775", "build": "0.3.9"}
    viewer_reg = {"type": "register", "role": "viewer", "protocol": 3, "sessionId": "482913775",
                  "password": RELAY["connectrequest"]["password"], "build": "0.3.9"}
    rid = "%032x" % 1
    pairing = (ev(0, 1) + text(1, host_reg) + ev(0, 2, 1) + text(2, viewer_reg)
               + text(1, {"type": "authChallenge", "requestId": rid, "message": "12" * 32, "confirmation": "34" * 32})
               + text(2, {"type": "authResponse", "requestId": rid, "confirmation": "56" * 32})
               + text(1, {"type": "connectResponse", "requestId": rid, "accepted": True}))
    write("relay_matcher", "pairing", pairing)
    write("relay_matcher", "pairing_binary", pairing + ev(4, 1) + b"\x00\x10" + ev(4, 2) + b"\x00\x01" + ev(5, 1))
    write("relay_matcher", "register_timeout", ev(0, 1) + ev(6, 1) + b"\x0b")
    write("relay_matcher", "refused", pairing[:-len(text(1, {"type": "connectResponse", "requestId": rid, "accepted": True}))]
          + text(1, {"type": "connectResponse", "requestId": rid, "accepted": False}))
    write("relay_matcher", "bad_json", ev(0, 3) + ev(1, 3) + b"\x00\x03{x}")

    # relay_matcher as a fleet node (0xFE first): fleet events are 7 with a byte (what, answer,
    # which): 0 answer a claim, 1 answer a lookup, 2 a remote viewer, 3 a lease lost.
    def fleet(conn, what, answer=0, which=0):
        return ev(7, conn) + bytes([what | (answer << 3) | (which << 5)])

    claimed = ev(0, 1) + text(1, host_reg) + fleet(1, 0)
    write("relay_matcher", "fleet_host_claimed", b"\xfe" + claimed + ev(5, 1))
    write("relay_matcher", "fleet_claim_taken", b"\xfe" + ev(0, 1) + text(1, host_reg) + fleet(1, 0, 1))
    write("relay_matcher", "fleet_claim_after_close", b"\xfe" + ev(0, 1) + text(1, host_reg) + ev(5, 1) + fleet(1, 0))
    write("relay_matcher", "fleet_lease_lost", b"\xfe" + claimed + fleet(1, 3))
    write("relay_matcher", "fleet_viewer_handed_off", b"\xfe" + ev(0, 2) + text(2, viewer_reg) + fleet(2, 1)
          + ev(4, 2) + b"\x00\x01" + ev(5, 2))
    write("relay_matcher", "fleet_viewer_unknown", b"\xfe" + ev(0, 2) + text(2, viewer_reg) + fleet(2, 1, 2))
    write("relay_matcher", "fleet_remote_viewer_pairs", b"\xfe" + claimed + fleet(2, 2)
          + text(1, {"type": "authChallenge", "requestId": rid, "message": "12" * 32, "confirmation": "34" * 32})
          + text(2, {"type": "authResponse", "requestId": rid, "confirmation": "56" * 32})
          + text(1, {"type": "connectResponse", "requestId": rid, "accepted": True})
          + ev(4, 1) + b"\x00\x01" + ev(5, 2) + ev(5, 1))

    # ecdsa: the curve's generator as a public blob (and with a broken header or coordinate),
    # signatures to check with the fixed key, and signing with each change.
    gx = bytes.fromhex("6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296")
    gy = bytes.fromhex("4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5")
    header = bytes.fromhex("4543533120000000")
    write("ecdsa", "blob_generator", b"\x00" + header + gx + gy)
    write("ecdsa", "blob_bad_magic", b"\x00" + b"ECS2" + header[4:] + gx + gy)
    write("ecdsa", "blob_off_curve", b"\x00" + header + gx + gy[:-1] + b"\xf6")
    write("ecdsa", "blob_x_is_p", b"\x00" + header + bytes.fromhex("ffffffff00000001" + "0" * 24 + "ffffffffffffffffffffffff") + gy)
    write("ecdsa", "verify_zero", b"\x01" + bytes(64) + b"manifest")
    write("ecdsa", "verify_order", b"\x01" + bytes.fromhex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551") * 2 + b"x")
    for change in range(6):
        write("ecdsa", "sign_change%d" % change, bytes([2, change, 0x2a]) + compact({"version": "0.4.0"}))

    # manifest: a response body (mode 0), payloads the harness signs (1), and signed payloads
    # whose envelope gets one byte changed (2).
    good = {"schema": 1, "platform": "windows-x64", "version": "0.4.0", "bytes": 65536,
            "sha256": "ab" * 32}
    write("manifest", "body_unsigned", b"\x00" + compact({"payload": "eyJ2IjoxfQ==",
                                                          "signature": "AA" * 42 + "A="}))
    write("manifest", "body_array", b"\x00" + b'["eyJ2IjoxfQ==","AA=="]')
    write("manifest", "signed_good", b"\x01" + compact(good))
    for name, change in {"schema2": {"schema": 2}, "platform": {"platform": "linux-x64"},
                         "version_zero": {"version": "0.04.0"}, "bytes_small": {"bytes": 65535},
                         "bytes_large": {"bytes": 33554433}, "bytes_text": {"bytes": "65536"},
                         "hash_upper": {"sha256": "AB" * 32}, "extra": {"x": 1}}.items():
        write("manifest", "signed_" + name, b"\x01" + compact(dict(good, **change)))
    write("manifest", "signed_deep", b"\x01" + b'{"a":[[[1]]]}')
    write("manifest", "changed_payload", b"\x02\x00\x0c\x01" + compact(good))
    write("manifest", "changed_signature", b"\x02\x00\xf0\x20" + compact(good))

    # version: the announced text, 0x00, the running one.
    for name, pair in {"newer": "0.4.0\x000.3.9", "same": "0.3.9\x000.3.9", "older": "0.3.10\x000.4.0",
                       "largest": "65535.65535.65535", "too_large": "65536.0.0", "leading_zero": "00.1.0",
                       "two_parts": "1.2", "four_parts": "1.2.3.4", "sign": "+1.0.0", "space": "1.0.0 ",
                       "empty_part": "1..0"}.items():
        write("version", name, pair.encode())

    # https_get: the limit (byte % 6 of 0, 1, 64, 16384, 16385, 65536), then the raw response.
    def response(status, body, headers="Connection: close\r\n"):
        return ("HTTP/1.1 %s\r\nContent-Length: %d\r\n%s\r\n" % (status, len(body), headers)).encode() + body
    manifest_body = compact({"payload": "eyJ2IjoxfQ==", "signature": "AA=="})
    write("https_get", "ok", b"\x03" + response("200 OK", manifest_body))
    write("https_get", "ok_at_limit", b"\x02" + response("200 OK", b"m" * 64))
    write("https_get", "over_announced", b"\x02" + response("200 OK", b"m" * 65))
    write("https_get", "empty", b"\x00" + response("200 OK", b""))
    write("https_get", "redirect", b"\x03" + response("302 Found", b"", "Location: https://elsewhere/\r\n"))
    write("https_get", "not_found", b"\x03" + response("404 Not Found", b"gone"))
    write("https_get", "short_body", b"\x05" + b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this")
    write("https_get", "until_close", b"\x05" + b"HTTP/1.0 200 OK\r\n\r\nbody until the end")
    chunked = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"
    write("https_get", "chunked", b"\x02" + chunked)
    write("https_get", "chunked_over", b"\x01" + chunked)
    write("https_get", "bad_chunk", b"\x02" + chunked.replace(b"6\r\n", b"zz\r\n"))
    write("https_get", "two_lengths", b"\x03" + b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd")
    write("https_get", "garbage", b"\x03" + b"\x16\x03\x01 not http")

    # file_names: UTF-16LE names, safe and each kind of unsafe.
    for name, text in {"plain": "report 2024.pdf", "unicode": "\u00e9t\u00e9 \u4e2d.txt",
                       "con": "CON", "con_ext": "con .txt", "conin": "CONIN$", "com_super": "COM\u00b9",
                       "lpt9": "lpt9.log", "com10": "COM10", "dot": ".", "dotdot": "..",
                       "trailing_dot": "a.", "trailing_space": "a ", "override": "x\u202etxt.exe",
                       "isolate": "\u2066a", "slash": "a/b", "colon": "a:b", "control": "a\tb",
                       "long180": "a" * 180, "long181": "a" * 181}.items():
        write("file_names", name, text.encode("utf-16-le"))

    # input_event: one plaintext (selector 0), or events of 21 bytes (selector 1).
    for name, message in INPUT.items():
        write("input_event", "json_" + name, b"\x00" + compact(message))
    write("input_event", "json_array", b"\x00[1]")

    def event(word, x, y, button, key, epoch):
        return bytes([word]) + struct.pack(">iiiii", x, y, button, key, epoch)
    write("input_event", "events_click",
          b"\x01" + event(0, 100, 65535, 1, 0, 1) + event(1, 0, 0, 1, 0, 1) + event(2, 65535, 0, 1, 0, 1))
    write("input_event", "events_keys",
          b"\x01" + event(4, 0, 0, 0, 16, 1) + event(4, 0, 0, 0, 65, 1) + event(5, 0, 0, 0, 65, 1))
    write("input_event", "events_wheel",
          b"\x01" + event(3, 5, 5, 0, -120, 1) + event(3, 5, 5, 0, 0, 1) + event(3, 5, 5, 0, 12001, 1))
    write("input_event", "events_bad", b"\x01" + event(6, 0, 0, 0, 0, 1) + event(7, 1, 1, 1, 1, 1)
          + event(1, 0, 0, 4, 0, 1) + event(0, -1, 0, 0, 0, 0))

    # peer_tools: flags (host, local and peer permissions), then records of what the peer sends
    # and what the local user does (see peer_tools_fuzz.cc).
    def rec(what, payload):
        return bytes([what]) + struct.pack(">H", len(payload)) + payload

    def peer(message):
        return rec(0, compact(message))
    tid = "00" * 15 + "01"
    offer = peer({"op": "fileOffer", "id": tid, "name": "a.txt", "size": 5})
    for host, flags in ((1, 0x7F), (0, 0x7E)):
        who = "host" if host else "viewer"
        write("peer_tools", who + "_receive", bytes([flags]) + offer + rec(5, b"\x01\x00")
              + rec(3, b"hello") + rec(4, b"\x02\x00"))
        write("peer_tools", who + "_receive_bad_digest", bytes([flags]) + offer + rec(5, b"\x01\x00")
              + rec(3, b"hello") + rec(4, b"\x02\x01" + b"\x11" * 32))
        big = peer({"op": "fileOffer", "id": tid, "name": "b.bin", "size": 70000})
        write("peer_tools", who + "_receive_big", bytes([flags]) + big + rec(5, b"\x01\x01b.bin")
              + rec(3, b"x" * 32768) + rec(3, b"y" * 32768) + rec(3, b"z" * 4464) + rec(4, b"\x02\x00"))
        write("peer_tools", who + "_receive_declined", bytes([flags]) + offer + rec(5, b"\x02\x00")
              + rec(3, b"late"))
        write("peer_tools", who + "_send_small", bytes([flags]) + rec(5, b"\x00\x00") + rec(4, b"\x00\x00")
              + rec(4, b"\x01\x00") + rec(4, b"\x03\x00"))
        write("peer_tools", who + "_send_photo", bytes([flags]) + rec(5, b"\x00\x01") + rec(4, b"\x00\x00")
              + rec(4, b"\x01\x01\x00\x01\x00\x00") + rec(4, b"\x01\x00") + rec(4, b"\x03\x00"))
        write("peer_tools", who + "_send_cancelled", bytes([flags]) + rec(5, b"\x00\x01") + rec(4, b"\x00\x00")
              + rec(4, b"\x04\x00") + rec(4, b"\x01\x00"))
        write("peer_tools", who + "_idle", bytes([flags]) + offer + rec(5, b"\x0c\x00\x00\x02\x49\xf0")
              + rec(5, b"\x0c\x00\x00\x02\x49\xf0"))
        write("peer_tools", who + "_chat", bytes([flags]) + peer({"op": "chat", "text": "hi"})
              + rec(5, b"\x04\x00hello there") + peer({"op": "chat", "text": ""}))
        write("peer_tools", who + "_clipboard", bytes([flags]) + peer({"op": "clipboard", "text": "copy"})
              + rec(5, b"\x06\x00") + rec(5, b"\x05\x00") + rec(5, b"\x09\x00new text")
              + peer({"op": "clipboardSync", "text": "synced", "token": 3}))
        write("peer_tools", who + "_permissions", bytes([flags]) + offer + rec(5, b"\x0a\x01")
              + peer({"op": "permissions", "control": True, "files": False, "clipboard": True}))
    write("peer_tools", "host_offer_from_peer_template", bytes([0x7F]) + rec(4, b"\x05\x00\x09notes.txt")
          + rec(5, b"\x01\x00") + rec(3, b"abcdefghi") + rec(4, b"\x02\x00"))
    def window(kind, flags=0, x=0, y=0, key=0):
        return rec(7, bytes([kind, flags]) + struct.pack(">hhh", x, y, key))
    picture = rec(6, frame(1, 1, jpegs["gray"]))
    write("peer_tools", "viewer_window_input", bytes([0x7E]) + picture + window(0, 0, 400, 300)
          + window(1, 0, 400, 300) + window(0, 0, 410, 310) + window(2, 0, 900, 700)
          + window(4, 0, key=65) + window(4, 0x04, key=65) + window(5, 0, key=65)
          + window(3, 0, 400, 300, 120) + window(3, 0x08, 400, 300, -120) + window(6))
    write("peer_tools", "viewer_window_pan", bytes([0x7E]) + picture + window(4, 0, key=32)
          + window(1, 0, 400, 300) + window(0, 0, 420, 320) + window(2, 0, 420, 320) + window(5, 0, key=32)
          + window(4, 0x40, key=27) + window(7))
    write("peer_tools", "viewer_window_paste", bytes([0x7E]) + picture + window(4, 0x08, key=17)
          + window(4, 0x08, key=86) + peer({"op": "clipboardAck", "token": 1, "applied": True})
          + window(5, 0, key=17))
    write("peer_tools", "viewer_paste", bytes([0x7E]) + rec(5, b"\x08\x00")
          + peer({"op": "clipboardAck", "token": 1, "applied": True}))
    write("peer_tools", "host_input", bytes([0x7F]) + rec(2, compact(dict(INPUT["key"], action="keydown")))
          + rec(2, compact(dict(INPUT["move"], action="down"))) + rec(5, b"\x0b\x00")
          + rec(2, compact(dict(INPUT["key"], action="keyup"))))
    write("peer_tools", "host_input_offer", bytes([0x7F]) + rec(2, compact(dict(INPUT["key"], action="keydown")))
          + offer + rec(2, compact(dict(INPUT["key"], action="keyup"))))

    # relay_server: scripts of steps over four raw clients (see relay_server_fuzz.cc).
    def st(op, client=0, p=0):
        return bytes([op | (client << 4) | (p << 6)])

    def tpl(client, which, session=0):
        return st(5, client) + bytes([which | (session << 3)])

    def read(client, p=3):
        return st(7, client, p)

    def ws_open(client, variant=0):
        return st(0, client) + st(1, client, variant)

    pair = (ws_open(0) + tpl(0, 0) + read(0) + ws_open(1) + tpl(1, 1) + read(0) + tpl(0, 2)
            + read(1) + tpl(1, 3) + read(0) + tpl(0, 4) + st(8, 1))
    write("relay_server", "pairing", pair + st(6, 0) + b"\x00\x64" + read(1) + st(9, 0) + b"\x03\xe8" + read(0))
    write("relay_server", "pairing_fragments_ping", pair + st(6, 1, 1) + b"\x01\x00" + st(12, 1, 0) + b"\x05"
          + st(6, 0, 1) + b"\x00\x10" + read(0) + read(1) + st(11, 1) + read(0))
    write("relay_server", "pairing_refused", pair[:-len(tpl(0, 4) + st(8, 1))] + tpl(0, 5) + read(1))
    challenge = b'{"type":"authChallenge","requestId":"$R","message":"m","confirmation":"c"}'
    write("relay_server", "text_request_id", ws_open(0) + tpl(0, 0) + read(0) + ws_open(1) + tpl(1, 1) + read(0)
          + st(4, 0) + struct.pack(">H", len(challenge)) + challenge + read(1))
    raw_frame = lambda first, length_byte, rest=b"": st(3, 0) + bytes([first, length_byte]) + rest
    mask = b"\x01\x02\x03\x04"
    violations = {
        "unmasked": raw_frame(0x81, 0x02, b"{}"),
        "reserved_bits": raw_frame(0xc1, 0x82, mask + b"ab"),
        "unknown_opcode": raw_frame(0x83, 0x81, mask + b"x"),
        "fragmented_ping": raw_frame(0x09, 0x81, mask + b"x"),
        "long_ping": st(12, 0, 2) + b"\x10",
        "top_bit_length": raw_frame(0x82, 0xff, b"\x80" + bytes(7) + mask),
        "over_limit": raw_frame(0x82, 0xff, b"\x00\x00\x00\x00\x01\x00\x00\x00" + mask),
        "short_length_form": raw_frame(0x82, 0xfe, b"\x00\x05" + mask + b"abcde"),
        "bad_close_code": st(9, 0, 0) + b"\x03\xe7",
        "close_reason_utf8": st(9, 0, 2) + b"\x03\xe8\xc0\xaf",
        "bad_utf8_text": raw_frame(0x81, 0x82, mask + bytes(a ^ b for a, b in zip(b"\xed\xa0", mask))),
        "continuation_first": raw_frame(0x80, 0x81, mask + b"x"),
        "partial_header": st(15, 0, 2),
        "half_close": st(6, 0, 1) + b"\x00\x08" + st(10, 0) + read(0),
    }
    for name, steps in violations.items():
        write("relay_server", "ws_" + name, ws_open(0) + steps + read(0))
    write("relay_server", "ws_unregistered_host_id_flood", b"".join(ws_open(c) + tpl(c, 0, 1) for c in range(4)) + read(0))
    write("relay_server", "http_variants", ws_open(0, 1) + ws_open(1, 2) + ws_open(2, 3) + st(0, 3) + st(14, 3, 1)
          + read(3) + st(0, 3) + st(2, 3) + b"\x12GET /metrics HTTP/1.1\r\n" + st(11, 3))
    write("relay_server", "http_garbage", st(0, 0) + st(2, 0) + b"\x08\x00\xff\r\n\r\n\x00\x01" + read(0)
          + st(0, 1) + (st(2, 1) + b"\xff" + b"X-Pad: " + b"a" * 246 + b"\r\n") * 4 + st(13, 1, 1))


def proxy_header_seeds():
    """proxy_header: byte 0 cuts the input in two (0x40: in the middle; bit 7 puts the signature in
    front), then a PROXY protocol version 2 header, valid or with one fault, as a load balancer
    writes it."""
    signature = b"\r\n\r\n\x00\r\nQUIT\n"

    def header(version_command, family_protocol, body, length=None):
        return signature + bytes([version_command, family_protocol]) + struct.pack(
            ">H", len(body) if length is None else length) + body

    def tlv(kind, value):
        return bytes([kind]) + struct.pack(">H", len(value)) + value

    inet = bytes([192, 0, 2, 1, 198, 51, 100, 7]) + struct.pack(">HH", 51234, 443)
    inet6 = (bytes.fromhex("20010db8000100020000000000000001") + bytes.fromhex("20010db8" + "00" * 11 + "99")
             + struct.pack(">HH", 40000, 443))
    mapped = bytes.fromhex("00000000000000000000ffffcb007109") + bytes(16) + struct.pack(">HH", 4660, 443)
    seeds = {
        "tcp4": header(0x21, 0x11, inet),
        "tcp4_then_data": header(0x21, 0x11, inet) + b"GET /ws HTTP/1.1\r\n",
        "tcp6": header(0x21, 0x21, inet6),
        "tcp6_mapped": header(0x21, 0x21, mapped),
        "tcp4_tlvs": header(0x21, 0x11, inet + tlv(0x01, b"h2") + tlv(0x04, bytes(5)) + tlv(0xE0, b"")),
        "tcp4_longest": header(0x21, 0x11, inet + tlv(0x04, bytes(1009))),
        "udp4": header(0x21, 0x12, inet),
        "local": header(0x20, 0x00, b""),
        "unspec": header(0x21, 0x00, bytes(7)),
        "unix": header(0x21, 0x31, b"a" * 216),
        "bad_version": header(0x11, 0x11, inet),
        "bad_command": header(0x22, 0x11, inet),
        "bad_family": header(0x21, 0x41, inet),
        "too_long": header(0x21, 0x11, inet, 1025),
        "short_inet6": header(0x21, 0x21, inet),
        "tlv_overrun": header(0x21, 0x11, inet + b"\x01\x00\x0a" + bytes(5)),
        "plain_http": b"GET /ws HTTP/1.1\r\nHost: relay\r\n\r\n",
    }
    for name, data in seeds.items():
        write("proxy_header", name, b"\x40" + data)
    write("proxy_header", "tcp4_signature_given", b"\xc0" + header(0x21, 0x11, inet)[len(signature):])


if __name__ == "__main__":
    main()
