#!/usr/bin/env python3
"""Generates resources/firmware.hex, the outdoor unit's firmware image that the
program carries as Intel HEX lines.

The output is deterministic: the layout and the bytes come from a fixed-seed
SplitMix64 generator implemented here (not Python's `random`, whose streams
may change between Python versions), so every run on every machine writes the
same bytes. Run it again after a change and commit the result; `--check`
compares instead of writing.

Shape of the image (relied upon by the programming walk and its tests):
  * 731 lines: 730 data records, then the end record ":00000001FF";
  * 10,393 data bytes covering 0x0000-0x0020 and 0x0023-0x289A, each address
    set by exactly one record; 604 records carry 16 bytes, 126 carry 1 to 15;
  * the first line is the six-byte table record at 0x288C, the highest record
    start is 0x2898 (three bytes), the block at 0x0000 is the reset vector
    block below, and records are grouped in segments whose order is shuffled,
    as a linker writes them, so the file is not in address order;
  * no 16-byte block from 0x0000 to 0x2890 is all 0xFF, since blank blocks
    are never programmed.
Standard library only.
"""

import argparse
import pathlib
import sys

MASK64 = (1 << 64) - 1
SEED = 0x0D05_7A7E_2024_0001

RESET_ADDRESS = 0x0000
RESET_BLOCK = bytes.fromhex("0220BBA21492B4122885220227FAC2B7")
TABLE_ADDRESS = 0x288C
TABLE_BYTES = bytes.fromhex("00005E000071")
LAST_ADDRESS = 0x2898  # highest record start; its three bytes end at 0x289A
CODE_START = 0x0023    # 0x0021 and 0x0022 stay unset
CODE_END = TABLE_ADDRESS

END_RECORD = ":00000001FF"
DATA_RECORDS = 730
FULL_RECORDS = 604
DATA_BYTES = 10_393


class SplitMix64:
    def __init__(self, seed):
        self.state = seed & MASK64

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        return z ^ (z >> 31)

    def below(self, n):
        return self.next() % n

    def between(self, lo, hi):
        return lo + self.below(hi - lo + 1)

    def pick(self, weighted):
        total = sum(w for w, _ in weighted)
        r = self.below(total)
        for w, item in weighted:
            if r < w:
                return item
            r -= w
        raise AssertionError("unreachable")


# --- bytes -----------------------------------------------------------------

SFRS = [0x80, 0x81, 0x82, 0x83, 0x87, 0x88, 0x89, 0x8A, 0x8C, 0x90, 0x98,
        0x99, 0xA0, 0xA8, 0xB0, 0xB8, 0xC8, 0xD0, 0xE0, 0xF0]


def direct(rng):
    return rng.pick([(3, SFRS[rng.below(len(SFRS))]), (5, rng.between(0x08, 0x7F))])


def bit(rng):
    return rng.pick([(2, rng.between(0x80, 0xF7)), (3, rng.between(0x00, 0x7F))])


def rel(rng):
    return rng.pick([(3, rng.between(0x02, 0x30)), (2, rng.between(0xD0, 0xFC))])


def code_address(rng):
    return rng.between(CODE_START, CODE_END - 1)


def instruction(rng):
    """One 8051 instruction with plausible operands."""
    kind = rng.pick([
        (10, "mov_a_imm"), (9, "mov_dir_a"), (9, "mov_a_dir"), (6, "mov_dptr"),
        (5, "movx_read"), (5, "movx_write"), (4, "inc_dptr"), (7, "lcall"),
        (2, "ljmp"), (5, "short_jump"), (3, "cjne"), (5, "bit_op"),
        (3, "bit_jump"), (4, "clr_a"), (8, "reg_move"), (4, "mov_reg_imm"),
        (5, "alu_imm"), (2, "djnz"), (3, "mov_dir_imm"), (1, "mov_dir_dir"),
        (2, "carry"), (1, "movc"),
    ])
    if kind == "mov_a_imm":
        return [0x74, rng.below(256)]
    if kind == "mov_dir_a":
        return [0xF5, direct(rng)]
    if kind == "mov_a_dir":
        return [0xE5, direct(rng)]
    if kind == "mov_dptr":
        xdata = rng.between(0x0000, 0x07FF)
        return [0x90, xdata >> 8, xdata & 0xFF]
    if kind == "movx_read":
        return [0xE0]
    if kind == "movx_write":
        return [0xF0]
    if kind == "inc_dptr":
        return [0xA3]
    if kind in ("lcall", "ljmp"):
        target = code_address(rng)
        return [0x12 if kind == "lcall" else 0x02, target >> 8, target & 0xFF]
    if kind == "short_jump":
        return [rng.pick([(2, 0x80), (3, 0x60), (3, 0x70), (1, 0x40), (1, 0x50)]), rel(rng)]
    if kind == "cjne":
        return [0xB4, rng.below(256), rel(rng)]
    if kind == "bit_op":
        return [rng.pick([(1, 0xC2), (1, 0xD2), (1, 0xA2), (1, 0x92)]), bit(rng)]
    if kind == "bit_jump":
        return [rng.pick([(1, 0x20), (1, 0x30)]), bit(rng), rel(rng)]
    if kind == "clr_a":
        return [0xE4]
    if kind == "reg_move":
        return [rng.pick([(1, 0xE8), (1, 0xF8)]) + rng.below(8)]
    if kind == "mov_reg_imm":
        return [0x78 + rng.below(8), rng.below(256)]
    if kind == "alu_imm":
        return [rng.pick([(3, 0x24), (1, 0x34), (2, 0x94), (2, 0x54), (2, 0x44), (1, 0x64)]),
                rng.below(256)]
    if kind == "djnz":
        return [0xD8 + rng.below(8), rel(rng)]
    if kind == "mov_dir_imm":
        return [0x75, direct(rng), rng.below(256)]
    if kind == "mov_dir_dir":
        return [0x85, direct(rng), direct(rng)]
    if kind == "carry":
        return [rng.pick([(1, 0xC3), (1, 0xD3)])]
    return [0x93]


