"""SimpleImage as an object: construction, attributes, pixel access, copying,
the refusal to pickle, and what happens once width, height and _pixels have
been reassigned to disagree with each other."""

import copy
import gc
import operator
import pickle
import re
import sys
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from builders import BytearraySubclass, IntSubclass
from Quorvel.tessarin_ext import SimpleImage

OUT_OF_BOUNDS = "Pixel coordinate out of bounds"
LENGTH_MISMATCH = "Pixel data length does not match image dimensions"
NO_PICKLE = "no default __reduce__ due to non-trivial __cinit__"


def host_error(expression):
    """The exception type and message the host itself raises for `expression`."""
    try:
        expression()
    except Exception as error:  # noqa: BLE001 - any host error is the expectation
        return type(error), str(error)
    raise AssertionError("expected the host to raise")


def raises_exactly(kind, message):
    return pytest.raises(kind, match="^" + re.escape(message) + "$")


def numbered_image(width, height):
    """An image whose bytes are 0, 1, 2, ... so every channel is distinct."""
    return SimpleImage(width, height, bytes(i % 256 for i in range(width * height * 3)))


# Construction


class Reporting:
    """A sequence whose len() is `length` while iteration yields `items`."""

    def __init__(self, length, items):
        self.length = length
        self.items = items

    def __len__(self):
        return self.length

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize(
    "pixels",
    [bytes(12), bytearray(12), memoryview(bytes(12)), [0] * 12, tuple(range(12)), range(12)],
    ids=["bytes", "bytearray", "memoryview", "list", "tuple", "range"],
)
def test_construction_accepts_any_sized_bytearray_source(pixels):
    image = SimpleImage(2, 2, pixels)
    assert image.size == (2, 2)
    assert type(image._pixels) is bytearray
    assert image._pixels == bytearray(pixels)


@pytest.mark.parametrize(
    "width, height, pixels",
    [
        (2, 2, bytes(11)),
        (2, 2, bytes(13)),
        (0, 5, bytes(3)),
        (-1, 1, bytes(3)),
        (2**31 - 1, 2**31 - 1, bytes(3)),
        (-(2**31), 2**31 - 1, bytes(3)),
        # len() says 12, iteration yields 10 (or 14): the stored buffer would break the invariant.
        (2, 2, Reporting(12, [0] * 10)),
        (2, 2, Reporting(12, [0] * 14)),
    ],
    ids=["short", "long", "zero-width", "negative", "huge-product", "negative-huge-product", "len-over", "len-under"],
)
def test_construction_rejects_length_mismatch(width, height, pixels):
    with raises_exactly(ValueError, LENGTH_MISMATCH):
        SimpleImage(width, height, pixels)


@pytest.mark.parametrize(
    "width, height, length, size",
    [(0, 5, 0, (0, 5)), (-1, -1, 3, (-1, -1)), (2.9, 1, 6, (2, 1)), (True, True, 3, (1, 1)), (-2, -3, 18, (-2, -3))],
)
def test_construction_checks_only_the_length_equation(width, height, length, size):
    assert SimpleImage(width, height, bytes(length)).size == size


@pytest.mark.parametrize(
    "pixels, host_call",
    [
        ("abcdefghijkl", lambda: bytearray("abcdefghijkl")),
        ([0] * 11 + [256], lambda: bytearray([0] * 11 + [256])),
        ([0] * 11 + [-1], lambda: bytearray([0] * 11 + [-1])),
        ([0] * 11 + [None], lambda: bytearray([0] * 11 + [None])),
        (5, lambda: len(5)),
        (None, lambda: len(None)),
    ],
    ids=["str", "item-256", "item-negative", "item-none", "int", "none"],
)
def test_construction_passes_host_errors_through(pixels, host_call):
    kind, message = host_error(host_call)
    with raises_exactly(kind, message):
        SimpleImage(2, 2, pixels)


def test_construction_copies_the_callers_buffer():
    source = bytearray(range(12))
    image = SimpleImage(2, 2, source)
    assert image._pixels is not source
    source[0] = 99
    assert image.getPixel((0, 0)) == (0, 1, 2)


