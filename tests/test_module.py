"""The module object: import and initialisation, the names it binds, its
function objects, globals read at call time, and traceback entries."""

import gc
import importlib
import inspect
import io
import pathlib
import struct
import subprocess
import sys
import textwrap
import traceback
import typing
import zlib

import pytest

import Quorvel.tessarin_ext as tessarin_ext
from builders import PNG_SIGNATURE, bmp_bytes, png_bytes
from Quorvel.tessarin_ext import SimpleImage

QUALIFIED = "Quorvel.tessarin_ext"
CO_OPTIMIZED, CO_NEWLOCALS = inspect.CO_OPTIMIZED, inspect.CO_NEWLOCALS


def run_python(code, *flags):
    """Runs `code` in a fresh interpreter; returns its standard output."""
    result = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


# Import and initialisation.


def test_second_import_returns_the_same_module_and_type(monkeypatch):
    monkeypatch.delitem(sys.modules, QUALIFIED)
    again = importlib.import_module(QUALIFIED)
    assert again is tessarin_ext
    assert again.SimpleImage is SimpleImage
    assert importlib.reload(again) is tessarin_ext
    assert tessarin_ext.SimpleImage is SimpleImage


def test_loading_the_file_under_its_top_level_name_registers_the_qualified_name():
    output = run_python(
        f"""
        import importlib.util, sys
        spec = importlib.util.spec_from_file_location("tessarin_ext", {tessarin_ext.__file__!r})
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(module.__name__, sys.modules["{QUALIFIED}"] is module, repr(module.__package__))
        import {QUALIFIED} as qualified
        print(qualified is module)
        """
    )
    assert output.split() == ["tessarin_ext", "True", "''", "True"]


def test_import_does_not_warn_on_the_compiled_for_version():
    output = run_python(f"import {QUALIFIED}; print('imported')", "-W", "error")
    assert output == "imported\n"


def test_module_attributes_in_binding_order():
    output = run_python(f"import {QUALIFIED} as m; print(' '.join(vars(m)))")
    assert output.split() == [
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
        "__builtins__", "SimpleImage", "struct", "zlib", "BytesIO", "Path", "List", "Sequence", "Tuple", "Union",
        "PNG_SIGNATURE", "ImageInput", "_readChunk", "_makeChunk", "_writePng", "_writeBmp", "__test__",
    ]  # fmt: skip


def test_module_attribute_values():
    import builtins

    assert tessarin_ext.__name__ == QUALIFIED
    assert tessarin_ext.__doc__ is None
    assert tessarin_ext.__package__ == "Quorvel"
    assert tessarin_ext.__file__ == tessarin_ext.__spec__.origin
    assert not hasattr(tessarin_ext, "__path__")
    assert vars(tessarin_ext)["__builtins__"] is builtins
    assert tessarin_ext.struct is struct
    assert tessarin_ext.zlib is zlib
    assert tessarin_ext.BytesIO is io.BytesIO
    assert tessarin_ext.Path is pathlib.Path
    for name in ["List", "Sequence", "Tuple", "Union"]:
        assert getattr(tessarin_ext, name) is getattr(typing, name)
    assert tessarin_ext.PNG_SIGNATURE == bytes([0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A]) == PNG_SIGNATURE
    assert type(tessarin_ext.PNG_SIGNATURE) is bytes
    assert tessarin_ext.ImageInput == typing.Union[str, pathlib.Path, bytes, bytearray]
    assert typing.get_args(tessarin_ext.ImageInput) == (str, pathlib.Path, bytes, bytearray)
    assert tessarin_ext.__test__ == {}
    assert type(tessarin_ext.__test__) is dict


def test_the_type():
    assert SimpleImage.__name__ == SimpleImage.__qualname__ == "SimpleImage"
    assert SimpleImage.__module__ == QUALIFIED
    assert SimpleImage.__bases__ == (object,)
    doc = SimpleImage.__doc__
    assert doc and doc.count(".") == 1 and doc.endswith(".") and "RGB" in doc
    # No instance dictionary and no weak-reference slot in the layout (PyPy
    # shows no layout offsets; the behaviour is tested with the image).
    assert getattr(SimpleImage, "__dictoffset__", 0) == 0
    assert getattr(SimpleImage, "__weakrefoffset__", 0) == 0
    # Outside the host's cyclic garbage collection, where the host tells
    # (PyPy's collector has no such notion).
    if hasattr(gc, "is_tracked"):
        assert not gc.is_tracked(SimpleImage(1, 1, bytes(3)))
    for name in ["size", "width", "height", "_pixels"]:
        assert inspect.isdatadescriptor(vars(SimpleImage)[name])
        assert vars(SimpleImage)[name].__doc__ is None


