"""Argument binding, exact-type checks and the 32-bit dimension conversion,
the same for every entry point Python code calls."""

import io
import pathlib
import re
import sys
import warnings

import pytest

from builders import SUBCLASS_NOTE, BytesSubclass, IntSubclass, StrSubclass, TupleSubclass
from Quorvel import _png_writer, tessarin_ext
from Quorvel.tessarin_ext import SimpleImage


def exactly(message):
    return "^" + re.escape(message) + "$"


def image():
    return SimpleImage(1, 1, bytes(3))


# Each entry point: the bare name its messages use, how to reach it, and its
# parameters in order (self or cls not counted).
ENTRY_POINTS = [
    ("__cinit__", lambda: SimpleImage, ["width", "height", "pixels"]),
    ("getPixel", lambda: image().getPixel, ["coords"]),
    ("putPixel", lambda: image().putPixel, ["coords", "value"]),
    ("copy", lambda: image().copy, []),
    ("__reduce__", lambda: image().__reduce__, []),
    ("__setstate__", lambda: image().__setstate__, ["state"]),
    ("open", lambda: SimpleImage.open, ["source"]),
    ("_streamToImage", lambda: SimpleImage._streamToImage, ["stream"]),
    ("save", lambda: image().save, ["path"]),
    ("saveBmp", lambda: image().saveBmp, ["path"]),
    ("_readChunk", lambda: tessarin_ext._readChunk, ["stream"]),
    ("_makeChunk", lambda: tessarin_ext._makeChunk, ["chunkType", "data"]),
    ("_writePng", lambda: tessarin_ext._writePng, ["path", "width", "height", "pixels"]),
    ("_writeBmp", lambda: tessarin_ext._writeBmp, ["path", "width", "height", "pixels"]),
    ("encode", lambda: _png_writer.encode,
     ["pixels", "width", "height", "candidates", "sample", "finalists", "segments", "threads", "format"]),
]


def count_message(name, params, given):
    expected = len(params)
    return f"{name}() takes exactly {expected} positional argument{'' if expected == 1 else 's'} ({given} given)"


def host_message(call):
    try:
        call()
    except TypeError as error:
        return str(error)
    raise AssertionError("expected the host to raise")


def binding_cases():
    """(id, name, entry, args, kwargs, message) for every binding error."""
    for name, entry, params in ENTRY_POINTS:
        n = len(params)
        # Binding errors come before anything looks at the values.
        marker = object()
        yield f"{name}-too-many", name, entry, [marker] * (n + 1), {}, count_message(name, params, n + 1)
        yield f"{name}-far-too-many", name, entry, [marker] * (n + 3), {"bogus": 1}, count_message(name, params, n + 3)
        if n == 0:
            yield f"{name}-unexpected", name, entry, [], {"bogus": 1}, f"{name}() got an unexpected keyword argument 'bogus'"
            continue
        yield f"{name}-none-given", name, entry, [], {}, count_message(name, params, 0)
        for missing in range(n):
            # Every other parameter is given by keyword: the count is of the
            # parameters before the first missing one.
            keywords = {p: marker for i, p in enumerate(params) if i != missing}
            yield f"{name}-missing-{params[missing]}", name, entry, [], keywords, count_message(name, params, missing)
        for positional in range(1, n):
            keywords = {p: marker for p in params[positional + 1 :]}
            yield (
                f"{name}-missing-after-{positional}-positional",
                name,
                entry,
                [marker] * positional,
                keywords,
                count_message(name, params, positional),
            )
        everything = [marker] * n
        last = params[-1]
        yield f"{name}-multiple", name, entry, everything, {last: marker}, f"{name}() got multiple values for keyword argument '{last}'"
        yield (
            f"{name}-multiple-before-missing",
            name,
            entry,
            everything[:1],
            {params[0]: marker},
            f"{name}() got multiple values for keyword argument '{params[0]}'",
        )
        yield f"{name}-unexpected", name, entry, everything, {"bogus": 1}, f"{name}() got an unexpected keyword argument 'bogus'"
        # Left-over keywords are reported before a missing parameter, and
        # only the first of them.
        yield (
            f"{name}-unexpected-before-missing",
            name,
            entry,
            [],
            {"zz": 1, "aa": 2},
            f"{name}() got an unexpected keyword argument 'zz'",
        )
        yield (
            f"{name}-case-matters",
            name,
            entry,
            [],
            {params[0].upper(): 1},
            f"{name}() got an unexpected keyword argument '{params[0].upper()}'",
        )