def test_keyword_values_survive_an_emptied_keyword_dictionary():
    # A conversion that empties the dictionary the keyword values came from
    # must not free the values still in use.
    class Emptying:
        def __int__(self):
            for candidate in gc.get_objects():
                if type(candidate) is dict and list(candidate) == ["pixels"]:
                    candidate.clear()
            return 1

    image = SimpleImage(Emptying(), 1, **{"pixels": [7] * 3})
    assert image._pixels == bytearray([7, 7, 7])


# Attributes


def test_pixels_attribute_is_the_live_buffer():
    image = SimpleImage(2, 2, bytes(12))
    image._pixels[0] = 7
    assert image.getPixel((0, 0)) == (7, 0, 0)
    replacement = bytearray(range(12))
    image._pixels = replacement
    assert image._pixels is replacement
    image.putPixel((1, 1), (1, 2, 3))
    assert replacement[9:12] == bytearray([1, 2, 3])


@pytest.mark.parametrize("value", [b"abc", BytearraySubclass(12), [0] * 12, memoryview(bytearray(12)), 0])
def test_pixels_setter_takes_only_exact_bytearray(value):
    image = SimpleImage(2, 2, bytes(12))
    before = image._pixels
    with raises_exactly(TypeError, f"Expected bytearray, got {type(value).__name__}"):
        image._pixels = value
    assert image._pixels is before


@pytest.mark.parametrize("clear", ["assign-none", "delete"])
def test_pixels_none_makes_reads_fail(clear):
    image = SimpleImage(2, 2, bytes(12))
    if clear == "delete":
        del image._pixels
    else:
        image._pixels = None
    assert image._pixels is None
    message = "'NoneType' object is not subscriptable"
    with raises_exactly(TypeError, message):
        image.getPixel((0, 0))
    with raises_exactly(TypeError, message):
        image.copy()
    with raises_exactly(*host_error(lambda: operator.setitem(None, 0, 1))):
        image.putPixel((0, 0), (1, 2, 3))


@pytest.mark.parametrize("name", ["width", "height"])
def test_dimensions_cannot_be_deleted(name):
    image = SimpleImage(2, 2, bytes(12))
    with raises_exactly(NotImplementedError, "__del__"):
        delattr(image, name)


def test_size_is_read_only_and_there_is_no_instance_dict():
    image = SimpleImage(3, 1, bytes(9))
    assert image.size == (3, 1)
    with pytest.raises(AttributeError):
        image.size = (1, 1)
    with pytest.raises(AttributeError):
        del image.size
    with pytest.raises(AttributeError):
        image.label = "x"
    assert not hasattr(image, "__dict__")


class Slotted:
    """A Python class whose instances have no dictionary and no slot for weak
    references."""

    __slots__ = ()


INSTANCE_LAYOUT_ACTIONS = {
    "set-attribute": lambda target: setattr(target, "label", "x"),
    "delete-attribute": lambda target: delattr(target, "label"),
    "replace-method": lambda target: setattr(target, "__init_subclass__", None),
    "read-dict": lambda target: target.__dict__,
    "vars": vars,
    "weak-reference": weakref.ref,
}


@pytest.mark.parametrize("action", INSTANCE_LAYOUT_ACTIONS.values(), ids=INSTANCE_LAYOUT_ACTIONS)
def test_instances_behave_as_those_of_a_class_with_empty_slots(action):
    # What the host does to an instance of such a Python class, error and
    # message, the type's name aside (weak references: PyPy allows them).
    try:
        action(Slotted())
    except Exception as error:  # noqa: BLE001 - any host error is the expectation
        message = str(error).replace("'Slotted'", f"'{SimpleImage.__module__}.SimpleImage'")
        with raises_exactly(type(error), message):
            action(SimpleImage(1, 1, bytes(3)))
    else:
        action(SimpleImage(1, 1, bytes(3)))


