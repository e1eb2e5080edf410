#!/usr/bin/env python3
"""Prints the constant tables of src/core/cr_math_tables.hpp.

Every value is computed with 80 significant decimal digits (Python's decimal
module rounds exp and ln correctly) and rounded once to a double, so the
tables do not depend on any platform's libm. Run: python3 tools/gen_cr_math_tables.py
"""

import decimal
from decimal import Decimal as D  # noqa: N817 - short, as in the formulas

decimal.getcontext().prec = 80
LN2 = D(2).ln()


def to_double(value: D) -> float:
    # float(Decimal) goes through the decimal string, which CPython rounds correctly.
    return float(value)


def round_bits(value: D, bits: int) -> float:
    """value rounded to nearest-even with `bits` significant bits (exact as a double)."""
    if value == 0:
        return 0.0
    e2 = 0
    a = value.copy_abs()
    while a >= 2:
        a /= 2
        e2 += 1
    while a < 1:
        a *= 2
        e2 -= 1
    scaled = (value * (D(2) ** (bits - 1 - e2))).to_integral_value(rounding=decimal.ROUND_HALF_EVEN)
    return float(int(scaled)) * 2.0 ** (e2 - bits + 1)


def split(value: D, bits: int) -> tuple[float, D]:
    hi = round_bits(value, bits)
    return hi, value - D(hi)


def dbits(x: float) -> int:
    import struct

    bits: int = struct.unpack("<Q", struct.pack("<d", x))[0]
    return bits


out = []
out.append("// 2^(j/64) as double bits minus (j << 46): adding (k << 46) for k = 64*m + j")
out.append("// yields the bits of 2^m * 2^(j/64) directly.")
out.append("constexpr std::uint64_t kExp2Table[64] = {")
rows = []
for j in range(64):
    v = to_double((D(j) / 64 * LN2).exp())
    rows.append("0x%016Xull" % ((dbits(v) - (j << 46)) % (1 << 64)))
for i in range(0, 64, 4):
    out.append("    " + ", ".join(rows[i : i + 4]) + ",")
out.append("};")

out.append("")
out.append("// Logarithm reduction: z in [0x1.66p-1, 0x1.66p0) is cut into 128 intervals; for")
out.append("// each, invc ~ 1/c at the interval's centre with 29 significant bits (so z*invc")
out.append("// is exact for a 24-bit z) and logc = -ln(invc). The two intervals that touch 1")
out.append("// use invc = 1 so that ln(z) = log1p(z - 1) keeps full relative accuracy.")
inv_rows = []
log_rows = []
OFF = D(0x166) / 512  # 0.69921875
for i in range(128):
    if i < 77:
        lo = OFF + D(i) / 256
        hi = lo + D(1) / 256
    else:
        lo = 1 + D(i - 77) / 128
        hi = lo + D(1) / 128
    if i in (76, 77):
        invc = 1.0
        logc = 0.0
    else:
        c = (lo + hi) / 2
        invc = round_bits(1 / c, 29)
        logc = to_double(-(D(invc).ln()))
    inv_rows.append(invc.hex())
    log_rows.append(logc.hex())
out.append("constexpr double kLogTable[256] = {  // invc, logc")
for i in range(0, 128, 2):
    out.append("    %s, %s, %s, %s," % (inv_rows[i], log_rows[i], inv_rows[i + 1], log_rows[i + 1]))
out.append("};")

print("\n".join(out))
print()
by64_hi, rest = split(LN2 / 64, 39)
print("constexpr double kLn2By64Hi = %s;  // 39 bits: k * hi is exact for |k| < 2^14" % by64_hi.hex())
print("constexpr double kLn2By64Lo = %s;" % to_double(rest).hex())
print("constexpr double kInvLn2x64 = %s;" % to_double(64 / LN2).hex())
print("constexpr double kLn2By64 = %s;" % to_double(LN2 / 64).hex())
print("constexpr double kLn2 = %s;" % to_double(LN2).hex())
print("constexpr double kInvLn2 = %s;" % to_double(1 / LN2).hex())
ln2_hi, rest = split(LN2, 44)
print("constexpr double kLn2Hi = %s;  // 44 bits: e * hi is exact for |e| < 2^9" % ln2_hi.hex())
print("constexpr double kLn2Lo = %s;" % to_double(rest).hex())
# Double-double constants for the slow path.
h = to_double(LN2)
print("constexpr double kLn2DdHi = %s;" % h.hex())
print("constexpr double kLn2DdLo = %s;" % to_double(LN2 - D(h)).hex())
part1, rest = split(LN2, 42)
part2, rest = split(rest, 42)
part3 = to_double(rest)
print("constexpr double kLn2Part1 = %s;  // three 42-bit-or-less parts of ln 2" % part1.hex())
print("constexpr double kLn2Part2 = %s;" % part2.hex())
print("constexpr double kLn2Part3 = %s;" % part3.hex())