# Function objects.

FUNCTIONS = [
    # (name in its namespace, qualname, class-dictionary kind or None, parameters, annotations)
    ("_readChunk", "_readChunk", None, ["stream"], {"return": "Tuple[bytes, bytes]"}),
    ("_makeChunk", "_makeChunk", None, ["chunkType", "data"], {"chunkType": "bytes", "data": "bytes", "return": "bytes"}),
    ("_writePng", "_writePng", None, ["path", "width", "height", "pixels"], {"return": "None"}),
    ("_writeBmp", "_writeBmp", None, ["path", "width", "height", "pixels"], {"return": "None"}),
    ("_streamToImage", "SimpleImage._streamToImage", staticmethod, ["stream"], {}),
    ("open", "SimpleImage.open", classmethod, ["cls", "source"], {"source": "ImageInput", "return": "'SimpleImage'"}),
    ("getPixel", "SimpleImage.getPixel", "method", ["self", "coords"],
     {"coords": "Tuple[int, int]", "return": "Tuple[int, int, int]"}),
    ("putPixel", "SimpleImage.putPixel", "method", ["self", "coords", "value"],
     {"coords": "Tuple[int, int]", "value": "Sequence[int]", "return": "None"}),
    ("copy", "SimpleImage.copy", "method", ["self"], {"return": "'SimpleImage'"}),
    ("save", "SimpleImage.save", "method", ["self", "path"], {"path": "str", "return": "None"}),
    ("saveBmp", "SimpleImage.saveBmp", "method", ["self", "path"], {"path": "str", "return": "None"}),
]  # fmt: skip


def function_object(name, kind):
    if kind is None:
        return vars(tessarin_ext)[name]
    entry = vars(SimpleImage)[name]
    if kind != "method":
        assert type(entry) is kind
        return entry.__func__
    return entry


@pytest.mark.parametrize("name, qualname, kind, params, annotations", FUNCTIONS, ids=[f[1] for f in FUNCTIONS])
def test_function_object_metadata(name, qualname, kind, params, annotations):
    function = function_object(name, kind)
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__module__ == QUALIFIED
    assert function.__doc__ is None
    assert function.__defaults__ is None
    assert function.__globals__ is vars(tessarin_ext)
    assert list(function.__annotations__.items()) == list(annotations.items())
    assert all(type(text) is str for text in function.__annotations__.values())
    code = function.__code__
    assert code.co_argcount == len(params)
    assert code.co_varnames[: len(params)] == tuple(params)
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
    assert code.co_flags & (CO_OPTIMIZED | CO_NEWLOCALS) == CO_OPTIMIZED | CO_NEWLOCALS


@pytest.mark.parametrize("name, qualname, kind, params, annotations", FUNCTIONS, ids=[f[1] for f in FUNCTIONS])
def test_signatures(name, qualname, kind, params, annotations):
    function = function_object(name, kind)
    signature = inspect.signature(function)
    assert list(signature.parameters) == params
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty
        assert parameter.annotation == annotations.get(parameter.name, inspect.Parameter.empty)
    assert signature.return_annotation == annotations.get("return", inspect.Signature.empty)
    # Reached through the class or an instance, the implicit first parameter is bound.
    if kind is classmethod:
        assert list(inspect.signature(getattr(SimpleImage, name)).parameters) == params[1:]
    elif kind == "method":
        assert list(inspect.signature(getattr(SimpleImage(1, 1, bytes(3)), name)).parameters) == params[1:]
        assert getattr(SimpleImage, name) is function
    elif kind is staticmethod:
        assert getattr(SimpleImage, name) is function
        assert getattr(SimpleImage(1, 1, bytes(3)), name) is function


def test_module_functions_are_not_bare_builtins():
    for name in ["_readChunk", "_makeChunk", "_writePng", "_writeBmp"]:
        function = getattr(tessarin_ext, name)
        assert not inspect.isbuiltin(function)
        assert callable(function)


# Globals read at call time.


def test_replacing_builtin_open_after_import_changes_nothing(tmp_path):
    path = tmp_path / "pixel.bmp"
    path.write_bytes(bmp_bytes(1, 1, bytes([1, 2, 3])))
    output = run_python(
        f"""
        import builtins
        from {QUALIFIED} import SimpleImage
        def refuse(*args, **kwargs):
            raise AssertionError("the replaced open was called")
        builtins.open = refuse
        image = SimpleImage.open({str(path)!r})
        print(image.getPixel((0, 0)))
        image.putPixel((0, 0), (4, 5, 6))
        image.saveBmp({str(tmp_path / "saved.bmp")!r})
        image.save({str(tmp_path / "saved.png")!r})
        """
    )
    assert output == "(1, 2, 3)\n"
    assert (tmp_path / "saved.bmp").read_bytes()[:2] == b"BM"
    assert (tmp_path / "saved.png").read_bytes()[:8] == PNG_SIGNATURE