def test_a_subclass_has_an_instance_dict_and_weak_references():
    class Labelled(SimpleImage):
        pass

    image = Labelled(1, 1, bytes(3))
    image.label = "x"
    assert vars(image) == {"label": "x"}
    assert weakref.ref(image)() is image


# Pixel access


def test_pixel_layout_is_row_major_rgb():
    image = numbered_image(3, 2)
    for y in range(2):
        for x in range(3):
            start = (y * 3 + x) * 3
            assert image.getPixel((x, y)) == (start, start + 1, start + 2)
    assert image.getPixel((2, 1)) == tuple(image._pixels[-3:])


@pytest.mark.parametrize("coords", [(-1, 0), (3, 0), (0, -1), (0, 2), (2**64, 0), (0, -(2**64)), (float("nan"), 0)])
def test_coordinates_out_of_bounds(coords):
    image = numbered_image(3, 2)
    with raises_exactly(ValueError, OUT_OF_BOUNDS):
        image.getPixel(coords)
    with raises_exactly(ValueError, OUT_OF_BOUNDS):
        image.putPixel(coords, None)  # the value is never looked at
    assert image._pixels == numbered_image(3, 2)._pixels


def test_empty_image_has_no_pixel():
    image = SimpleImage(0, 5, b"")
    for coords in [(0, 0), (0, 4), (-1, 0)]:
        with raises_exactly(ValueError, OUT_OF_BOUNDS):
            image.getPixel(coords)


