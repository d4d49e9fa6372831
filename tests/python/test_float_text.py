"""Float text and float reading against Python's own: each stored float's text
is repr's shortest digits in the cache's layout, and each decimal text reads
as float() reads it. PELM_FLOAT_SAMPLES sets the number of random doubles
(10^6 by default; the long fuzz run asks for 10^8)."""

import array
import decimal
import math
import os
import random
import struct

import pytest

import pelm_lib

SAMPLES = int(os.environ.get("PELM_FLOAT_SAMPLES", "1000000"))
CHUNK = 1 << 20
BIG_LIMIT = 1 << 40


def from_bits(n):
    return struct.unpack("<d", struct.pack("<Q", n))[0]


def bits(x):
    return struct.pack("<d", x)


def expected_text(x):
    """repr's digits, laid out positionally when the first digit's decimal
    exponent is in [-5, 15] and as d[.ddd]e(+|-)E otherwise."""
    r = repr(x)
    sign = "-" if r[0] == "-" else ""
    mantissa, _, exp = r.lstrip("-").partition("e")
    whole, _, frac = mantissa.partition(".")
    all_digits = whole + frac
    digits = all_digits.strip("0")
    if not digits:
        return sign + "0.0"
    e = len(whole) - 1 - (len(all_digits) - len(all_digits.lstrip("0"))) + int(exp or 0)
    if e < -5 or e > 15:
        text = digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + ("e-" if e < 0 else "e+") + str(abs(e))
    elif e < 0:
        text = "0." + "0" * (-e - 1) + digits
    elif len(digits) <= e + 1:
        text = digits + "0" * (e + 1 - len(digits)) + ".0"
    else:
        text = digits[: e + 1] + "." + digits[e + 1 :]
    return sign + text


def hard_cases():
    """Every power of two (the narrower interval below each), the powers of
    ten and their neighbours, the ends of the subnormal and normal ranges,
    and the layout thresholds."""
    out = [0.0, -0.0, 5e-324, 1e-323, 2.225073858507201e-308, 2.2250738585072014e-308,
           1.7976931348623157e308, 1e23, 9007199254740993.0, 0.1, 0.3, 2.0 / 3, 1e-5, 9.9999e-6,
           1e16, 9999999999999998.0, 123456789012345680.0, 4.35, 0.000123456789]
    out += [math.ldexp(1.0, e) for e in range(-1074, 1024)]
    for e in range(-323, 309):
        p = float(f"1e{e}")
        out += [p, math.nextafter(p, 0.0), math.nextafter(p, math.inf)]
    out += [from_bits(n) for n in range(1, 3000)]
    out += [from_bits((1 << 52) - n) for n in range(1, 1000)]
    return [x for x in out if math.isfinite(x)]


def random_doubles(n, seed):
    """Uniformly random bits (every exponent) and, for every fourth, an
    exponent near 1.0, where the positional layouts are."""
    rng = random.Random(seed)
    out = array.array("d")
    out.frombytes(rng.randbytes(8 * n))
    near_one = array.array("Q")
    near_one.frombytes(rng.randbytes(8 * (n // 4)))
    for i, b in enumerate(near_one):
        out[4 * i] = from_bits((b & 0x800FFFFFFFFFFFFF) | ((1003 + b % 80) << 52))
    return [x for x in out if math.isfinite(x)]


def stored_texts(values):
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert("k", values)
    raw = cache.get_raw("k")
    return raw[1:-1].decode().split(","), cache.get("k")


def check_against_repr(values):
    texts, back = stored_texts(values)
    wrong = [(x, t) for x, t in zip(values, texts) if t != expected_text(x)]
    assert wrong[:5] == [] and len(texts) == len(values)
    assert [bits(x) for x in back] == [bits(x) for x in values]


def test_hard_cases_have_repr_digits():
    check_against_repr(hard_cases())


@pytest.mark.parametrize("chunk", range(max(1, -(-SAMPLES // CHUNK))))
def test_random_doubles_have_repr_digits(chunk):
    check_against_repr(random_doubles(min(CHUNK, SAMPLES - chunk * CHUNK), 20261209 + chunk))


def midpoint_texts(rng, n):
    """Texts next to the exact midpoint between two neighbouring doubles,
    where every digit decides the rounding: the midpoint cut to 17 to 40
    digits, rounded down and up."""
    ctx = decimal.Context(prec=800)
    out = []
    while len(out) < n:
        x = from_bits(rng.getrandbits(63))
        if not math.isfinite(x) or x == 0.0:
            continue
        mid = ctx.divide(ctx.add(decimal.Decimal(x), decimal.Decimal(math.nextafter(x, math.inf))), 2)
        for rounding in (decimal.ROUND_DOWN, decimal.ROUND_UP):
            cut = decimal.Context(prec=rng.randint(17, 40), rounding=rounding).plus(mid)
            out.append(f"{cut:e}")
    return out


def random_decimal_texts(rng, n):
    """1 to 40 significant digits, a point anywhere, and an exponent keeping
    the value within the double range (or below its smallest subnormal)."""
    out = []
    for _ in range(n):
        count = rng.randint(1, 40)
        digits = str(rng.randint(10 ** (count - 1), 10 ** count - 1))
        point = rng.randint(1, count)
        lead = rng.randint(-345, 307)
        text = digits[:point] + ("." + digits[point:] if point < count else "")
        exponent = lead - (point - 1)
        out.append(("-" if rng.random() < 0.5 else "") + text + (f"e{exponent}" if exponent or point == count else ""))
    return out


@pytest.mark.parametrize("kind", ["random", "midpoint"])
def test_decimal_texts_read_as_float_reads_them(kind):
    rng = random.Random(kind)
    texts = random_decimal_texts(rng, 100_000) if kind == "random" else midpoint_texts(rng, 20_000)
    cache = pelm_lib.Cache(BIG_LIMIT)
    cache.insert_raw("k", "[" + ",".join(texts) + "]")
    got = cache.get("k")
    wrong = [(t, g) for t, g in zip(texts, got) if bits(g) != bits(float(t))]
    assert wrong[:5] == [] and len(got) == len(texts)
