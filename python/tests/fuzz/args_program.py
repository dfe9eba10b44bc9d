"""Turns fuzzer bytes into a short program of calls on korvane with odd arguments.

`Program(data)` reads the bytes from the front: a template index to work on, whether
warnings raise, then up to eight steps. Each step is a call of a Korvane method (or of the
constructor, `load`, `recommended_m`, `len`, `repr`, pickling) whose arguments are built
from the following bytes: nested lists and tuples of ints, floats, huge ints, NaN, inf,
None, str and bytes; NumPy arrays of many dtypes, shapes and layouts (sliced, Fortran,
reversed, broadcast, misaligned views into bytearrays, memmaps, masked arrays, ndarray
subclasses); and objects whose __float__, __index__, __len__, __iter__ or __getitem__
lie, raise or call back into the index. Bytes that run out read as zero, and a zero byte
always takes the plainest choice, so a short input is a plain, valid call.

The caller runs the steps: `next_step(previous_result)` gives `(callable, args, kwargs)`
or None when the program is over. A constructor or `load` that returned an index makes
that index the one the following steps work on. The libFuzzer target (args_fuzz.cpp)
calls each method's C function directly and checks what it returns; `run(data)` here
calls them through the interpreter, for the replay under pytest.

Every program starts from a fresh copy of one of the template indexes and an emptied
scratch folder, so an input does the same thing whenever and wherever it runs.
"""

import array
import collections
import decimal
import fractions
import math
import operator
import os
import pickle
import shutil
import struct
import sys
import tempfile
import warnings

import numpy as np

import korvane
from korvane import Korvane

# Never more items than this from one lying sequence: a sequence that claims to go on
# forever must not hang the run.
MAX_ITEMS = 64


