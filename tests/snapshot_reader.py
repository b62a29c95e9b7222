"""Reads snapshot.bin back with struct, independently of the module: the decoded state (for
comparing two snapshots of the same state, whose maps may come in any order) and the byte
positions of every count, length and bitmap header (for the damage campaign). The record is
followed by a 20-byte trailer (marker, record length, CRC-32C of the record), checked here."""
import struct

MARKER = b"kvcrc32c"
_CRC_TABLE = []
for _i in range(256):
    _c = _i
    for _ in range(8):
        _c = (_c >> 1) ^ (0x82F63B78 if _c & 1 else 0)
    _CRC_TABLE.append(_c)


def crc32c(data):
    c = 0xFFFFFFFF
    for b in data:
        c = (c >> 8) ^ _CRC_TABLE[(c ^ b) & 0xFF]
    return c ^ 0xFFFFFFFF


def trailer(record):
    return MARKER + struct.pack("<QI", len(record), crc32c(record))


def split_trailer(data):
    """(record, True) for a file ending in a trailer that fits it, else (data, False)."""
    if len(data) >= 20 and data[-20:-12] == MARKER and struct.unpack_from("<Q", data, len(data) - 12)[0] == len(data) - 20:
        return data[:-20], True
    return data, False


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0
        # (kind, offset, width): the places where a count or length sits.
        self.fields = []

    def take(self, n):
        if n > len(self.data) - self.pos:
            raise ValueError("snapshot cut short at %d" % self.pos)
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def u8(self):
        return self.take(1)[0]

    def u16(self):
        return struct.unpack("<H", self.take(2))[0]

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]

    def count(self, kind):
        self.fields.append((kind, self.pos, 8))
        return self.u64()

    def text(self):
        n = self.count("text_len")
        return self.take(n).decode("utf-8")

    def bitmap(self):
        n = self.count("bitmap_len")
        start = self.pos
        body = self.take(n)
        return frozenset(decode_bitmap(body, start, self.fields))


def decode_bitmap(b, base=0, fields=None):
    """The members of one portable set without run containers (the form the writer produces)."""
    cookie, c = struct.unpack_from("<II", b, 0)
    if cookie != 12346:
        raise ValueError("unexpected cookie %d" % cookie)
    if fields is not None:
        fields.append(("container_count", base + 4, 4))
    members = []
    pos = 8 + 8 * c
    for k in range(c):
        key, card_m1 = struct.unpack_from("<HH", b, 8 + 4 * k)
        (off,) = struct.unpack_from("<I", b, 8 + 4 * c + 4 * k)
        if fields is not None:
            fields.append(("container_card", base + 8 + 4 * k + 2, 2))
            fields.append(("container_offset", base + 8 + 4 * c + 4 * k, 4))
        if off != pos:
            raise ValueError("container offset %d, expected %d" % (off, pos))
        card = card_m1 + 1
        high = key << 16
        if card <= 4096:
            lows = struct.unpack_from("<%dH" % card, b, pos)
            if list(lows) != sorted(set(lows)):
                raise ValueError("array container not ascending")
            members.extend(high | x for x in lows)
            pos += 2 * card
        else:
            words = struct.unpack_from("<1024Q", b, pos)
            got = [high | (w * 64 + i) for w, word in enumerate(words) for i in range(64) if word >> i & 1]
            if len(got) != card:
                raise ValueError("bitset cardinality")
            members.extend(got)
            pos += 8192
    if pos != len(b):
        raise ValueError("bitmap has %d trailing bytes" % (len(b) - pos))
    return members


def read_snapshot(data):
    """Decodes the eight fields into plain Python values; maps become dicts, bitmaps
    frozensets. Returns (state, reader) so callers can see where each count sits."""
    r = Reader(data)
    str_index = {}
    for _ in range(r.count("map_count")):
        name = r.text()
        values = {}
        for _ in range(r.count("map_count")):
            text = r.text()
            values[text] = r.bitmap()
        assert name not in str_index
        str_index[name] = values
    num_index = {}
    for _ in range(r.count("map_count")):
        name = r.text()
        slices = tuple(r.bitmap() for _ in range(32))
        existence = r.bitmap()
        num_index[name] = (slices, existence, r.u32(), r.u32(), r.u8())
    grid = {}
    for _ in range(r.count("map_count")):
        key = r.u64()
        grid[key] = r.bitmap()
    valid = r.bitmap()
    deleted = r.bitmap()
    ext = {}
    for _ in range(r.count("map_count")):
        h = r.u64()
        ext[h] = r.u32()
    ids_len = r.u64()
    meta_len = r.u64()
    record, r.trailer = split_trailer(data)
    if r.trailer:
        assert r.pos == len(record) and data[-20:] == trailer(record), "bad snapshot trailer"
    state = {
        "str_index": str_index,
        "num_index": num_index,
        "grid_index": grid,
        "valid_ids": valid,
        "deleted": deleted,
        "ext_to_int": ext,
        "ids_file_len": ids_len,
        "meta_file_len": meta_len,
    }
    return state, r


def encode_run_form(members):
    """The portable form with run containers (cookie 12347), which the writer never produces
    but a reader must accept: every container is written as runs of consecutive members."""
    by_key = {}
    for m in sorted(set(members)):
        runs = by_key.setdefault(m >> 16, [])
        low = m & 0xFFFF
        if runs and runs[-1][1] == low - 1:
            runs[-1][1] = low
        else:
            runs.append([low, low])
    return encode_runs(by_key)


def encode_runs(by_key):
    """by_key: {container key: [(first, last), ...]} of 16-bit lows, ascending."""
    keys = sorted(by_key)
    c = len(keys)
    out = struct.pack("<I", 12347 | (c - 1) << 16)
    flags = bytearray((c + 7) // 8)
    for k in range(c):
        flags[k // 8] |= 1 << (k % 8)
    out += bytes(flags)
    bodies = []
    for key in keys:
        runs = by_key[key]
        card = sum(b - a + 1 for a, b in runs)
        out += struct.pack("<HH", key, card - 1)
        bodies.append(struct.pack("<H", len(runs)) + b"".join(struct.pack("<HH", a, b - a) for a, b in runs))
    if c >= 4:  # offsets only from four containers on
        pos = len(out) + 4 * c
        for b in bodies:
            out += struct.pack("<I", pos)
            pos += len(b)
    return out + b"".join(bodies)


def replace_bitmap(data, frame, body):
    """The snapshot bytes with the bitmap framed at `frame` replaced by `body`, under a trailer
    that fits the new record when the old one had one (as the writer would checksum it)."""
    record, had = split_trailer(data)
    (n,) = struct.unpack_from("<Q", record, frame)
    record = record[:frame] + struct.pack("<Q", len(body)) + body + record[frame + 8 + n:]
    return record + trailer(record) if had else record