BINDING_CASES = list(binding_cases())


@pytest.mark.parametrize(
    "name, entry, args, kwargs, message",
    [case[1:] for case in BINDING_CASES],
    ids=[case[0] for case in BINDING_CASES],
)
def test_binding_errors(name, entry, args, kwargs, message):
    with pytest.raises(TypeError, match=exactly(message)):
        entry()(*args, **kwargs)


def python_stand_in(callable_):
    """A Python function named as `callable_` is: the host's own messages
    about a call name the callee."""
    def stand_in(*args, **kwargs):
        pass

    stand_in.__module__ = getattr(callable_, "__module__", None)
    stand_in.__qualname__ = callable_.__qualname__
    return stand_in


def class_call_refusal():
    """The host's refusal of a non-string keyword in a call of a class named
    as SimpleImage, or None where a class call hands its keyword dictionary to
    the constructor as it is (a class taking no arguments then reports those)."""
    stand_in = type("SimpleImage", (), {"__module__": SimpleImage.__module__})
    message = host_message(lambda: stand_in(**{1: 2}))
    return message if "keywords must be strings" in message else None


@pytest.mark.parametrize("name, entry, params", ENTRY_POINTS, ids=[e[0] for e in ENTRY_POINTS])
def test_non_string_keyword(name, entry, params):
    callable_ = entry()
    # Vector calls never see such a keyword: the host refuses it first,
    # exactly as for a Python function.
    message = host_message(lambda: python_stand_in(callable_)(**{1: 2}))
    first_keyword_unexpected = message
    if name == "__cinit__":
        message = first_keyword_unexpected = class_call_refusal()
        if message is None:
            # The constructor binds the keywords; only the first offending
            # one is reported.
            message = "__cinit__() keywords must be strings"
            first_keyword_unexpected = "__cinit__() got an unexpected keyword argument 'bogus'"
    with pytest.raises(TypeError, match=exactly(message)):
        callable_(**{1: 2})
    with pytest.raises(TypeError, match=exactly(message)):
        callable_(**{1: 2, "bogus": 1})
    with pytest.raises(TypeError, match=exactly(first_keyword_unexpected)):
        callable_(**{"bogus": 1, 1: 2})


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: SimpleImage(width=1, pixels=b"abc", height=1).getPixel(coords=(0, 0)), (97, 98, 99)),
        (lambda: SimpleImage(1, pixels=b"abc", height=1).getPixel((0, 0)), (97, 98, 99)),
        (lambda: tessarin_ext._makeChunk(data=b"", chunkType=b"IEND")[4:8], b"IEND"),
        (lambda: tessarin_ext._readChunk(stream=io.BytesIO(tessarin_ext._makeChunk(b"IEND", b""))), (b"IEND", b"")),
    ],
)
def test_keywords_bind_in_any_order(call, expected):
    assert call() == expected


def test_put_pixel_by_keyword():
    target = image()
    target.putPixel(value=(1, 2, 3), coords=(0, 0))
    assert target.getPixel((0, 0)) == (1, 2, 3)


@pytest.mark.parametrize("writer", [tessarin_ext._writePng, tessarin_ext._writeBmp], ids=lambda w: w.__name__)
def test_writers_bind_keywords_in_any_order(writer, tmp_path):
    path = tmp_path / "out"
    writer(pixels=bytes(range(6)), height=1, width=2, path=str(path))
    written = SimpleImage.open(path)
    assert (written.size, written._pixels) == ((2, 1), bytearray(range(6)))


# Exact built-in types.

TYPED_PARAMETERS = [
    ("getPixel", lambda v: image().getPixel(v), "coords", "tuple", TupleSubclass((0, 0))),
    ("putPixel", lambda v: image().putPixel(v, (1, 2, 3)), "coords", "tuple", TupleSubclass((0, 0))),
    ("_makeChunk", lambda v: tessarin_ext._makeChunk(v, b""), "chunkType", "bytes", BytesSubclass(b"IEND")),
    ("_makeChunk", lambda v: tessarin_ext._makeChunk(b"IEND", v), "data", "bytes", BytesSubclass(b"")),
    ("save", lambda v: image().save(v), "path", "str", StrSubclass("x.png")),
    ("saveBmp", lambda v: image().saveBmp(v), "path", "str", StrSubclass("x.bmp")),
]
# Near misses for every declared type: other sequences, buffers and paths
# (a file path as bytes or Path must not be written to either).
WRONG_VALUES = [None, 3, [0, 0], (0, 0), "x.png", b"x.png", bytearray(b"x.png"), memoryview(b"x.png"),
                pathlib.Path("x.png")]