ONE_PIXEL_PNG = png_bytes(1, 1, bytes([10, 20, 30]))
ONE_PIXEL_BMP = bmp_bytes(1, 1, bytes([3, 2, 1]))


def save_png(tmp_path):
    SimpleImage(1, 1, bytes(3)).save(str(tmp_path / "out.png"))


def save_bmp(tmp_path):
    SimpleImage(1, 1, bytes(3)).saveBmp(str(tmp_path / "out.bmp"))


GLOBAL_USES = {
    "struct": [
        lambda tmp_path: SimpleImage.open(ONE_PIXEL_BMP),
        lambda tmp_path: tessarin_ext._readChunk(io.BytesIO(ONE_PIXEL_PNG[8:])),
        lambda tmp_path: tessarin_ext._makeChunk(b"IEND", b""),
        lambda tmp_path: SimpleImage.open(ONE_PIXEL_PNG),
        save_bmp,
        save_png,
    ],
    "zlib": [
        lambda tmp_path: tessarin_ext._readChunk(io.BytesIO(ONE_PIXEL_PNG[8:])),
        lambda tmp_path: tessarin_ext._makeChunk(b"IEND", b""),
        lambda tmp_path: SimpleImage.open(ONE_PIXEL_PNG),
        save_png,
    ],
    "PNG_SIGNATURE": [
        lambda tmp_path: SimpleImage.open(ONE_PIXEL_PNG),
        lambda tmp_path: SimpleImage._streamToImage(io.BytesIO(ONE_PIXEL_PNG)),
        save_png,
    ],
    # A str is taken as a path before Path is looked up; anything else needs it.
    "Path": [lambda tmp_path: SimpleImage.open(tmp_path / "missing.png"), lambda tmp_path: SimpleImage.open(ONE_PIXEL_PNG)],
    "BytesIO": [lambda tmp_path: SimpleImage.open(ONE_PIXEL_PNG)],
    "_readChunk": [lambda tmp_path: SimpleImage.open(ONE_PIXEL_PNG)],
    "_makeChunk": [save_png, lambda tmp_path: tessarin_ext._writePng(str(tmp_path / "w.png"), 1, 1, bytes(3))],
    "_writePng": [save_png],
    "_writeBmp": [save_bmp],
}
DELETIONS = [(name, index, use) for name, uses in GLOBAL_USES.items() for index, use in enumerate(uses)]


@pytest.mark.parametrize("name, use", [(n, u) for n, _, u in DELETIONS], ids=[f"{n}-{i}" for n, i, _ in DELETIONS])
def test_deleted_global_raises_name_error(name, use, monkeypatch, tmp_path):
    monkeypatch.delattr(tessarin_ext, name)
    with pytest.raises(NameError) as caught:
        use(tmp_path)
    assert str(caught.value) == f"name '{name}' is not defined"
    assert type(caught.value) is NameError


def test_deleted_global_falls_back_to_builtins(monkeypatch, tmp_path):
    import builtins

    calls = []
    monkeypatch.delattr(tessarin_ext, "_writeBmp")
    monkeypatch.setattr(builtins, "_writeBmp", lambda *args: calls.append(args), raising=False)
    image = SimpleImage(1, 1, bytes(3))
    image.saveBmp("anywhere.bmp")
    assert calls == [("anywhere.bmp", 1, 1, image._pixels)]


@pytest.mark.parametrize("name, method", [("_writePng", "save"), ("_writeBmp", "saveBmp")])
def test_rebound_encoder_is_called(name, method, monkeypatch):
    calls = []
    monkeypatch.setattr(tessarin_ext, name, lambda *args: calls.append(args) or "ignored")
    image = SimpleImage(2, 1, bytes(range(6)))
    image.width = 9  # passed as it is now, not checked against the buffer
    assert getattr(image, method)(path="somewhere") is None
    assert calls == [("somewhere", 9, 1, image._pixels)]
    assert calls[0][3] is image._pixels


class Recorder:
    """Stands in for a host module, recording which functions are used."""

    def __init__(self, module):
        self.module = module
        self.used = []

    def __getattr__(self, name):
        function = getattr(self.module, name)

        def recorded(*args, **kwargs):
            self.used.append(name)
            return function(*args, **kwargs)

        return recorded