def routine(rng):
    """A subroutine: optional register saves, a body, the restores, RET."""
    saved = [0xE0, 0xD0][: rng.below(3)]
    out = []
    for reg in saved:
        out += [0xC0, reg]
    for _ in range(rng.between(4, 40)):
        out += instruction(rng)
    for reg in reversed(saved):
        out += [0xD0, reg]
    out.append(rng.pick([(12, 0x22), (1, 0x32)]))
    return out


def constant_table(rng):
    """Messages and lookup tables as a compiler places them after the code."""
    out = []
    for text in ("ODU BOOT", "TZ_M", "V3.5", "ERR", "OK"):
        out += list(text.encode("ascii")) + [0x00]
    out += [rng.below(256) for _ in range(48)]           # calibration table
    out += [(i * 37 + 11) & 0x7F for i in range(32)]     # step table
    return out


def code_bytes(rng, length, table_at_end=False):
    tail = constant_table(rng) if table_at_end else []
    out = []
    while len(out) < length - len(tail):
        out += routine(rng)
    out = out[: length - len(tail)] + tail
    assert len(out) == length
    return bytes(out)


# --- layout ----------------------------------------------------------------

def short_lengths(rng, count, total):
    """`count` record lengths from 1 to 15 that add up to `total` (drawn
    around the mean, then nudged one at a time to the exact sum)."""
    mean = total // count
    lengths = [rng.between(1, 2 * mean - 1) for _ in range(count)]
    while sum(lengths) != total:
        i = rng.below(count)
        if sum(lengths) > total and lengths[i] > 1:
            lengths[i] -= 1
        elif sum(lengths) < total and lengths[i] < 15:
            lengths[i] += 1
    return lengths


def code_segments(rng):
    """Splits CODE_START..CODE_END into segments, each a run of 16-byte
    records with one shorter record at its head or its tail."""
    fixed_full = 2                      # 0x0000 and 0x0010
    fixed_short = [1, 6, 6, 3]          # 0x0020, 0x288C, 0x2892, 0x2898
    full = FULL_RECORDS - fixed_full
    shorts = DATA_RECORDS - FULL_RECORDS - len(fixed_short)
    span = CODE_END - CODE_START
    lengths = short_lengths(rng, shorts, span - 16 * full)
    fulls = [0] * shorts
    for _ in range(full):
        fulls[rng.below(shorts)] += 1
    segments = []
    address = CODE_START
    for short, n16 in zip(lengths, fulls):
        sizes = [16] * n16
        if rng.below(3) == 0:
            sizes.insert(0, short)
        else:
            sizes.append(short)
        segment = []
        for size in sizes:
            segment.append((address, size))
            address += size
        segments.append(segment)
    assert address == CODE_END
    return segments


def build_image(rng):
    image = {}

    def put(address, data):
        for i, b in enumerate(data):
            assert address + i not in image
            image[address + i] = b

    put(RESET_ADDRESS, RESET_BLOCK)
    put(0x0010, code_bytes(rng, 0x21 - 0x10))
    put(CODE_START, code_bytes(rng, CODE_END - CODE_START, table_at_end=True))
    put(TABLE_ADDRESS, TABLE_BYTES)
    put(TABLE_ADDRESS + 6, bytes(rng.between(0x00, 0x7F) for _ in range(9)))
    return image


def record(address, data):
    body = bytes([len(data), address >> 8, address & 0xFF, 0x00]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + f"{checksum:02X}"


def generate():
    rng = SplitMix64(SEED)
    segments = code_segments(rng)
    image = build_image(rng)
    vectors = [(0x0000, 16), (0x0010, 16), (0x0020, 1)]
    first = [(TABLE_ADDRESS, 6)]
    tail = [(TABLE_ADDRESS + 6, 6), (LAST_ADDRESS, 3)]

    rest = [vectors, tail] + segments
    for i in range(len(rest) - 1, 0, -1):   # Fisher-Yates
        j = rng.below(i + 1)
        rest[i], rest[j] = rest[j], rest[i]

    lines = []
    for segment in [first] + rest:
        for address, size in segment:
            lines.append(record(address, [image[address + k] for k in range(size)]))
    lines.append(END_RECORD)
    self_check(lines, image)
    return "\n".join(lines) + "\n"


def self_check(lines, image):
    assert len(lines) == DATA_RECORDS + 1
    assert lines[0] == ":06288C0000005E00007177"
    assert lines[-1] == END_RECORD
    assert len(image) == DATA_BYTES
    counts = [int(line[1:3], 16) for line in lines[:-1]]
    assert sum(counts) == DATA_BYTES and counts.count(16) == FULL_RECORDS
    assert min(counts) == 1 and max(counts) == 16
    assert record(0, RESET_BLOCK) == ":100000000220BBA21492B4122885220227FAC2B79A"
    for block in range(0, TABLE_ADDRESS + 16, 16):
        assert any(image.get(block + i, 0xFF) != 0xFF for i in range(16)), hex(block)


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=pathlib.Path, default=root / "resources" / "firmware.hex")
    parser.add_argument("--check", action="store_true",
                        help="exit 1 if the output file differs from what would be generated")
    args = parser.parse_args()
    text = generate()
    if args.check:
        current = args.output.read_bytes() if args.output.exists() else b""
        if current != text.encode("ascii"):
            print(f"{args.output} is out of date; run {sys.argv[0]}", file=sys.stderr)
            return 1
        return 0
    args.output.write_bytes(text.encode("ascii"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