TYPED_CASES = [
    (f"{name}-{param}-{type(value).__name__}", call, param, expected, value)
    for name, call, param, expected, subclass_instance in TYPED_PARAMETERS
    for value in WRONG_VALUES + [subclass_instance]
    if type(value).__name__ != expected
]


@pytest.mark.parametrize("call, param, expected, value", [t[1:] for t in TYPED_CASES], ids=[t[0] for t in TYPED_CASES])
def test_exact_type_parameters(call, param, expected, value, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    message = f"Argument '{param}' has incorrect type (expected {expected}, got {type(value).__name__})"
    if type(value) in (TupleSubclass, BytesSubclass, StrSubclass):
        message += ". " + SUBCLASS_NOTE
    with pytest.raises(TypeError, match=exactly(message)):
        call(value)
    assert list(tmp_path.iterdir()) == []


def test_exact_types_are_checked_in_parameter_order_after_binding():
    with pytest.raises(TypeError, match=exactly("Argument 'chunkType' has incorrect type (expected bytes, got int)")):
        tessarin_ext._makeChunk(1, 2)
    with pytest.raises(TypeError, match=exactly("Argument 'data' has incorrect type (expected bytes, got int)")):
        tessarin_ext._makeChunk(b"IEND", 2)
    with pytest.raises(TypeError, match=exactly(count_message("_makeChunk", ["chunkType", "data"], 1))):
        tessarin_ext._makeChunk(1)


# 32-bit conversion of widths and heights.


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IndexOnly:
    def __index__(self):
        return 1


def construct_width(value, tmp_path=None):
    return SimpleImage(value, 1, bytes(3)).width


def construct_height(value, tmp_path=None):
    return SimpleImage(1, value, bytes(3)).height


def set_dimension(name, value):
    target = image()
    try:
        setattr(target, name, value)
    except Exception:
        assert target.size == (1, 1), "a refused value was stored"
        raise
    return getattr(target, name)


def set_width(value, tmp_path=None):
    return set_dimension("width", value)


def set_height(value, tmp_path=None):
    return set_dimension("height", value)


def write_png(value, tmp_path):
    tessarin_ext._writePng(str(tmp_path / "out.png"), value, 1, bytes(3))
    return SimpleImage.open(tmp_path / "out.png").width


def write_bmp(value, tmp_path):
    tessarin_ext._writeBmp(str(tmp_path / "out.bmp"), 1, value, bytes(3))
    return SimpleImage.open(tmp_path / "out.bmp").height


CONVERTING = [construct_width, construct_height, set_width, set_height, write_png, write_bmp]


@pytest.mark.parametrize("conversion", CONVERTING)
@pytest.mark.parametrize(
    "value, stored",
    [(1, 1), (True, 1), (IntSubclass(1), 1), (1.99, 1), (1.0, 1), (IntLike(1), 1)],
)
def test_conversion_accepts(conversion, value, stored, tmp_path):
    result = conversion(value, tmp_path)
    assert result == stored
    assert type(result) is int


@pytest.mark.parametrize("conversion", [set_width, set_height])
@pytest.mark.parametrize("value, stored", [(-2.9, -2), (-7.5, -7), (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)),
                                           (False, 0)])
def test_conversion_truncates_and_spans_int32(conversion, value, stored):
    assert conversion(value) == stored


def overflow_message(value):
    """The host's message for a C int conversion of `value`, where the host
    has its C API test module (PyPy builds its own from a source file that
    Debian does not ship)."""
    try:
        import _testcapi
    except (ImportError, OSError):
        return None
    try:
        _testcapi.getargs_i(value)
    except OverflowError as error:
        return str(error)
    raise AssertionError("the host converted an out-of-range int")