@pytest.mark.parametrize(
    "coords, kind, message",
    [
        ((0, 0, 0), ValueError, "too many values to unpack (expected 2)"),
        ((0,), ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        (("0", 0), TypeError, "'<=' not supported between instances of 'int' and 'str'"),
        ((0, None), TypeError, "'<=' not supported between instances of 'int' and 'NoneType'"),
        ((0.5, 0), TypeError, "bytearray indices must be integers or slices, not float"),
    ],
)
def test_coordinate_failures(coords, kind, message):
    image = numbered_image(2, 2)
    with raises_exactly(kind, message):
        image.getPixel(coords)
    with raises_exactly(kind, message):
        image.putPixel(coords, (1, 2, 3))
    assert image._pixels == numbered_image(2, 2)._pixels


@pytest.mark.parametrize(
    "value, stored",
    [
        ((256, -1, 3.9), (0, 255, 3)),
        ([1, 2, 3], (1, 2, 3)),
        (iter([4, 5, 6]), (4, 5, 6)),
        (bytes([7, 8, 9]), (7, 8, 9)),
        ((x for x in (10, 11, 12)), (10, 11, 12)),
        ((True, False, "42"), (1, 0, 42)),
        ((2**100 + 5, -(2**100) - 1, -3.5), (5, 255, 253)),
    ],
)
def test_put_pixel_wraps_channels(value, stored):
    image = SimpleImage(2, 1, bytes(6))
    assert image.putPixel((1, 0), value) is None
    assert image.getPixel((1, 0)) == stored
    assert image.getPixel((0, 0)) == (0, 0, 0)


def endless():
    while True:
        yield 1


def failing_iterator():
    yield 1
    raise KeyError("from the iterator")


@pytest.mark.parametrize(
    "value, kind, message",
    [
        ([1, 2], ValueError, "need more than 2 values to unpack"),
        ((1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)"),
        (iter([1]), ValueError, "need more than 1 value to unpack"),
        (iter([1, 2, 3, 4]), ValueError, "too many values to unpack (expected 3)"),
        (endless(), ValueError, "too many values to unpack (expected 3)"),
        (failing_iterator(), KeyError, "'from the iterator'"),
        (5, TypeError, "'int' object is not iterable"),
    ],
)
def test_put_pixel_value_failures_leave_image_unchanged(value, kind, message):
    image = numbered_image(2, 2)
    with raises_exactly(kind, message):
        image.putPixel((0, 0), value)
    assert image._pixels == numbered_image(2, 2)._pixels


@pytest.mark.parametrize(
    "value, written, bad",
    [((1, None, 3), 1, None), ((1, 2, "x"), 2, "x"), ((9, [], 3), 1, [])],
)
def test_put_pixel_failure_keeps_earlier_channels(value, written, bad):
    kind, message = host_error(lambda: int(bad))
    image = SimpleImage(1, 1, bytes(3))
    with raises_exactly(kind, message):
        image.putPixel((0, 0), value)
    assert image._pixels[:written] == bytearray(value[:written])
    assert image._pixels[written:] == bytearray(3 - written)


# Copying


def test_copy_is_independent_and_of_the_base_type():
    image = numbered_image(2, 3)
    duplicate = image.copy()
    assert type(duplicate) is SimpleImage
    assert duplicate.size == (2, 3)
    assert duplicate._pixels == image._pixels
    assert duplicate._pixels is not image._pixels
    duplicate.putPixel((0, 0), (255, 255, 255))
    assert image.getPixel((0, 0)) == (0, 1, 2)


def test_copy_checks_the_current_dimensions():
    image = SimpleImage(2, 2, bytes(12))
    image.width = 100
    with raises_exactly(ValueError, LENGTH_MISMATCH):
        image.copy()
    image.width, image.height = 1, 4
    assert image.copy().size == (1, 4)


# Subclasses


def test_python_subclass_with_init_and_del():
    seen = []

    class Labelled(SimpleImage):
        def __init__(self, width, height, pixels):
            self.label = f"{width}x{height}"

        def __del__(self):
            seen.append((self.label, bytes(self._pixels)))

    image = Labelled(1, 1, [1, 2, 3])
    assert (image.label, image.getPixel((0, 0))) == ("1x1", (1, 2, 3))
    duplicate = image.copy()
    assert type(duplicate) is SimpleImage
    assert duplicate.getPixel((0, 0)) == (1, 2, 3)
    del image
    gc.collect()
    assert seen == [("1x1", b"\x01\x02\x03")]


def test_subclass_call_arguments_must_fit_the_constructor():
    class Tagged(SimpleImage):
        def __init__(self, width, height, pixels, tag=None):
            self.tag = tag

    assert Tagged(1, 1, bytes(3)).tag is None
    with raises_exactly(TypeError, "__cinit__() got an unexpected keyword argument 'tag'"):
        Tagged(1, 1, bytes(3), tag="x")
    with raises_exactly(TypeError, "__cinit__() takes exactly 3 positional arguments (4 given)"):
        Tagged(1, 1, bytes(3), "x")


# Pickling


@pytest.mark.parametrize(
    "duplicate",
    [lambda image, p=protocol: pickle.dumps(image, protocol=p) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    + [copy.copy, copy.deepcopy, lambda image: image.__reduce__(), lambda image: image.__setstate__(None)],
)
def test_pickling_is_refused(duplicate):
    with raises_exactly(TypeError, NO_PICKLE):
        duplicate(SimpleImage(1, 1, bytes(3)))


# Disagreeing width, height and _pixels, against a plain Python rendering of
# the pixel access rules that uses the same host operations.


class Plain:
    def __init__(self, width, height, pixels):
        self.width = width
        self.height = height
        self._pixels = pixels


def reference_get(image, coords):
    x, y = coords
    if not (0 <= x < image.width and 0 <= y < image.height):
        raise ValueError(OUT_OF_BOUNDS)
    index = (y * image.width + x) * 3
    return (image._pixels[index], image._pixels[index + 1], image._pixels[index + 2])


def reference_put(image, coords, value):
    x, y = coords
    if not (0 <= x < image.width and 0 <= y < image.height):
        raise ValueError(OUT_OF_BOUNDS)
    index = (y * image.width + x) * 3
    r, g, b = value
    image._pixels[index] = int(r) & 255
    image._pixels[index + 1] = int(g) & 255
    image._pixels[index + 2] = int(b) & 255


class Skewed(int):
    """An int whose own arithmetic is off by one, so using int's instead shows."""

    def __add__(self, other):
        return Skewed(int(self) + int(other) - 1)

    __radd__ = __add__

    def __mul__(self, other):
        return Skewed(int(self) * int(other) + 1)

    __rmul__ = __mul__


class Boundless(int):
    """An int that passes every comparison, so the bounds check never stops it."""

    def __lt__(self, other):
        return True

    __le__ = __gt__ = __ge__ = __lt__


def outcome(action):
    try:
        return ("returned", action())
    except Exception as error:  # noqa: BLE001 - the exception is the result compared
        return (type(error), str(error))


def both(width, height, length, action):
    """Runs `action` on a real image and on a Plain one in the same state, and
    compares results, exceptions and the bytes left in the buffers."""
    image = SimpleImage(1, 1, bytes(3))
    image.width, image.height = width, height
    image._pixels = bytearray(i % 251 for i in range(length))
    plain = Plain(image.width, image.height, bytearray(image._pixels))
    assert outcome(lambda: action(image, True)) == outcome(lambda: action(plain, False))
    assert image._pixels == plain._pixels


def check_get(width, height, length, coords):
    both(width, height, length, lambda image, real: image.getPixel(coords) if real else reference_get(image, coords))


def check_put(width, height, length, coords, value):
    value = tuple(value)
    both(
        width,
        height,
        length,
        lambda image, real: image.putPixel(coords, value) if real else reference_put(image, coords, value),
    )


INT32 = st.integers(-(2**31), 2**31 - 1)
dimension = st.one_of(st.integers(-2, 6), INT32)
coordinate = st.one_of(
    st.integers(-3, 8),
    st.integers(),
    st.integers(2**62, 2**80),
    st.floats(),
    st.booleans(),
    st.integers(-3, 8).map(Skewed),
    st.one_of(st.integers(-3, 8), st.integers(), st.integers(2**62, 2**80)).map(Boundless),
    st.integers(-3, 8).map(IntSubclass),
)
channel = st.one_of(
    st.integers(-300, 300), st.integers(), st.floats(allow_nan=False, allow_infinity=False), st.booleans(),
    st.integers().map(Skewed), st.sampled_from(["7", "x", None, 2.5, float("inf")]),
)
examples = settings(max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@examples
@given(dimension, dimension, st.integers(0, 64), st.tuples(coordinate, coordinate))
def test_get_pixel_matches_python_rules(width, height, length, coords):
    check_get(width, height, length, coords)


@examples
@given(dimension, dimension, st.integers(0, 64), st.tuples(coordinate, coordinate), st.tuples(channel, channel, channel))
def test_put_pixel_matches_python_rules(width, height, length, coords, value):
    check_put(width, height, length, coords, value)


# Corners the generated values reach rarely: a last byte that lies past the
# buffer, products beyond 64 bits, indices that only the subclass arithmetic
# makes negative or huge.
CORNERS = [
    (100, 2, 12, (50, 0)),
    (2, 2, 11, (1, 1)),
    (2, 2, 10, (1, 1)),
    (2, 2, 13, (1, 1)),
    (2**31 - 1, 2**31 - 1, 12, (2**31 - 2, 2**31 - 2)),
    (2**31 - 1, 2**31 - 1, 12, (0, 2**31 - 2)),
    (2**31 - 1, 1, 12, (2**31 - 2, 0)),
    (2, 2, 12, (Boundless(-1), 0)),
    (2, 2, 12, (Boundless(-5), 0)),
    (2, 2, 12, (Boundless(2**70), Boundless(2**70))),
    (2, 2, 12, (Boundless(-(2**70)), 0)),
    (2, 2, 12, (Skewed(0), Skewed(0))),
    (2, 2, 12, (Skewed(1), 1)),
    (2, 2, 12, (True, True)),
    (2, 2, 12, (1.0, 0)),
    (-2, -2, 12, (0, 0)),
]


@pytest.mark.parametrize("width, height, length, coords", CORNERS)
def test_get_pixel_corners(width, height, length, coords):
    check_get(width, height, length, coords)


@pytest.mark.parametrize("width, height, length, coords", CORNERS)
def test_put_pixel_corners(width, height, length, coords):
    check_put(width, height, length, coords, (300, Skewed(7), 1.5))


def rebinding_index(target, made):
    """An int type whose `+ 1` and `+ 2` rebind target._pixels to a new buffer
    (recorded in `made`) as a side effect."""

    class Rebinding(int):
        def __add__(self, other):
            if other in (1, 2):
                made.append(bytearray([0xA0 + len(made)] * 12))
                target._pixels = made[-1]
            return Rebinding(int(self) + other)

        __radd__ = __add__

        def __mul__(self, other):
            return Rebinding(int(self) * other)

        __rmul__ = __mul__

    return Rebinding


@pytest.mark.parametrize("method", ["get", "put"])
def test_index_arithmetic_that_rebinds_the_buffer(method):
    # `self._pixels[index + 1]` reads the buffer before computing index + 1,
    # and reads it afresh for each channel.
    image = numbered_image(2, 2)
    plain = Plain(2, 2, bytearray(image._pixels))
    originals = image._pixels, plain._pixels
    made_by_image, made_by_plain = [], []
    real_coords = (rebinding_index(image, made_by_image)(1), 0)
    plain_coords = (rebinding_index(plain, made_by_plain)(1), 0)
    if method == "get":
        assert image.getPixel(real_coords) == reference_get(plain, plain_coords) == (3, 4, 0xA0)
    else:
        image.putPixel(real_coords, (1, 2, 3))
        reference_put(plain, plain_coords, (1, 2, 3))
    assert originals[0] == originals[1]
    assert made_by_image == made_by_plain
    assert len(made_by_image) == 2


def test_channel_conversion_that_shrinks_the_buffer():
    # int() of a channel runs Python code that may shrink the buffer: the
    # next byte is then past its end.
    def shrinking(target):
        class Shrinking:
            def __int__(self):
                del target._pixels[1:]
                return 5

        return Shrinking()

    image = numbered_image(1, 1)
    plain = Plain(1, 1, bytearray(image._pixels))
    expected = outcome(lambda: reference_put(plain, (0, 0), (shrinking(plain), 1, 2)))
    assert outcome(lambda: image.putPixel((0, 0), (shrinking(image), 1, 2))) == expected
    assert expected[0] is IndexError
    assert image._pixels == plain._pixels == bytearray([5])


# Resources


def repeated_call(label):
    image = numbered_image(4, 4)
    float_coords = (1.0, 2.0)
    calls = {
        "get-int": lambda: image.getPixel((3, 2)),
        "get-host-arithmetic": lambda: image.getPixel((True, IntSubclass(2))),
        "put-int": lambda: image.putPixel((3, 2), (1, 300, -1)),
        "put-iterated": lambda: image.putPixel((1, 1), iter((1.5, "2", 3))),
        "get-out-of-bounds": lambda: image.getPixel((4, 0)),
        "get-float-index": lambda: image.getPixel(float_coords),
    }
    return calls[label]


@pytest.mark.memory
@pytest.mark.slow
@pytest.mark.cpython_only("tracemalloc")
@pytest.mark.parametrize(
    "label, times",
    [
        ("get-int", 1_000_000),
        ("get-host-arithmetic", 1_000_000),
        ("put-int", 1_000_000),
        ("put-iterated", 1_000_000),
        # Raising paths cost ten times as much per call (exception and traceback entry).
        ("get-out-of-bounds", 200_000),
        ("get-float-index", 200_000),
    ],
)
def test_memory_stays_flat_over_many_calls(label, times):
    import tracemalloc

    call = repeated_call(label)

    def repeat(count):
        for _ in range(count):
            try:
                call()
            except (ValueError, TypeError):
                pass

    repeat(1000)
    gc.collect()
    refs_before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        repeat(times)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    # A leak of one object per call would be megabytes.
    assert growth < 64 * 1024
    if refs_before is not None:
        assert sys.gettotalrefcount() - refs_before < 1000
