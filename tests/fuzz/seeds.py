"""Writes the fuzz target's seed corpus (tests/fuzz/corpus/), one input per
case the fuzzer should start from. Byte layouts follow fuzz_vx.cpp."""
import pathlib
import struct

out = pathlib.Path(__file__).with_name("corpus")
SPECIAL = {0.0: 0, 1.0: 2, -1.0: 3, 0.5: 4, 0.3: 5, 2.0: 6, "nan": 11, "inf": 12, "-inf": 13,
           "max": 14, "tiny": 17, 2.0**31: 18, 1e30: 22}


def f(v):
    """A pick_float byte sequence for v."""
    if v in SPECIAL:
        return bytes([SPECIAL[v]])
    if isinstance(v, float) and (4 * v).is_integer() and -16 <= v < 16:
        return bytes([64 + int(4 * v)])
    return bytes([200]) + struct.pack("<f", v)


def kernel(name, dims, spacing, matrix, samples):
    blob = bytes([0]) + bytes(dims) + b"".join(f(v) for v in list(spacing) + list(matrix) + samples)
    (out / f"kernel-{name}").write_bytes(blob)


def stride(elements):
    """A stride byte meaning `elements` element sizes (-1 to 6)."""
    return {0: 0, -1: 0xEF, 1: 17, 2: 34, 3: 50, 4: 65, 5: 82, 6: 97}[elements]


def convert(name, type_, swapped, vector, dims, strides, start=0):
    blob = bytes([1, swapped | vector << 1, type_]) + bytes([3, 4, 5, 6, 0])
    blob += b"".join(bytes([d, stride(s)]) for d, s in zip(dims, strides)) + bytes([start])
    blob += bytes((i * 37 + 11) % 256 for i in range(512))
    blob += b"".join(f(v) for v in [1.9, -1.9, 300.5, -1.0, 32768.0, "nan", "inf", 0.1] * 8)
    (out / f"convert-{name}").write_bytes(blob)


if __name__ == "__main__":
    out.mkdir(exist_ok=True)
    eye = [1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0]
    ramp = [float(i % 16) for i in range(60)]
    kernel("identity", [1, 3, 4, 5], [1.0, 1.0, 1.0], eye, ramp)
    kernel("spacing03", [1, 2, 3, 5], [0.3, 1.0, 1.0], eye, ramp[:30])
    kernel("half-shift", [2, 2, 2, 3], [1.0, 1.0, 1.0], eye[:3] + [-0.5] + eye[4:], ramp[:24])
    kernel("face-band", [1, 3, 3, 4], [1.0, 2.0, 0.5], eye[:3] + [-1.5] + eye[4:], ramp[:36])
    kernel("nan-sample", [1, 3, 3, 3], [1.0, 1.0, 1.0], eye, ramp[:13] + ["nan"] + ramp[:13])
    kernel("nan-matrix", [1, 2, 2, 2], [1.0, 1.0, 1.0], ["nan"] + eye[1:], ramp[:8])
    kernel("zero-spacing", [1, 2, 2, 2], [0.0, 1.0, 1.0], eye, ramp[:8])
    kernel("single-slice", [1, 1, 3, 3], [1.0, 1.0, 1.0], eye, ramp[:9])
    kernel("empty", [1, 0, 3, 3], [1.0, 1.0, 1.0], eye, [])
    # Rows long enough for full vector lanes (34 columns) and for more than
    # one 256-column pass of the scalar target (305 columns).
    tilt = [1.0, 0.25, 0.0, -0.75, -0.25, 1.0, 0.0, 0.5, 0.0, 0.0, 1.0, 0.25]
    kernel("wide-row", [1, 3, 3, 0x39], [1.0, 1.0, 1.0], tilt, [float(i % 13) for i in range(306)])
    kernel("long-row", [1, 2, 2, 0xFF], [0.5, 1.0, 2.0], tilt, [float(i % 11) for i in range(1220)])
    kernel("huge", [1, 2, 2, 2], ["max", "tiny", 1e30], ["inf", 2.0**31] + eye[2:], ["-inf"] * 8)
    for t, size in [(2, 1), (3, 2), (7, 8), (9, 8), (11, 4), (12, 8), (0, 1), (5, 4)]:
        convert(f"c-{t}", t, 0, t == 9, [1, 2, 2, 3], [0, 6, 3, 1])
        convert(f"reversed-swapped-{t}", t, 1, 0, [1, 2, 3, 2], [0, -1, 2, -1], start=120)
        convert(f"fortran-{t}", t, 0, 0, [1, 3, 2, 2], [0, 1, 3, 6])
        convert(f"broadcast-{t}", t, 1, 0, [2, 1, 4, 3], [0, 0, 1, 0])
    convert("empty", 11, 0, 0, [1, 0, 3, 3], [0, 1, 1, 1])
