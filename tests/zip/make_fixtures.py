#!/usr/bin/python3
"""Test-only encoders for the two old ZIP methods that no Debian tool writes: shrink
(method 1, LZW with partial clearing) and implode (method 6, sliding dictionary with
Shannon-Fano trees), written from the published ZIP application note. They make the tiny
archives in fixtures/, which are kept only because `unzip -t` and `7zz t` accept them.

    /usr/bin/python3 tests/zip/make_fixtures.py [output folder]
"""
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


class BitWriter:
    """Bits packed least significant first."""

    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, value, bits):
        for i in range(bits):
            self.acc |= ((value >> i) & 1) << self.n
            self.n += 1
            if self.n == 8:
                self.out.append(self.acc)
                self.acc = self.n = 0

    def done(self):
        if self.n:
            self.out.append(self.acc)
            self.acc = self.n = 0
        return bytes(self.out)


# ---------------------------------------------------------------- shrink

def shrink(data, bumps=(), clears=(), leaf_prefix_clears=False):
    """LZW, codes of 9 to 13 bits, code 256 as escape: (256, 1) widens the codes by one
    bit, (256, 2) frees every code that is no other code's prefix. bumps: after how many
    emitted codes to widen early; clears: after how many to clear partially.
    leaf_prefix_clears: also clear when the pending string's prefix is itself a leaf
    (it is freed with the others; the new string still extends it)."""
    w = BitWriter()
    size = 9
    table = {}          # (prefix code, byte) -> code
    parent = {}         # code -> (prefix code, byte)
    emitted = 0
    bumps, clears = list(bumps), list(clears)

    def lowest_free():
        c = 257
        while c in parent:
            c += 1
        return c

    def emit(code):
        nonlocal size, emitted
        while code >= (1 << size):
            w.put(256, size)
            w.put(1, size)
            size += 1
        w.put(code, size)
        emitted += 1

    def clear_leaves():
        prefixes = {p for (p, _) in parent.values()}
        for code in [c for c in parent if c not in prefixes]:
            del table[parent[code]]
            del parent[code]

    prev = data[0]
    for byte in data[1:]:
        if (prev, byte) in table:
            prev = table[(prev, byte)]
            continue
        emit(prev)
        if bumps and emitted >= bumps[0] and size < 13:
            bumps.pop(0)
            w.put(256, size)
            w.put(1, size)
            size += 1
        # A partial clear comes before the new string is added, and (unless asked
        # otherwise) only while the string's prefix is a literal or a code that something
        # else extends.
        prefixes = {p for (p, _) in parent.values()}
        asked = bool(clears) and emitted >= clears[0]
        safe = prev < 256 or prev in prefixes or (leaf_prefix_clears and asked)
        full = lowest_free() >= 8192
        if safe and (full or asked):
            if asked:
                clears.pop(0)
            w.put(256, size)
            w.put(2, size)
            clear_leaves()
        code = lowest_free()
        if code < 8192:
            table[(prev, byte)] = code
            parent[code] = (prev, byte)
        prev = byte
    emit(prev)
    return w.done()


# ---------------------------------------------------------------- implode