@pytest.mark.parametrize(
    "name, use, expected",
    [
        ("struct", lambda tmp_path: SimpleImage.open(ONE_PIXEL_BMP), {"unpack"}),
        ("zlib", save_png, {"compress", "crc32"}),
        ("zlib", lambda tmp_path: SimpleImage.open(ONE_PIXEL_PNG), {"crc32", "decompress"}),
    ],
)
def test_rebound_host_module_is_used(name, use, expected, monkeypatch, tmp_path):
    recorder = Recorder(getattr(tessarin_ext, name))
    monkeypatch.setattr(tessarin_ext, name, recorder)
    use(tmp_path)
    assert set(recorder.used) == expected


@pytest.mark.parametrize("signature, data, message", [
    (b"\x00not png", ONE_PIXEL_PNG, "Unsupported image format"),
    # The PNG signature is tried first, and the decoder compares it again.
    (b"BM", ONE_PIXEL_BMP, "Unsupported PNG signature"),
])
def test_rebound_png_signature_changes_recognition(signature, data, message, monkeypatch):
    monkeypatch.setattr(tessarin_ext, "PNG_SIGNATURE", signature)
    with pytest.raises(ValueError) as caught:
        SimpleImage.open(data)
    assert caught.value.args == (message,)


def test_rebound_path_and_bytesio(monkeypatch, tmp_path):
    class NotAPath:
        pass

    monkeypatch.setattr(tessarin_ext, "Path", NotAPath)
    with pytest.raises(TypeError, match="^source must be a file path or raw bytes$"):
        SimpleImage.open(tmp_path / "x.png")
    streams = []

    def recording_stream(data):
        streams.append(data)
        return io.BytesIO(data)

    monkeypatch.setattr(tessarin_ext, "BytesIO", recording_stream)
    assert SimpleImage.open(ONE_PIXEL_PNG).getPixel((0, 0)) == (10, 20, 30)
    assert streams == [ONE_PIXEL_PNG]


# Traceback entries.


def failing_calls():
    image = SimpleImage(1, 1, bytes(3))

    def set_attribute(name, value):
        return lambda: setattr(image, name, value)

    # (the functions the traceback names, outermost first; a call that fails in them)
    return [
        (["_readChunk"], lambda: tessarin_ext._readChunk(None)),
        (["_makeChunk"], lambda: tessarin_ext._makeChunk(None, b"")),
        (["_writePng"], lambda: tessarin_ext._writePng()),
        (["_writeBmp"], lambda: tessarin_ext._writeBmp()),
        (["SimpleImage._streamToImage"], lambda: SimpleImage._streamToImage(io.BytesIO(b"GIF89a.."))),
        (["SimpleImage._streamToImage"], lambda: SimpleImage._streamToImage()),
        (["SimpleImage.open"], lambda: SimpleImage.open(None)),
        (["SimpleImage.open", "SimpleImage._streamToImage"], lambda: SimpleImage.open(b"")),
        (["SimpleImage.getPixel"], lambda: image.getPixel((5, 5))),
        (["SimpleImage.putPixel"], lambda: image.putPixel((0, 0), None)),
        (["SimpleImage.copy"], lambda: SimpleImage.copy(image, 1)),
        (["SimpleImage.copy", "SimpleImage.__cinit__"], lambda: spoiled_copy()),
        (["SimpleImage.save"], lambda: image.save(None)),
        (["SimpleImage.save"], lambda: image.save()),
        (["SimpleImage.save", "_writePng"], lambda: image.save("/nonexistent-directory/image.png")),
        (["SimpleImage.saveBmp"], lambda: image.saveBmp(None)),
        (["SimpleImage.saveBmp", "_writeBmp"], lambda: image.saveBmp("/nonexistent-directory/image.bmp")),
        (["SimpleImage.__cinit__"], lambda: SimpleImage(1, 1, b"")),
        (["SimpleImage.__reduce__"], lambda: image.__reduce__()),
        (["SimpleImage.__setstate__"], lambda: image.__setstate__(None)),
        (["SimpleImage.width.__set__"], set_attribute("width", "wide")),
        (["SimpleImage.height.__set__"], set_attribute("height", None)),
        (["SimpleImage._pixels.__set__"], set_attribute("_pixels", b"")),
    ]


def spoiled_copy():
    image = SimpleImage(2, 2, bytes(12))
    image.width = 100
    return image.copy()


FAILING = failing_calls()


@pytest.mark.parametrize("names, call", FAILING, ids=["-".join(f[0]) for f in FAILING])
def test_exception_leaving_a_function_names_it_in_the_traceback(names, call):
    with pytest.raises(Exception) as caught:
        call()
    native = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)
              if frame.name.startswith("Quorvel.")]
    assert native == [f"{QUALIFIED}.{name}" for name in names]
