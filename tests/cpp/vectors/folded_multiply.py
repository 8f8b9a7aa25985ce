"""Generates the folded_multiply vectors in hash_test.cpp from the formula,
independently of the C++ code: four 32x32 partial products, XORed, with the
cross terms rotated by 32 bits.  Run: python3 folded_multiply.py"""
import random

M64 = (1 << 64) - 1


def folded_multiply(x: int, y: int) -> int:
    lx, hx = x & 0xFFFFFFFF, x >> 32
    ly, hy = y & 0xFFFFFFFF, y >> 32
    ll, hh, lh, hl = lx * ly, hx * hy, lx * hy, hx * ly
    cross = hl ^ lh
    rot = ((cross << 32) | (cross >> 32)) & M64
    return (hh ^ ll) ^ rot


def tag_of(h: int) -> int:
    return (h >> 57) or 1


rng = random.Random(20261206)
cases = [(0, 0), (M64, M64), (1, M64), (0xFFFFFFFF, 0xFFFFFFFF00000000), (0x9E3779B97F4A7C15, 0x123456789ABCDEF0)]
cases += [(rng.getrandbits(64), rng.getrandbits(64)) for _ in range(7)]
for x, y in cases:
    r = folded_multiply(x, y)
    print(f"    {{0x{x:016X}ull, 0x{y:016X}ull, 0x{r:016X}ull, {tag_of(r)}}},")