class Reader:
    """The input bytes, read from the front; zeros once they run out."""

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def more(self):
        return self.pos < len(self.data)

    def u8(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def below(self, n):
        return self.u8() % n

    def pick(self, seq):
        return seq[self.u8() % len(seq)]

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk.ljust(n, b"\0")

    def u64(self):
        return int.from_bytes(self.take(8), "little")

    def f64(self):
        return struct.unpack("<d", self.take(8))[0]

    def f32(self):
        return struct.unpack("<f", self.take(4))[0]


# ---------------------------------------------------------------------------------------
# Objects that lie. Each mode is a small int chosen by the input.

class Boom(Exception):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    def lower(self):  # str.lower itself must be used, not this
        raise Boom("StrSub.lower")


class LyingFloat:
    """__float__ that returns the value, raises, returns a non-float or a float subclass."""

    def __init__(self, value, mode):
        self.value = value
        self.mode = mode

    def __float__(self):
        m = self.mode % 6
        if m == 0:
            return float(self.value) if isinstance(self.value, (int, float)) else 0.0
        if m == 1:
            raise Boom("__float__")
        if m == 2:
            return 7  # not a float: TypeError
        if m == 3:
            return FloatSub(1.5)  # a deprecated float subclass
        if m == 4:
            raise KeyboardInterrupt  # a BaseException, not an Exception
        return "1.0"


class LyingIndex:
    """__index__ that returns the value, raises, returns a non-int or an int subclass."""

    def __init__(self, value, mode):
        self.value = value
        self.mode = mode

    def __index__(self):
        m = self.mode % 6
        if m == 0:
            return int(self.value)
        if m == 1:
            raise Boom("__index__")
        if m == 2:
            return 1.0
        if m == 3:
            return True  # a bool: deprecated
        if m == 4:
            return IntSub(self.value)
        return -int(self.value) - 1


class IntLyingIndex(int):
    """An int whose own __index__ and __float__ say something else."""

    def __index__(self):
        return 2**64

    def __float__(self):
        raise Boom("IntLyingIndex.__float__")


class Reentrant:
    """__float__ and __index__ that call back into the index being worked on."""

    def __init__(self, ctx, action, value):
        self.ctx = ctx
        self.action = action
        self.value = value

    def _poke(self):
        w = self.ctx.w
        dim = self.ctx.dim()
        a = self.action % 10
        try:
            if a == 0:
                w.search([0.0] * dim, 1)
            elif a == 1:
                w.add([10_000 + self.ctx.serial()], [[0.5] * dim])
            elif a == 2:
                w.__setstate__(self.ctx.template_state())
            elif a == 3:
                w.keep_vectors("int8")
            elif a == 4:
                len(w)
                repr(w)
            elif a == 5:
                w.save(os.path.join(self.ctx.scratch, "reentrant.krvn"))
            elif a == 6:
                w.search_batch(np.zeros((2, dim), np.float32), 2)
            elif a == 7:
                w.set_nprobe(1)
                w.set_ef_search(5)
            elif a == 8:
                # Replace the index the program holds: the call in progress keeps its own.
                self.ctx.w = Korvane(max(dim, 1))
            else:
                w.build()
        except Exception:
            pass

    def __float__(self):
        self._poke()
        return float(self.value)

    def __index__(self):
        self._poke()
        return int(self.value)


class Mutator:
    """__float__ that changes a container while the conversion walks over it."""

    def __init__(self, target, action):
        self.target = target
        self.action = action
        self.done = False

    def __float__(self):
        if not self.done:
            self.done = True
            t = self.target
            a = self.action % 5
            try:
                if a == 0 and isinstance(t, list):
                    t.clear()
                elif a == 1 and isinstance(t, list):
                    t.append([0.0])
                elif a == 2 and isinstance(t, np.ndarray):
                    t.resize((0,), refcheck=False)
                elif a == 3 and isinstance(t, np.ndarray):
                    t[...] = np.nan
                elif a == 4 and isinstance(t, list) and t:
                    t[-1] = None
            except Exception:
                pass
        return 0.25


def _lying_len(mode, true_len):
    m = mode % 9
    if m == 0:
        return true_len
    if m == 1:
        return 0
    if m == 2:
        return 2**62
    if m == 3:
        return sys.maxsize
    if m == 4:
        raise Boom("__len__")
    if m == 5:
        return -1  # ValueError from len()
    if m == 6:
        return 2**64  # OverflowError
    if m == 7:
        return "3"  # TypeError
    return true_len + 5


class LyingSeq:
    """A sequence through __len__ and __getitem__ only: __len__ lies in many ways,
    __getitem__ may raise or run past the end (up to MAX_ITEMS)."""

    def __init__(self, items, len_mode, get_mode):
        self.items = items
        self.len_mode = len_mode
        self.get_mode = get_mode

    def __len__(self):
        return _lying_len(self.len_mode, len(self.items))

    def __getitem__(self, i):
        m = self.get_mode % 5
        if not isinstance(i, int):
            raise TypeError("indices must be integers")
        if i >= MAX_ITEMS:
            raise IndexError(i)
        if m == 1 and i == len(self.items) // 2:
            raise Boom("__getitem__")
        if m == 2:
            # Goes on past the end, repeating the items.
            if not self.items:
                raise IndexError(i)
            return self.items[i % len(self.items)]
        if m == 3 and i == len(self.items):
            raise KeyError(i)  # not an IndexError: the iteration fails
        return self.items[i]


class LyingIterSeq(LyingSeq):
    """A sequence with an __iter__ that yields other things than __getitem__ does."""

    def __iter__(self):
        m = self.get_mode % 5
        if m == 0:
            return iter(self.items)
        if m == 1:
            return iter(self.items + self.items)
        if m == 2:
            return self  # not an iterator: TypeError
        if m == 3:
            return self._raising()
        return iter(self.items[:1])

    def _raising(self):
        for i, x in enumerate(self.items):
            if i == 1:
                raise Boom("__iter__")
            yield x


class LyingArray(np.ndarray):
    """An ndarray subclass whose Python-level sequence methods lie."""

    def __len__(self):
        return _lying_len(getattr(self, "len_mode", 2), self.shape[0] if self.ndim else 0)

    def __getitem__(self, i):
        if getattr(self, "get_mode", 0) % 2:
            raise Boom("LyingArray.__getitem__")
        return np.ndarray.__getitem__(self, i)

    def __iter__(self):
        if getattr(self, "get_mode", 0) % 3 == 2:
            return iter([])
        return np.ndarray.__iter__(self)


# ---------------------------------------------------------------------------------------

FLOAT_SPECIALS = [
    math.nan, math.inf, -math.inf, -0.0, 1e308, -1e308, 5e-324, 3.4028234663852886e38,
    3.4028235677973366e38, 1e39, -1e39, 2.0**64, 2.0**63, 1e-45, 1e-46, -math.nan, 0.1, 65504.0,
    65520.0, 1e-8,
]
INT_SPECIALS = [
    0, 1, -1, 2, 3, 2**31 - 1, 2**31, 2**32, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63,
    -2**63 - 1, 10**30, -10**30, 2**1000, 255, 256, 65535, 65536,
]
NUMPY_SCALARS = [
    np.float16, np.float32, np.float64, np.longdouble, np.int8, np.uint8, np.int16, np.int32, np.int64,
    np.uint32, np.uint64, np.bool_, np.complex64, np.complex128,
]
INT_DTYPES = [np.int64, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.uint64, ">i8", "<u8",
              np.intp, np.longlong, np.ulonglong, np.bool_, np.float32, np.float64, object, ">u4"]
FLOAT_DTYPES = [np.float32, np.float32, np.float64, np.float16, np.longdouble, np.int8, np.uint8, np.int64,
                np.uint64, np.bool_, np.complex64, object, ">f4", ">f8", "<f4", np.int32, "m8[s]", "U4", "V4"]


class Program:
    """One input's program: see the module docstring."""

    def __init__(self, data):
        self.r = Reader(data)
        self.scratch = _scratch()
        _empty(self.scratch)
        self.template = self.r.below(len(_templates()))
        self.w = _copy_of(_templates()[self.template][1])
        self._serial = 0
        self.steps_left = 1 + self.r.below(8)
        self.last = None
        self.pending_check = None
        mode = self.r.below(4)
        warnings.resetwarnings()
        # Some programs run with warnings as errors: then a deprecated __float__ or
        # __index__ result fails the conversion in the middle.
        warnings.simplefilter("error" if mode == 3 else "ignore")
        np.seterr(all="ignore")

    # --- helpers the lying objects use
    def dim(self):
        try:
            return int(self.w.dim)
        except Exception:
            return 8

    def serial(self):
        self._serial += 1
        return self._serial

    def template_state(self):
        return _templates()[self.template][1]

    # --- scalars
    def number(self):
        """One value for a float position."""
        r = self.r
        k = r.below(32)
        if k < 8:
            return (r.u8() - 128) / 16.0
        if k == 8:
            return r.f64()
        if k == 9:
            return r.f32()
        if k in (10, 11):
            return r.pick(FLOAT_SPECIALS)
        if k == 12:
            return r.u8() - 128
        if k == 13:
            return r.pick([2**64, 2**1024, -2**1100, 10**400, 2**53 + 1])
        if k == 14:
            return bool(r.u8() & 1)
        if k in (15, 16):
            t = r.pick(NUMPY_SCALARS)
            v = r.pick(FLOAT_SPECIALS + [1, -1, 0, 300])
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    return t(v)
                except Exception:
                    return t(0)
        if k == 17:
            return None
        if k == 18:
            return r.pick(["1.5", "nan", "", "\udcff"])
        if k == 19:
            return r.pick([b"1", bytearray(b"2"), memoryview(b"3")])
        if k == 20:
            return r.pick([decimal.Decimal("1.25"), decimal.Decimal("NaN"), decimal.Decimal("sNaN"),
                           fractions.Fraction(1, 3), fractions.Fraction(10**400, 3), 1 + 2j])
        if k == 21:
            return LyingFloat(r.pick(FLOAT_SPECIALS + [1.0]), r.u8())
        if k == 22:
            return LyingIndex(r.pick(INT_SPECIALS), r.u8())
        if k == 23:
            return Reentrant(self, r.u8(), 0.5)
        if k == 24:
            return [r.u8()]
        if k == 25:
            return r.pick([np.array(1.5), np.array([2.5]), np.array([], np.float32), np.array([[1.0]]),
                           np.ma.masked_array([1.0], mask=[True])[0], np.float32(np.nan)])
        if k == 26:
            return object()
        if k == 27:
            return FloatSub(r.f64())
        if k == 28:
            return IntLyingIndex(r.u8())
        return float(r.u8())

    def integer(self):
        """One value for an int position (ids, k, threads, ef, nprobe, ...)."""
        r = self.r
        k = r.below(24)
        if k < 6:
            return r.u8() ^ 5  # a zero byte gives 5
        if k < 8:
            return r.u8() % 16
        if k in (8, 9, 10):
            return r.pick(INT_SPECIALS)
        if k == 11:
            return r.u64()
        if k in (12, 13):
            t = r.pick([np.int8, np.uint8, np.int16, np.int32, np.int64, np.uint32, np.uint64, np.intp, np.bool_])
            v = r.pick(INT_SPECIALS)
            return _np_int(t, v)
        if k == 14:
            return bool(r.u8() & 1)
        if k == 15:
            return r.pick([1.0, math.nan, 2.5, -0.0])
        if k == 16:
            return LyingIndex(r.pick(INT_SPECIALS), r.u8())
        if k == 17:
            return Reentrant(self, r.u8(), r.u8() % 8)
        if k == 18:
            return r.pick([None, "3", b"3", decimal.Decimal(3), fractions.Fraction(3, 1), 3 + 0j])
        if k == 19:
            return r.pick([np.array(3), np.array([3]), np.array(-1), np.array(2**63, dtype=np.uint64),
                           np.array(1.0)])
        if k == 20:
            return IntSub(r.u8())
        if k == 21:
            return IntLyingIndex(r.u8())
        return r.u8()

    def small_int(self):
        """Mostly small, sometimes odd: for tuning knobs whose large values cost time."""
        k = self.r.below(8)
        if k < 6:
            return self.r.u8() % 40
        # A legal but large request (an HNSW degree of 2**40, say) would only measure the
        # machine's memory: such values are brought down, whatever carries them.
        return _tame(self.integer(), 1000, 2**64)

    # --- rows
    def length(self, n):
        k = self.r.below(10)
        if k < 6:
            return n
        if k == 6:
            return n + 1
        if k == 7:
            return max(n - 1, 0)
        if k == 8:
            return 0
        return self.r.u8() % 40

    def values(self, n):
        return [self.number() for _ in range(n)]

    def plain_floats(self, n):
        r = self.r
        out = []
        for _ in range(n):
            k = r.below(8)
            if k < 5:
                out.append((r.u8() - 128) / 16.0)
            elif k == 5:
                out.append(r.pick(FLOAT_SPECIALS))
            elif k == 6:
                out.append(r.f32())
            else:
                out.append(r.f64())
        return out

    def array_of(self, shape, dtype):
        n = int(np.prod(shape)) if shape else 1
        vals = self.plain_floats(n)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                a = np.array(vals, dtype=np.float64).astype(dtype)
            except Exception:
                a = np.zeros(n, dtype=dtype)
        return a.reshape(shape)

    def row(self, dim):
        r = self.r
        n = self.length(dim)
        form = r.below(28)
        if form < 6:
            return self.values(n) if form < 4 else self.plain_floats(n)
        if form == 6:
            return tuple(self.values(n))
        if form in (7, 8, 9):
            return self.array_of((n,), np.float32 if form < 9 else r.pick(FLOAT_DTYPES))
        if form == 10:
            base = self.array_of((3 * n + 2,), r.pick(FLOAT_DTYPES[:5]))
            how = r.below(4)
            if how == 0:
                return base[::3][:n]
            if how == 1:
                return base[::-1][:n]
            if how == 2:
                return base[1::3][:n]
            return base[-1:-1 - 3 * n:-3][:n]
        if form == 11:
            dtype = np.dtype(r.pick([np.float32, np.float64, ">f4", np.int16]))
            off = r.below(8)
            buf = bytearray(n * dtype.itemsize + off)
            a = np.frombuffer(buf, dtype=dtype, count=n, offset=off)
            a[...] = self.array_of((n,), np.float64)
            return a
        if form == 12:
            data = self.array_of((n,), r.pick(FLOAT_DTYPES[:5]))
            mask = [bool(r.u8() & 1) for _ in range(n)]
            return np.ma.masked_array(data, mask=mask)
        if form == 13:
            items = self.values(n)
            cls = LyingIterSeq if r.u8() & 1 else LyingSeq
            return cls(items, r.u8(), r.u8())
        if form == 14:
            code = r.pick(["f", "d", "i", "b", "q", "B"])
            try:
                return array.array(code, [int(v) if code not in "fd" else v for v in self.plain_floats(n)])
            except Exception:
                return array.array(code)
        if form == 15:
            a = self.array_of((n,), r.pick([np.float32, np.float64, np.int8]))
            mv = memoryview(a)
            if r.u8() & 1:
                mv.release()  # a released view: every use fails
            return mv
        if form == 16:
            return r.pick([bytes, bytearray])(r.take(n))
        if form == 17:
            return range(r.u8() % 3, n + r.u8() % 3)
        if form == 18:
            return r.pick(["abcdefgh"[: n], "", "\udcff" * n])
        if form == 19:
            return (v for v in self.values(n))
        if form == 20:
            return collections.deque(self.values(n))
        if form == 21:
            return r.pick([None, 1.5, np.float32(1), np.array(1.0, np.float32), object(), {0: 1.0}, {1.0}])
        if form == 22:
            a = self.array_of((n,), np.float32)
            return a.reshape((n, 1)) if r.u8() & 1 else a.reshape((1, n))
        if form == 23:
            mm = _memmap()
            start = r.u8() % 8
            return mm[start:start + n]
        if form == 24:
            vals = self.values(n)
            out = np.empty(n, dtype=object)
            for i, v in enumerate(vals):
                out[i] = v
            return out
        if form == 25:
            a = self.array_of((n,), np.float32).view(LyingArray)
            a.len_mode = r.u8()
            a.get_mode = r.u8()
            return a
        if form == 26:
            # A row that changes itself, or the list it is in, while being read.
            items = self.values(n)
            target = r.pick([items, self.array_of((n,), np.float32)])
            if items:
                items[r.u8() % len(items)] = Mutator(target, r.u8())
            return items if target is items or r.u8() & 1 else target
        return np.zeros(n, dtype=r.pick([np.float32, np.float64]))[: n]

    def matrix(self, rows, dim):
        """A 2-D (or not quite) array of `rows` rows of about `dim` values."""
        r = self.r
        cols = self.length(dim)
        dtype = np.float32 if r.below(3) else r.pick(FLOAT_DTYPES)
        layout = r.below(18)
        if layout == 0:
            return self.array_of((rows, cols), dtype)
        if layout == 1:
            return np.asfortranarray(self.array_of((rows, cols), dtype))
        if layout == 2:
            return self.array_of((2 * rows, cols), dtype)[::2]
        if layout == 3:
            return self.array_of((rows, 2 * cols + 1), dtype)[:, 1::2]
        if layout == 4:
            return self.array_of((rows, cols), dtype)[::-1]
        if layout == 5:
            return self.array_of((rows, cols), dtype)[:, ::-1]
        if layout == 6:
            return self.array_of((cols, rows), dtype).T
        if layout == 7:
            return np.broadcast_to(self.array_of((cols,), dtype), (rows, cols))
        if layout == 8:
            base = self.array_of((rows + cols + 1,), np.float32)
            s = base.strides[0]
            return np.lib.stride_tricks.as_strided(base, shape=(rows, cols), strides=(s, s))
        if layout == 9:
            dt = np.dtype(dtype if dtype != object else np.float32)
            off = r.below(8)
            buf = bytearray(rows * cols * dt.itemsize + off)
            a = np.frombuffer(buf, dtype=dt, count=rows * cols, offset=off).reshape((rows, cols))
            if r.u8() & 1:
                a = a.T.copy(order="K").T if a.size else a
            return a
        if layout == 10:
            return self.array_of((rows, cols, r.below(3)), dtype)
        if layout == 11:
            return self.array_of((cols,), dtype)
        if layout == 12:
            return np.ma.masked_array(self.array_of((rows, cols), dtype), mask=r.u8() & 1)
        if layout == 13:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return np.asmatrix(self.array_of((rows, cols), np.float32))
        if layout == 14:
            mm = _memmap2()
            c = min(cols, mm.shape[1])
            return mm[: rows, :c] if r.u8() & 1 else mm[: rows]
        if layout == 15:
            a = self.array_of((rows, cols), np.float32).view(LyingArray)
            a.len_mode = r.u8()
            a.get_mode = r.u8()
            return a
        if layout == 16:
            return np.zeros(rows, dtype=(np.float32, (cols,)))
        return self.array_of((rows, cols), dtype)[:0] if r.u8() & 1 else self.array_of((rows, 0), dtype)

    def rows(self, dim, n=None):
        r = self.r
        if n is None:
            n = _count(r)
        form = r.below(16)
        if form < 4:
            return [self.row(dim) for _ in range(n)]
        if form < 8:
            return self.matrix(n, dim)
        if form == 8:
            return tuple(self.row(dim) for _ in range(n))
        if form == 9:
            items = [self.row(dim) for _ in range(n)]
            cls = LyingIterSeq if r.u8() & 1 else LyingSeq
            return cls(items, r.u8(), r.u8())
        if form == 10:
            return (self.row(dim) for _ in range(n))
        if form == 11:
            out = np.empty(n, dtype=object)
            for i in range(n):
                out[i] = self.row(dim)
            return out
        if form == 12:
            items = [self.row(dim) for _ in range(n)]
            if items:
                items[r.u8() % len(items)] = Mutator(items, r.u8())
            return items
        if form == 13:
            return r.pick([None, "abc", b"\0" * dim, {0: [0.0] * dim}, 3, set(), [[]], [None]])
        if form == 14:
            # ndarray rows inside a list: every row takes the array path of its own.
            return [_first_row(self.matrix(1, dim)) if r.u8() & 1 else self.row(dim) for _ in range(n)]
        return self.matrix(n, dim)

    # --- ids
    def ids(self, n):
        r = self.r
        n = self.length(n)
        form = r.below(20)
        if form < 4:
            start = r.u8()
            return list(range(start, start + n))
        if form < 7:
            return [self.integer() for _ in range(n)]
        if form == 7:
            return tuple(self.integer() for _ in range(n))
        if form in (8, 9, 10):
            dtype = r.pick(INT_DTYPES)
            vals = [_wrap(self.integer()) for _ in range(n)]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    a = np.array(vals, dtype=object).astype(dtype)
                except Exception:
                    a = np.arange(n).astype(dtype)
            how = r.below(5)
            if how == 1 and n:
                a = np.repeat(a, 2)[::2]
            elif how == 2:
                a = a[::-1]
            elif how == 3:
                a = a.reshape((1, n))
            elif how == 4:
                off = r.below(8)
                dt = a.dtype if a.dtype != object else np.dtype(np.int64)
                buf = bytearray(n * dt.itemsize + off)
                b = np.frombuffer(buf, dtype=dt, count=n, offset=off)
                try:
                    b[...] = a
                except Exception:
                    pass
                a = b
            return a
        if form == 11:
            return range(r.u8(), r.u8() + n)
        if form == 12:
            items = [self.integer() for _ in range(n)]
            cls = LyingIterSeq if r.u8() & 1 else LyingSeq
            return cls(items, r.u8(), r.u8())
        if form == 13:
            return r.pick([(i for i in range(n)), set(range(n)), {i: i for i in range(n)}, "0123"[:n], None, 3])
        if form == 14:
            return bytes(r.take(n))
        if form == 15:
            return np.ma.masked_array(np.arange(n), mask=r.u8() & 1)
        if form == 16:
            return memoryview(array.array(r.pick(["Q", "q", "b", "d"]), range(n)))
        if form == 17:
            return _np_int(lambda v, t=r.pick(INT_DTYPES[:8]): np.array(v, dtype=t), r.pick([0, 3, -1, 2**64 - 1]))
        if form == 18:
            a = np.arange(n, dtype=np.int64).view(LyingArray)
            a.len_mode = r.u8()
            a.get_mode = r.u8()
            return a
        return [np.int64(i) if i % 2 else np.uint64(i) for i in range(n)]

    # --- other arguments
    def path(self, for_load):
        r = self.r
        d = self.scratch
        k = r.below(20)
        if k < 6:
            return os.path.join(d, "x.krvn")
        if k == 6:
            return d
        if k == 7:
            return os.path.join(d, "no", "such", "dir", "x.krvn")
        if k == 8:
            return ""
        if k == 9:
            return os.path.join(d, "a" * r.pick([255, 256, 300]))
        if k == 10:
            return os.path.join(d, "b" * 200, "c" * 200, "d" * 200, "e" * 200, "f" * 200) * 6
        if k == 11:
            return os.path.join(d, r.pick(["x\0y", "\0", "x.krvn\0"]))
        if k == 12:
            return os.path.join(d, r.pick(["\udcff\udc80.krvn", "\ud800.krvn", "\udcc3\udca9", "é€😀.krvn",
                                           "İ.krvn", "new\nline"]))
        if k == 13:
            return r.pick([os.fsencode(os.path.join(d, "x.krvn")), None, 3, os.path, bytearray(b"x")])
        if k == 14:
            return StrSub(os.path.join(d, "x.krvn"))
        if k == 15:
            # Bytes of the input as a file.
            p = os.path.join(d, "raw.krvn")
            with open(p, "wb") as f:
                f.write(r.take(r.u8() % 96))
            return p
        if k == 16:
            # A good file, cut short or with a byte changed.
            p = os.path.join(d, "cut.krvn")
            state = self.template_state()
            cut = bytearray(state[: r.u8() * len(state) // 256])
            if cut and r.u8() & 1:
                cut[r.u8() % len(cut)] ^= 0xFF
            with open(p, "wb") as f:
                f.write(cut)
            return p
        if k == 17:
            p = os.path.join(d, "dir.krvn")
            os.makedirs(p, exist_ok=True)
            return p
        if k == 18:
            return r.pick(["/dev/null", ".", "/"]) if for_load else os.path.join(d, ".")
        return os.path.join(d, "x.krvn")

    def dtype_name(self):
        return self.r.pick(["float16", "float16", "float32", "int8", "FLOAT16", "Int8", "float64", "", "int8\0",
                            "\udcff", None, b"int8", 8, StrSub("float32"), "float16 ", "f2", "fLoAt32", "input",
                            "INPUT"])

    def text(self, choices):
        r = self.r
        k = r.below(8)
        if k < 5:
            return r.pick(choices)
        if k == 5:
            return r.pick(["", "\udcff", "İ", "\0", "cosine\0", "ﬀ", "x" * 300, "l\u0332"])
        if k == 6:
            return r.pick([None, b"l2", 3, StrSub("cosine"), LyingFloat(1.0, 0)])
        return r.pick(choices).upper()

    def dim_value(self):
        """A dimension for the constructor: small ones, and ones too large to represent.
        The legal but huge ones in between would only measure the memory of the machine."""
        r = self.r
        k = r.below(8)
        if k < 5:
            return r.pick([8, 1, 2, 3, 4, 5, 7, 0, 9, 16, 17, 31, 32, 33, 63, 64, 65, 100, 128, 1000])
        if k == 5:
            return r.pick([2**63 + 1, 2**64 - 1, 2**64, -1, 2**1000, -2**70])
        if k == 6:
            return _tame(LyingIndex(r.pick([8, 3, 2**64 - 1, 2**63 + 1]), r.u8()), 4096, 2**63 + 1)
        return _tame(self.integer(), 4096, 2**63 + 1)

    # --- the steps
    def args_for(self, name):
        """(positional names and values) for one method, in signature order."""
        r = self.r
        dim = self.dim()
        if name in ("add", "update"):
            n = _count(r)
            return [("ids", self.ids(n)), ("vectors", self.rows(dim, n))]
        if name in ("remove", "get"):
            return [("ids", self.ids(_count(r)))]
        if name == "search":
            out = [("query", self.row(dim)), ("k", self.integer())]
            if r.u8() & 1:
                out.append(("allowlist", self.ids(_count(r)) if r.u8() % 4 else None))
            return out
        if name == "search_batch":
            out = [("queries", self.rows(dim)), ("k", self.integer())]
            extra = r.below(4)
            if extra & 1 or extra == 2:
                out.append(("allowlist", self.ids(_count(r)) if r.u8() % 4 else None))
            if extra & 2:
                if len(out) == 2:
                    out.append(("allowlist", None))
                out.append(("threads", self.small_int()))
            return out
        if name in ("fit", "profile_variance"):
            arg = "vectors" if name == "fit" else "sample_vecs"
            return [(arg, self.rows(dim, _count(r, 9)))]
        if name == "optimal_n4_dims":
            avg_bits = r.pick([3.0, 2.0, 4.0, 2.5]) if r.below(2) == 0 else self.number()
            return [("sample_vecs", self.rows(dim, _count(r, 9))), ("avg_bits", avg_bits)]
        if name == "transform_query_np":
            return [("query", self.row(dim))]
        if name == "keep_vectors":
            return [("dtype", self.dtype_name())] if r.u8() % 4 else []
        if name == "set_rescore":
            return [("oversampling", r.pick([2.0, 0.0, 1.0, 3.5]) if r.below(2) == 0 else self.number())]
        if name == "set_ef_search":
            return [("ef", self.small_int())]
        if name == "set_nprobe":
            return [("nprobe", self.small_int())]
        if name == "save":
            return [("path", self.path(False))]
        if name == "load":
            return [("path", self.path(True))]
        if name == "recommended_m":
            return [("n", self.integer())]
        if name == "__setstate__":
            return [("state", self.state())]
        if name == "Korvane":
            return self.constructor_args()
        return []

    def state(self):
        r = self.r
        good = _templates()[r.below(len(_templates()))][1]
        k = r.below(6)
        if k == 0:
            return good
        if k == 1:
            return (good, self.small_int(), self.small_int())
        if k == 2:
            return (good, None, None, None)
        if k == 3:
            return r.pick([bytearray(good), memoryview(good), None, (good,), [good, None, None]])
        if k == 4:
            return (r.take(r.u8() % 64), None, None)
        return (good[: r.u8() * len(good) // 256], self.integer(), self.integer())

    def constructor_args(self):
        r = self.r
        out = [("dim", self.dim_value())]
        present = r.u8()
        optional = [
            ("metric", lambda: self.text(["cosine", "dot", "l2", "euclidean", "dot_product", "cos"])),
            ("bit_width", lambda: r.pick([4, 2, 4, 2, 0, 1, 3, 8, 255, 256, -1]) if r.below(4) else self.integer()),
            ("index_type", lambda: self.text(["brute_force", "ivf_flat", "hnsw", "ivf", "Brute-Force", "bruteforce",
                                              "ivf-flat", "IvfFlat"])),
            ("mixed_ratio", lambda: None if r.below(3) == 0 else self.number()),
            ("n4_dims", lambda: None if r.below(3) == 0 else self.small_int()),
            ("ivf_nlist", self.small_int),
            ("ivf_nprobe", self.small_int),
            ("hnsw_m", self.small_int),
            ("hnsw_ef_construction", self.small_int),
            ("hnsw_ef_search", self.small_int),
        ]
        for i, (name, make) in enumerate(optional):
            if present & (1 << min(i, 7)) or (i >= 7 and r.u8() & 1):
                out.append((name, make()))
        return out

    METHODS = [
        "add", "search", "search_batch", "fit", "profile_variance", "optimal_n4_dims", "transform_query_np",
        "keep_vectors", "set_rescore", "set_ef_search", "set_nprobe", "build", "save", "load", "Korvane",
        "__setstate__", "recommended_m", "len", "repr", "packed_data", "vector_norms", "vector_ids", "pickle",
        "is_empty", "is_mixed", "remove", "update", "get", "centroids_4bit", "centroids_2bit",
    ]

    def next_step(self, previous=None):
        """The next call as (callable, args, kwargs), or None when the program is over.
        `previous` is what the last call returned, or FAILED when it raised; a
        comparison that the last call asked for is made first, and raises Finding."""
        if self.pending_check is not None:
            check, self.pending_check = self.pending_check, None
            if previous is not FAILED:
                check(previous)
        if isinstance(previous, Korvane):
            self.w = previous  # a new index from the constructor, load or a pickle copy
        if self.steps_left <= 0 or (self.last is not None and not self.r.more()):
            return None
        self.steps_left -= 1
        r = self.r
        name = r.pick(self.METHODS)
        if name == "len":
            self.last = (len, (self.w,), {})
        elif name == "repr":
            self.last = (repr, (self.w,), {})
        elif name == "pickle":
            self.last = (_pickle_copy, (self.w,), {})
        elif name == "get" and r.u8() & 1:
            self.last = (operator.contains, (self.w, self.integer()), {})
        else:
            named = self.args_for(name)
            if name == "Korvane":
                func = Korvane
            elif name in ("load", "recommended_m", "centroids_4bit", "centroids_2bit"):
                func = getattr(Korvane, name)
            else:
                func = getattr(self.w, name)
            args, kwargs = self.arrange(named)
            self.last = (func, args, kwargs)
            if name in COMPARED:
                self.pending_check = self.comparison(name, func, args, kwargs)
        return self.last

    def comparison(self, name, func, args, kwargs):
        """For a call whose arguments hold NumPy arrays (and nothing that lies), a check
        that the same call with the arrays as nested lists of Python numbers gives the same
        result: the array paths read the buffer themselves (strides, byte offsets, dtypes),
        the list paths go through the interpreter's own conversions. An array refused where
        its lists are taken (a masked or non-contiguous float32 one) is by design; an array
        taken where its lists are refused is not."""
        try:
            plain_args = tuple(_plain(a) for a in args)
            plain_kwargs = {k: _plain(v) for k, v in kwargs.items()}
        except _NotPlain:
            return None
        if all(a is b for a, b in zip(args, plain_args)) and all(kwargs[k] is plain_kwargs[k] for k in kwargs):
            return None  # no array: nothing to compare
        w = self.w
        copies = None
        if name == "add":
            if any(_has_nan(a) for a in list(args) + list(kwargs.values())):
                return None  # a NaN's payload may change on the way through a double
            # Two copies taken before the call, one to add the arrays to and one to add the
            # lists to: a copy need not grow as the original does (an Hnsw index links new
            # nodes by the full vectors it was built from, a copy by their codes).
            try:
                copies = (_pickle_copy(w), _pickle_copy(w))
            except Exception:
                return None  # an IvfFlat index with pending rows cannot be copied

        def check(result):
            if copies is not None:
                try:
                    copies[0].add(*args, **kwargs)
                except Exception as e:
                    raise Finding(f"add took its arrays, then refused them on a copy: {type(e).__name__}: {e}") from e
            target = copies[1] if copies is not None else w
            try:
                expected = getattr(target, name)(*plain_args, **plain_kwargs)
            except Exception as e:
                raise Finding(f"{name} took its arrays but refused them as lists: {type(e).__name__}: {e}") from e
            if copies is not None:
                try:
                    result, expected = _state(copies[0]), _state(copies[1])
                except RuntimeError:
                    return  # rows pending in an IvfFlat index: no state to compare
            if not _same(result, expected):
                raise Finding(f"{name} gave {_safe_repr(result)} for its arrays and {_safe_repr(expected)} "
                              f"for them as lists")

        return check

    def arrange(self, named):
        """Positional or keyword arguments, or a call of the wrong shape."""
        r = self.r
        how = r.below(12)
        if how < 6:
            return tuple(v for _, v in named), {}
        if how < 8:
            split = r.u8() % (len(named) + 1)
            return tuple(v for _, v in named[:split]), dict(named[split:])
        if how == 8:
            return tuple(v for _, v in named) + (None,), {}
        if how == 9:
            return tuple(v for _, v in named[:-1]), {}
        if how == 10:
            return tuple(v for _, v in named), {"bogus": 1}
        if named:
            # The same argument by position and by keyword.
            return tuple(v for _, v in named), {named[0][0]: named[0][1]}
        return (), {}

    def describe(self):
        """The last step as text, for a report."""
        if self.last is None:
            return "(no step)"
        func, args, kwargs = self.last
        name = getattr(func, "__qualname__", None) or getattr(func, "__name__", repr(func))
        parts = [_safe_repr(a) for a in args] + [f"{k}={_safe_repr(v)}" for k, v in kwargs.items()]
        return f"{name}({', '.join(parts)}) on template {_templates()[self.template][0]}"


def _np_int(t, v):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return t(v)
    except Exception:
        return t(0)


# Methods whose result with array arguments is compared with their result for the same
# values as lists.
COMPARED = {"add", "search", "search_batch", "transform_query_np", "profile_variance", "optimal_n4_dims"}


class _NotPlain(Exception):
    pass


class _Failed:
    def __repr__(self):
        return "FAILED"


FAILED = _Failed()  # what the caller passes to next_step when the last call raised


def _plain(v):
    """`v` with every ndarray in it replaced by its nested lists of Python numbers;
    _NotPlain for anything whose conversion could run Python code of the input's."""
    if isinstance(v, np.ndarray):
        if isinstance(v, (np.ma.MaskedArray, LyingArray)) or v.dtype == object or v.dtype.kind not in "biuf":
            raise _NotPlain
        return np.ndarray.tolist(v)
    if isinstance(v, (list, tuple)):
        out = [_plain(x) for x in v]
        if all(a is b for a, b in zip(v, out)):
            return v
        return type(v)(out)
    if v is None or type(v) in (int, float, bool, str) or isinstance(v, (np.integer, np.floating, np.bool_)):
        return v
    raise _NotPlain


def _has_nan(v):
    try:
        return bool(np.isnan(np.asarray(_plain(v), dtype=np.float64)).any())
    except Exception:
        return True


def _state(w):
    state = w.__reduce__()[2]
    return (state[0], state[1], state[2])


def _same(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype == b.dtype
                and a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return a == b


def _tame(v, limit, legal_end):
    """`v`, or the same kind of value with `limit` in place of a number in (limit,
    legal_end): large enough to be accepted, too large to be served."""
    def big(x):
        if isinstance(x, np.ndarray):
            return x.ndim == 0 and x.dtype.kind in "iu" and limit < int(x) < legal_end
        return isinstance(x, (int, np.integer)) and not isinstance(x, bool) and limit < int(x) < legal_end

    if isinstance(v, (LyingIndex, Reentrant)):
        if big(v.value):
            v.value = limit
        if isinstance(v, LyingIndex) and v.mode % 6 == 5 and big(-int(v.value) - 1):
            v.value = 0
        return v
    if isinstance(v, IntLyingIndex):
        return v  # its __index__ says 2**64: too large to be taken at all
    if big(v):
        return type(v)(limit) if not isinstance(v, np.ndarray) else np.array(limit, dtype=v.dtype)
    return v


def _count(r, n=7):
    """A small count, 4 for a zero byte."""
    return (r.u8() + 4) % n


def _first_row(m):
    a = np.asarray(m)
    return np.ndarray.__getitem__(a, 0) if a.ndim and a.shape[0] else a


def _wrap(v):
    try:
        return int(v) if isinstance(v, (int, np.integer)) else 0
    except Exception:
        return 0


def _safe_repr(v):
    try:
        if isinstance(v, np.ndarray):
            return (f"<{type(v).__name__} dtype={v.dtype} shape={v.shape} strides={v.strides} "
                    f"C={v.flags.c_contiguous} F={v.flags.f_contiguous} aligned={v.flags.aligned}: "
                    f"{np.ndarray.tolist(v)!r:.200}>")
        if isinstance(v, (LyingSeq, LyingFloat, LyingIndex, Reentrant, Mutator)):
            return f"<{type(v).__name__} {vars(v)!r:.200}>"
        return f"{v!r:.300}"
    except BaseException as e:  # noqa: BLE001 - a report must not fail
        return f"<{type(v).__name__}: repr failed with {type(e).__name__}>"


def _pickle_copy(w):
    return pickle.loads(pickle.dumps(w))


def _copy_of(state):
    w = Korvane(0)
    w.__setstate__(state)
    return w


# ---------------------------------------------------------------------------------------
# Process-wide fixtures, made once.

_SCRATCH = None
_TEMPLATES = None
_MEMMAPS = {}


def _scratch():
    global _SCRATCH
    if _SCRATCH is None:
        base = os.environ.get("KORVANE_FUZZ_SCRATCH") or ("/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
        _SCRATCH = tempfile.mkdtemp(prefix="korvane_args_fuzz.", dir=base)
        import atexit
        atexit.register(shutil.rmtree, _SCRATCH, True)
    return _SCRATCH


def _empty(d):
    for name in os.listdir(d):
        p = os.path.join(d, name)
        if name.startswith("memmap"):
            continue
        if os.path.isdir(p) and not os.path.islink(p):
            shutil.rmtree(p, ignore_errors=True)
        else:
            try:
                os.unlink(p)
            except OSError:
                pass


def _memmap():
    if "1d" not in _MEMMAPS:
        p = os.path.join(_scratch(), "memmap1.f32")
        np.arange(64, dtype=np.float32).tofile(p)
        _MEMMAPS["1d"] = np.memmap(p, dtype=np.float32, mode="r")
    return _MEMMAPS["1d"]


def _memmap2():
    if "2d" not in _MEMMAPS:
        p = os.path.join(_scratch(), "memmap2.f32")
        (np.arange(8 * 16, dtype=np.float32) / 7).tofile(p)
        _MEMMAPS["2d"] = np.memmap(p, dtype=np.float32, mode="c", shape=(8, 16))
    return _MEMMAPS["2d"]


def _rows(n, dim, seed):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((n, dim)).astype(np.float32)


def _templates():
    """(name, pickled state) of the indexes the programs start from: every index type,
    both bit widths, every metric, a mixed one, a fitted one, an empty one."""
    global _TEMPLATES
    if _TEMPLATES is None:
        out = []

        def keep(name, w):
            out.append((name, w.__reduce__()[2][0]))

        w = Korvane(8)
        w.add(list(range(12)), _rows(12, 8, 1))
        keep("bf_cos_d8_b4", w)
        w = Korvane(3, "l2", 2)
        w.fit(_rows(6, 3, 2))
        w.add(list(range(6)), _rows(6, 3, 3))
        keep("bf_l2_d3_b2_fit", w)
        w = Korvane(16, "dot", 4, mixed_ratio=0.5)
        w.keep_vectors("int8")
        w.add(list(range(10)), _rows(10, 16, 4))
        keep("bf_dot_d16_mixed_kept", w)
        w = Korvane(8, "l2", 2, "ivf_flat", ivf_nlist=3, ivf_nprobe=2)
        w.add(list(range(20)), _rows(20, 8, 5))
        w.build()
        keep("ivf_l2_d8_b2", w)
        w = Korvane(8, "cosine", 4, "hnsw", hnsw_m=4, hnsw_ef_construction=16, hnsw_ef_search=8)
        w.add(list(range(20)), _rows(20, 8, 6))
        keep("hnsw_cos_d8_b4", w)
        keep("bf_cos_d8_empty", Korvane(8))
        w = Korvane(1, "dot", 2)
        w.add([5, 6], [[1.0], [-2.0]])
        keep("bf_dot_d1_b2", w)
        w = Korvane(5, "l2", 2, "hnsw", hnsw_m=2)
        w.keep_vectors("float16")
        w.add(list(range(8)), _rows(8, 5, 7))
        keep("hnsw_l2_d5_b2_kept", w)
        _TEMPLATES = out
    return _TEMPLATES


def setup():
    """Builds the fixtures; the fuzz target calls this once before the first input."""
    _templates()
    _memmap()
    _memmap2()


class Finding(AssertionError):
    pass


def run(data):
    """Runs one input's program through the interpreter: a method that returned NULL
    without an exception, or a result with one set, shows as SystemError; an internal
    error of the binding shows as RuntimeError("internal error: ..."). Both raise Finding;
    every other exception is what odd arguments should get."""
    # The program sets the warning filters and NumPy's error handling: both are put back.
    with warnings.catch_warnings(), np.errstate():
        _run(data)


def _run(data):
    prog = Program(data)
    result = None
    while True:
        try:
            step = prog.next_step(result)
        except Finding:
            raise
        except Exception:
            return
        if step is None:
            return
        func, args, kwargs = step
        result = FAILED
        try:
            result = func(*args, **kwargs)
        except SystemError as e:
            raise Finding(f"{prog.describe()}: {e!r}") from e
        except MemoryError as e:
            raise Finding(f"{prog.describe()}: MemoryError") from e
        except RuntimeError as e:
            if str(e).startswith("internal error"):
                raise Finding(f"{prog.describe()}: {e!r}") from e
        except (Exception, KeyboardInterrupt):
            pass


def trace(data, out=sys.stdout):
    """Prints each step of an input's program and what it gave."""
    with warnings.catch_warnings(), np.errstate():
        prog = Program(data)
        print(f"template {_templates()[prog.template][0]}", file=out)
        result = None
        while True:
            try:
                step = prog.next_step(result)
            except Finding as e:
                print(f"  FINDING: {e}", file=out)
                return
            except Exception as e:  # noqa: BLE001
                print(f"  building the next step failed: {type(e).__name__}: {e}", file=out)
                return
            if step is None:
                return
            func, args, kwargs = step
            result = FAILED
            try:
                result = func(*args, **kwargs)
                shown = _safe_repr(result)
            except BaseException as e:  # noqa: BLE001 - shown, not handled
                shown = f"{type(e).__name__}: {e}"
            print(f"  {prog.describe()}\n    -> {shown:.300}", file=out)