def huffman_lengths(freqs, limit=16):
    """Code lengths (all nonzero) of a complete prefix code, at most limit bits."""
    import heapq
    n = len(freqs)
    freqs = [f + 1 for f in freqs]
    while True:
        heap = [(f, i, (i,)) for i, f in enumerate(freqs)]
        heapq.heapify(heap)
        lengths = [0] * n
        counter = n
        while len(heap) > 1:
            f1, _, s1 = heapq.heappop(heap)
            f2, _, s2 = heapq.heappop(heap)
            for s in s1 + s2:
                lengths[s] += 1
            heapq.heappush(heap, (f1 + f2, counter, s1 + s2))
            counter += 1
        if max(lengths) <= limit:
            return lengths
        freqs = [(f + 1) // 2 + 1 for f in freqs]   # flatten and try again


def shannon_fano_codes(lengths):
    """The codes as the application note assigns them: lengths sorted ascending (stable),
    codes counted up from the longest, each left-aligned in 16 bits."""
    order = sorted(range(len(lengths)), key=lambda s: lengths[s])
    codes = [0] * len(lengths)
    code = increment = last = 0
    for s in reversed(order):
        code += increment
        if lengths[s] != last:
            last = lengths[s]
            increment = 1 << (16 - last)
        codes[s] = code >> (16 - lengths[s])
    return codes


def encode_lengths(lengths):
    """Runs of equal lengths: one byte per run of up to 16 (count-1 high, length-1 low),
    after a byte holding the number of run bytes minus one."""
    runs = []
    i = 0
    while i < len(lengths):
        j = i
        while j < len(lengths) and lengths[j] == lengths[i] and j - i < 16:
            j += 1
        runs.append(((j - i - 1) << 4) | (lengths[i] - 1))
        i = j
    return bytes([len(runs) - 1] + runs)


def implode(data, literal_tree, big_dictionary):
    window = 8192 if big_dictionary else 4096
    low_bits = 7 if big_dictionary else 6
    min_match = 3 if literal_tree else 2
    max_match = min_match + 63 + 255
    # Greedy matching with a hash of the next min_match bytes.
    tokens = []
    heads = {}
    i = 0
    while i < len(data):
        best_len, best_dist = 0, 0
        key = data[i:i + min_match]
        if len(key) == min_match:
            for j in reversed(heads.get(key, [])[-64:]):
                if i - j > window:
                    break
                n = 0
                while n < max_match and i + n < len(data) and data[j + n] == data[i + n]:
                    n += 1
                if n > best_len:
                    best_len, best_dist = n, i - j
        step = best_len if best_len >= min_match else 1
        if best_len >= min_match:
            tokens.append(('m', best_len, best_dist))
        else:
            tokens.append(('l', data[i], 0))
        for k in range(i, i + step):
            heads.setdefault(data[k:k + min_match], []).append(k)
        i += step

    lit_f, len_f, dist_f = [0] * 256, [0] * 64, [0] * 64
    for kind, a, b in tokens:
        if kind == 'l':
            lit_f[a] += 1
        else:
            len_f[min(a - min_match, 63)] += 1
            dist_f[(b - 1) >> low_bits] += 1
    trees = []
    if literal_tree:
        trees.append(huffman_lengths(lit_f))
    trees.append(huffman_lengths(len_f))
    trees.append(huffman_lengths(dist_f))
    head = b''.join(encode_lengths(t) for t in trees)
    codes = [(shannon_fano_codes(t), t) for t in trees]
    lit_c = codes[0] if literal_tree else None
    len_c, dist_c = codes[-2], codes[-1]

    w = BitWriter()

    def put_code(table, symbol):
        codes_, lens_ = table
        code, n = codes_[symbol], lens_[symbol]
        for bit in range(n - 1, -1, -1):        # the code's first bit first
            w.put((code >> bit) & 1, 1)

    for kind, a, b in tokens:
        if kind == 'l':
            w.put(1, 1)
            if literal_tree:
                put_code(lit_c, a)
            else:
                w.put(a, 8)
        else:
            w.put(0, 1)
            d = b - 1
            w.put(d & ((1 << low_bits) - 1), low_bits)
            put_code(dist_c, d >> low_bits)
            n = a - min_match
            if n >= 63:
                put_code(len_c, 63)
                w.put(n - 63, 8)
            else:
                put_code(len_c, n)
    return head + w.done()


# ---------------------------------------------------------------- archive

def zip_archive(entries):
    """entries: (name, data, method, flags, compressed) -> bytes of a ZIP archive."""
    out = bytearray()
    central = bytearray()
    dos_time, dos_date = (13 << 11) | (32 << 5), (44 << 9) | (5 << 5) | 1    # 2024-05-01 13:32
    for name, data, method, flags, packed in entries:
        crc = zlib.crc32(data) & 0xFFFFFFFF
        offset = len(out)
        nb = name.encode()
        out += struct.pack('<IHHHHHIIIHH', 0x04034b50, 10, flags, method, dos_time, dos_date, crc,
                           len(packed), len(data), len(nb), 0) + nb + packed
        central += struct.pack('<IBBHHHHHIIIHHHHHII', 0x02014b50, 10, 0, 10, flags, method, dos_time,
                               dos_date, crc, len(packed), len(data), len(nb), 0, 0, 0, 0, 0x20,
                               offset) + nb
    end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, len(entries), len(entries), len(central),
                      len(out), 0)
    return bytes(out + central + end)


def sample_text(n, seed):
    words = [b'shrink ', b'implode ', b'window ', b'code ', b'tree ', b'length\n', b'distance ',
             b'literal ', b'0123456789 ', b'ZIP ']
    out = bytearray()
    x = seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        if x % 7 == 0:
            out.append(x >> 16 & 0xFF)
        else:
            out += words[(x >> 8) % len(words)]
    return bytes(out[:n])


FIXTURES = {}


def build():
    text = sample_text(3000, 1)
    binary = bytes((i * i + (i >> 3)) & 0xFF for i in range(1500)) + sample_text(1500, 2)
    FIXTURES['shrink.zip'] = zip_archive([
        ('shrunk-small.txt', text[:300], 1, 0, shrink(text[:300])),
        ('shrunk-widened.txt', text, 1, 0, shrink(text, bumps=(40, 80, 120, 160), clears=(300, 600))),
        ('shrunk-binary.bin', binary, 1, 0, shrink(binary, bumps=(500,), clears=(700,))),
        ('shrunk-leaf-prefix.txt', text, 1, 0, shrink(text, clears=(169, 400), leaf_prefix_clears=True)),
    ])
    entries = []
    for literal_tree in (False, True):
        for big in (False, True):
            flags = (2 if big else 0) | (4 if literal_tree else 0)
            name = 'imploded-%s-%dk.txt' % ('lit' if literal_tree else 'raw', 8 if big else 4)
            data = text + binary if big else text
            entries.append((name, data, 6, flags, implode(data, literal_tree, big)))
    FIXTURES['implode.zip'] = zip_archive(entries)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, 'fixtures')
    os.makedirs(folder, exist_ok=True)
    build()
    for name, data in FIXTURES.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)
        print(name, len(data), 'bytes')


if __name__ == '__main__':
    main()