@pytest.mark.parametrize("conversion", CONVERTING)
@pytest.mark.parametrize(
    "value, kind, message",
    [
        ("1", TypeError, "an integer is required"),
        (b"1", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (IntLike("1"), TypeError, "__int__ returned non-int (type str)"),
        (IntLike(1.0), TypeError, "__int__ returned non-int (type float)"),
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        (2**64, OverflowError, None),
        (IntLike(2**31), OverflowError, None),
        (float(2**31), OverflowError, None),
    ],
)
def test_conversion_rejects(conversion, value, kind, message, tmp_path):
    if kind is OverflowError:
        message = overflow_message(value if type(value) is int else int(value))
    with pytest.raises(kind) as caught:
        conversion(value, tmp_path)
    if message is not None:
        assert str(caught.value) == message
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("conversion", CONVERTING)
@pytest.mark.parametrize("value", [float("nan"), float("inf")])
def test_conversion_passes_int_errors_through(conversion, value, tmp_path):
    try:
        int(value)
    except (ValueError, OverflowError) as error:
        expected = (type(error), str(error))
    with pytest.raises(expected[0], match=exactly(expected[1])):
        conversion(value, tmp_path)


# The module's own warning for an int subclass from __int__: the host's
# wording up to 3.14, which 3.15 changed for its own int().
INT_SUBCLASS_WARNING = ("__int__ returned non-int (type IntSubclass).  The ability to return an instance of a "
                        "strict subclass of int is deprecated, and may be removed in a future version of Python.")


def test_int_subclass_from_int_warns_like_the_host():
    with warnings.catch_warnings(record=True) as host:
        warnings.simplefilter("always")
        int(IntLike(IntSubclass(7)))
    [expected] = host
    assert isinstance(expected.message, DeprecationWarning)
    if sys.version_info < (3, 15):
        assert str(expected.message) == INT_SUBCLASS_WARNING
    with pytest.warns(DeprecationWarning) as recorded:
        assert construct_width(IntLike(IntSubclass(1))) == 1
    assert [str(w.message) for w in recorded] == [INT_SUBCLASS_WARNING]
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match=exactly(INT_SUBCLASS_WARNING)):
            SimpleImage(IntLike(IntSubclass(1)), 1, bytes(3))


@pytest.mark.parametrize("value, error", [(2**31, OverflowError), (-(2**31) - 1, OverflowError),
                                          (2**100, OverflowError), ("2", TypeError)])
@pytest.mark.parametrize("position", ["width", "height"])
def test_dimensions_are_converted_before_the_pixels_are_looked_at(value, error, position):
    class Watched:
        looked_at = False

        def __len__(self):
            Watched.looked_at = True
            return 3

        def __iter__(self):
            return iter(b"abc")

    arguments = {"width": 1, "height": 1, "pixels": Watched()}
    arguments[position] = value
    with pytest.raises(error):
        SimpleImage(**arguments)
    assert not Watched.looked_at


# The implicit first argument, checked before the others are bound.

METHODS = ["getPixel", "putPixel", "copy", "save", "saveBmp"]
TYPE_NAME = "Quorvel.tessarin_ext.SimpleImage"


@pytest.mark.parametrize("name", METHODS)
def test_method_called_through_the_class_checks_self(name):
    method = getattr(SimpleImage, name)
    with pytest.raises(TypeError, match=exactly(f"descriptor '{name}' of '{TYPE_NAME}' object needs an argument")):
        method()
    wrong_self = f"descriptor '{name}' requires a '{TYPE_NAME}' object but received a 'int'"
    with pytest.raises(TypeError, match=exactly(wrong_self)):
        method(5)
    with pytest.raises(TypeError, match=exactly(wrong_self)):
        method(5, 1, 2, 3, 4, bogus=1)


def test_open_without_its_class():
    with pytest.raises(TypeError, match=exactly("open() needs its class as the first argument")):
        SimpleImage.open.__func__()
    with pytest.raises(TypeError, match=exactly("open() needs its class as the first argument")):
        SimpleImage.open.__func__(source=b"")


@pytest.mark.parametrize(
    "call",
    [
        lambda width, height, tmp_path: SimpleImage(width, height, bytes(3)),
        lambda width, height, tmp_path: tessarin_ext._writePng(str(tmp_path / "out.png"), width, height, bytes(3)),
        lambda width, height, tmp_path: tessarin_ext._writeBmp(str(tmp_path / "out.bmp"), width, height, bytes(3)),
    ],
    ids=["__cinit__", "_writePng", "_writeBmp"],
)
def test_width_is_converted_before_height(call, tmp_path):
    with pytest.raises(TypeError, match=exactly("an integer is required")):
        call("wide", 2**31, tmp_path)
    with pytest.raises(OverflowError):
        call(2**31, "high", tmp_path)
    assert list(tmp_path.iterdir()) == []
