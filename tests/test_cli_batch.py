"""`python -m Quorvel convert` on many files, in a child process: walking
directories, worker processes, bad files, the progress bar, interruption,
and what happens to destinations (symbolic links, read-only files)."""
import os
import pathlib
import pty
import random
import re
import signal
import struct
import subprocess
import sys
import time

import pytest

import Quorvel
from builders import RGBA, bmp_bytes, pillow_rgb, png, png_bytes, random_pixels, run_quorvel as quorvel
from Quorvel import SimpleImage

WIDTH, HEIGHT = 6, 4


def pixels(seed: int, width: int = WIDTH, height: int = HEIGHT) -> bytes:
    return random_pixels(width, height, seed)


def rgba_png(width: int, height: int, rgba: bytes) -> bytes:
    stride = width * 4
    return png(width, height, b"".join(b"\x00" + rgba[y * stride:(y + 1) * stride] for y in range(height)),
               color_type=RGBA)


def leftovers(folder: pathlib.Path) -> list[pathlib.Path]:
    return sorted(folder.rglob(".quorvel-*"))


SUMMARY = re.compile(r"^(\d+) files?: (\d+) converted, (\d+) failed, (\d+) skipped; (.+) in, (.+) out; \d+\.\d\d s$")


def summary(stdout: str) -> tuple[int, int, int, int, str, str]:
    """The summary line's counts (files, converted, failed, skipped) and sizes."""
    *_, last = stdout.splitlines()
    match = SUMMARY.match(last)
    assert match, stdout
    files, converted, failed, skipped, bytes_in, bytes_out = match.groups()
    return int(files), int(converted), int(failed), int(skipped), bytes_in, bytes_out


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_batch_walks_directories_keeping_their_layout(tmp_path, jobs):
    sources = {
        "src/a.png": png_bytes(WIDTH, HEIGHT, pixels(1)),
        "src/sub/b.bmp": bmp_bytes(WIDTH, HEIGHT, pixels(2)),
        "src/sub/deeper/c.PNG": png_bytes(WIDTH, HEIGHT, pixels(3)),
        "src/notes.txt": b"not looked at",
        "elsewhere/d.data": bmp_bytes(WIDTH, HEIGHT, pixels(4)),
    }
    for name, data in sources.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(data)
    result = quorvel("convert", "src", "elsewhere/d.data", "--to", "bmp", "-o", "out", "-j", jobs, cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert len(result.stdout.splitlines()) == 1
    expected = {"out/a.bmp": 1, "out/sub/b.bmp": 2, "out/sub/deeper/c.bmp": 3, "out/d.bmp": 4}
    written = sorted(str(path.relative_to(tmp_path)) for path in (tmp_path / "out").rglob("*") if path.is_file())
    assert written == sorted(expected)
    for name, seed in expected.items():
        assert pillow_rgb(tmp_path / name) == ((WIDTH, HEIGHT), pixels(seed))
    bytes_in = sum(len(data) for name, data in sources.items() if not name.endswith(".txt"))
    bytes_out = sum((tmp_path / name).stat().st_size for name in expected)
    assert summary(result.stdout) == (5, 4, 0, 1, f"{bytes_in} B", f"{bytes_out} B")


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_bad_file_is_reported_in_one_line_and_the_batch_goes_on(tmp_path, jobs):
    good = [tmp_path / f"good{i}.png" for i in range(3)]
    for i, path in enumerate(good):
        path.write_bytes(png_bytes(WIDTH, HEIGHT, pixels(i)))
    broken = tmp_path / "broken.png"
    broken.write_bytes(png_bytes(WIDTH, HEIGHT, pixels(9))[:-30])
    text = tmp_path / "text.bmp"
    text.write_bytes(b"BMnot really")
    missing = tmp_path / "missing.png"
    out = tmp_path / "out"
    result = quorvel("convert", good[0], broken, good[1], missing, text, good[2], "--to", "bmp", "-o", out,
                     "-j", jobs)
    assert result.returncode == 1
    errors = result.stderr.splitlines()
    assert sorted(line.split(": ")[1] for line in errors) == sorted(map(str, [broken, missing, text]))
    assert all(line.startswith("error: ") for line in errors) and "Traceback" not in result.stderr
    assert summary(result.stdout)[:4] == (6, 3, 3, 0)
    assert sorted(path.name for path in out.iterdir()) == ["good0.bmp", "good1.bmp", "good2.bmp"]
    for i in range(3):
        assert pillow_rgb(out / f"good{i}.bmp") == ((WIDTH, HEIGHT), pixels(i))


@pytest.mark.parametrize("broken", [None, "png", "bmp"])
def test_two_sources_for_one_destination(tmp_path, broken):
    # Each keeps its extension in the name it gets, so neither takes the
    # shared name: one that cannot be decoded blocks nothing.
    files = {"same.bmp": bmp_bytes(WIDTH, HEIGHT, pixels(1)), "same.png": png_bytes(WIDTH, HEIGHT, pixels(2))}
    if broken:
        files[f"same.{broken}"] = files[f"same.{broken}"][:-30]
    write_tree(tmp_path / "src", files)
    result = quorvel("convert", "src", "--to", "png", "-o", "out", cwd=tmp_path)
    good = [name for name in files if not name.endswith(f".{broken}")]
    assert result.returncode == (broken is not None), result.stderr
    assert summary(result.stdout)[:4] == (2, len(good), 2 - len(good), 0)
    assert sorted(path.name for path in (tmp_path / "out").iterdir()) == sorted(f"{name}.png" for name in good)
    for name in good:
        assert pillow_rgb(tmp_path / "out" / f"{name}.png") == ((WIDTH, HEIGHT), pixels(1 + name.endswith("png")))
    assert all((tmp_path / "src" / name).read_bytes() == data for name, data in files.items())


@pytest.mark.parametrize("to", ["png", "bmp"])
def test_a_batch_never_overwrites_a_source(tmp_path, to):
    # Into their own folder, one of a red a.png and a blue a.bmp would be its
    # own destination, and the other would replace it.
    write_tree(tmp_path, {"a.png": png_bytes(WIDTH, HEIGHT, b"\xff\0\0" * WIDTH * HEIGHT),
                          "a.bmp": bmp_bytes(WIDTH, HEIGHT, b"\0\0\xff" * WIDTH * HEIGHT)})
    before = {path.name: path.read_bytes() for path in tmp_path.iterdir()}
    result = quorvel("convert", ".", "--to", to, "-o", ".", "-v", cwd=tmp_path)
    assert {path.name: path.read_bytes() for path in tmp_path.iterdir()} == before
    assert result.returncode == 1 and summary(result.stdout)[:4] == (2, 0, 1, 1)
    assert sorted(result.stderr.splitlines()) == [
        f"error: ./a.{'bmp' if to == 'png' else 'png'}: not converted: its destination ./a.{to} is one of the "
        "sources, which are never replaced; convert into another folder (-o DIR)",
        f"skipped: ./a.{to}: it would be its own destination"]


def test_several_folders_each_get_their_own_folder_in_the_output(tmp_path):
    seeds = {"one/x.png": 1, "two/x.png": 2, "two/sub/y.bmp": 3, "z.bmp": 4, "again/two/x.png": 5}
    write_tree(tmp_path, {name: (bmp_bytes if name.endswith(".bmp") else png_bytes)(WIDTH, HEIGHT, pixels(seed))
                          for name, seed in seeds.items()})
    result = quorvel("convert", "one", "two", "z.bmp", "again/two", "--to", "bmp", "-o", "out", cwd=tmp_path)
    # Two folders of one name still clash; the message says how to avoid it.
    assert result.returncode == 1
    assert result.stderr == ("error: again/two/x.png: not converted: out/two/x.png.bmp is also the destination of "
                             "two/x.png; convert one of them into another folder (-o DIR)\n")
    expected = {"out/one/x.bmp": 1, "out/two/x.png.bmp": 2, "out/two/sub/y.bmp": 3, "out/z.bmp": 4}
    assert sorted(str(path.relative_to(tmp_path)) for path in (tmp_path / "out").rglob("*.bmp")) == sorted(expected)
    for name, seed in expected.items():
        assert pillow_rgb(tmp_path / name) == ((WIDTH, HEIGHT), pixels(seed))


def test_an_output_folder_inside_a_source_folder_is_not_walked(tmp_path):
    write_tree(tmp_path / "nest", {"a.png": png_bytes(WIDTH, HEIGHT, pixels(1)),
                                   "b.bmp": bmp_bytes(WIDTH, HEIGHT, pixels(2))})
    for _ in range(2):
        result = quorvel("convert", "nest", "--to", "bmp", "-o", "nest/bmp", "-v", cwd=tmp_path)
        assert result.returncode == 0 and summary(result.stdout)[1:3] == (2, 0), result.stderr
    assert "skipped: nest/bmp: the output folder, not walked" in result.stderr.splitlines()
    assert sorted(str(path.relative_to(tmp_path)) for path in (tmp_path / "nest").rglob("*")) == [
        "nest/a.png", "nest/b.bmp", "nest/bmp", "nest/bmp/a.bmp", "nest/bmp/b.bmp"]


@pytest.mark.parametrize("options, settings", [
    ([], {}),
    (["--compress-level", "1"], {"compress_level": 1}),
    (["--optimize", "--compress-level", "9"], {"compress_level": 9, "optimize": True}),
])
def test_png_options_are_those_of_save_png(tmp_path, options, settings):
    rgb = bytes((x * y // 7 + (x ^ y)) % 256 for y in range(48) for x in range(64 * 3))
    (tmp_path / "a.bmp").write_bytes(bmp_bytes(64, 48, rgb))
    result = quorvel("convert", "a.bmp", "--to", "png", "-o", "out", *options, cwd=tmp_path)
    assert result.stdout.startswith("1 file: 1 converted, 0 failed, 0 skipped; "), result.stderr
    expected = Quorvel.encode_png(SimpleImage(64, 48, rgb), **settings)
    assert (tmp_path / "out" / "a.png").read_bytes() == expected
    assert not settings or expected != Quorvel.encode_png(SimpleImage(64, 48, rgb))


def test_no_clobber_keeps_existing_destinations(tmp_path):
    write_tree(tmp_path, {"a.png": png_bytes(WIDTH, HEIGHT, pixels(1)), "b.png": png_bytes(WIDTH, HEIGHT, pixels(2)),
                          "out/a.bmp": b"precious"})
    kept = "skipped: a.png: out/a.bmp exists (--no-clobber)"
    single = quorvel("convert", "a.png", "out/a.bmp", "--no-clobber", cwd=tmp_path)
    assert (single.returncode, single.stdout) == (0, kept + "\n")
    batch = quorvel("convert", "a.png", "b.png", "--to", "bmp", "-o", "out", "--no-clobber", "-v", cwd=tmp_path)
    assert batch.returncode == 0 and summary(batch.stdout)[:4] == (2, 1, 0, 1)
    assert sorted(batch.stderr.splitlines()) == ["converted: b.png -> out/b.bmp", kept]
    assert (tmp_path / "out" / "a.bmp").read_bytes() == b"precious"


def write_tree(root: pathlib.Path, files: dict[str, bytes]) -> None:
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("blocked", ["out/deep", "out"])
def test_a_folder_that_cannot_be_made_fails_only_the_files_it_would_hold(tmp_path, jobs, blocked):
    seeds = {"a.png": 1, "deep/b.png": 2, "deep/c.bmp": 3, "other/d.png": 4}
    write_tree(tmp_path / "src", {f"{name}": (bmp_bytes if name.endswith(".bmp") else png_bytes)(
        WIDTH, HEIGHT, pixels(seed)) for name, seed in seeds.items()})
    write_tree(tmp_path, {blocked: b"a file where a folder is wanted"})
    result = quorvel("convert", "src", "--to", "bmp", "-o", "out", "-j", jobs, cwd=tmp_path)
    assert result.returncode == 1
    held = [name for name in seeds if os.path.join("out", name).startswith(blocked + "/")]
    assert sorted(result.stderr.splitlines()) == [
        f"error: out/{name[:-4]}.bmp: cannot create the directory {os.path.dirname('out/' + name)}: "
        f"{blocked} is not a directory" for name in sorted(held)]
    assert summary(result.stdout)[:4] == (4, 4 - len(held), len(held), 0)
    assert (tmp_path / blocked).read_bytes() == b"a file where a folder is wanted"
    for name in set(seeds) - set(held):
        assert pillow_rgb(tmp_path / "out" / f"{name[:-4]}.bmp") == ((WIDTH, HEIGHT), pixels(seeds[name]))


def test_a_read_only_output_folder_fails_each_file_in_one_line(tmp_path, read_only):
    write_tree(tmp_path / "src", {"a.png": png_bytes(WIDTH, HEIGHT, pixels(1)),
                                  "sub/b.png": png_bytes(WIDTH, HEIGHT, pixels(2))})
    (tmp_path / "out").mkdir()
    read_only(tmp_path / "out")
    result = quorvel("convert", "src", "--to", "bmp", "-o", "out", cwd=tmp_path)
    assert result.returncode == 1
    denied = "(Permission denied|Operation not permitted)"
    first, second = sorted(result.stderr.splitlines())
    assert re.fullmatch(f"error: out/a.bmp: cannot write: {denied}", first)
    assert re.fullmatch(f"error: out/sub/b.bmp: cannot create the directory out/sub: {denied}", second)
    assert summary(result.stdout)[:4] == (2, 0, 2, 0)
    assert list((tmp_path / "out").iterdir()) == []


@pytest.mark.parametrize("verbose", [False, True])
def test_what_a_folder_walk_passes_over_is_counted_and_named_with_v(tmp_path, verbose):
    write_tree(tmp_path, {"src/a.png": png_bytes(WIDTH, HEIGHT, pixels(1)), "src/photo.jpg": b"JFIF",
                          "src/notes/readme.txt": b"text", "elsewhere/b.png": png_bytes(WIDTH, HEIGHT, pixels(2))})
    (tmp_path / "src" / "linked").symlink_to("../elsewhere")
    result = quorvel("convert", "src", "--to", "bmp", "-o", "out", *(["-v"] if verbose else []), cwd=tmp_path)
    assert result.returncode == 0
    assert summary(result.stdout)[:4] == (4, 1, 0, 3)
    assert sorted(result.stderr.splitlines()) == ([
        "converted: src/a.png -> out/a.bmp",
        "skipped: src/linked: a symbolic link to a folder, not followed",
        "skipped: src/notes/readme.txt: not a .png or .bmp file",
        "skipped: src/photo.jpg: not a .png or .bmp file",
    ] if verbose else [])
    assert [path.name for path in (tmp_path / "out").rglob("*")] == ["a.bmp"]


@pytest.mark.parametrize("batch", [False, True], ids=["single", "batch"])
def test_one_warning_line_when_alpha_is_dropped(tmp_path, batch):
    rgba = bytes(random.Random(5).randbytes(WIDTH * HEIGHT * 4))
    source = tmp_path / "alpha.png"
    source.write_bytes(rgba_png(WIDTH, HEIGHT, rgba))
    opaque = tmp_path / "opaque.png"
    opaque.write_bytes(png_bytes(WIDTH, HEIGHT, pixels(1)))
    if batch:
        result = quorvel("convert", source, opaque, "--to", "bmp", "-o", tmp_path / "out")
        written = tmp_path / "out" / "alpha.bmp"
    else:
        written = tmp_path / "alpha.bmp"
        result = quorvel("convert", source, written)
    assert result.returncode == 0
    assert result.stderr == f"warning: {source}: RGBA image: its alpha channel is dropped\n"
    rgb = b"".join(rgba[i:i + 3] for i in range(0, len(rgba), 4))
    assert pillow_rgb(written) == ((WIDTH, HEIGHT), rgb)


@pytest.mark.parametrize("link_kind", ["relative", "absolute", "chain", "other-directory", "dangling"])
def test_a_symbolic_link_destination_is_written_through(tmp_path, link_kind):
    source = tmp_path / "source.png"
    source.write_bytes(png_bytes(WIDTH, HEIGHT, pixels(1)))
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    target = (elsewhere if link_kind == "other-directory" else tmp_path) / "target.bmp"
    if link_kind != "dangling":
        target.write_bytes(b"old content")
        target.chmod(0o640)
    link = tmp_path / "link.bmp"
    if link_kind == "chain":
        (tmp_path / "middle.bmp").symlink_to("target.bmp")
        link.symlink_to("middle.bmp")
    else:
        link.symlink_to(target if link_kind in ("absolute", "other-directory") else "target.bmp")
    before = os.readlink(link)
    result = quorvel("convert", source, link)
    assert result.returncode == 0, result.stderr
    assert link.is_symlink() and os.readlink(link) == before
    assert pillow_rgb(target) == ((WIDTH, HEIGHT), pixels(1))
    umask = os.umask(0)
    os.umask(umask)
    assert target.stat().st_mode & 0o777 == (0o666 & ~umask if link_kind == "dangling" else 0o640)
    assert leftovers(tmp_path) == []


@pytest.fixture
def read_only():
    """Makes a file or directory read-only for whoever runs the tests: by its
    mode bits, or for root, whom those do not stop, with the immutable flag."""
    made = []

    def make(path: pathlib.Path) -> None:
        if os.geteuid() != 0:
            path.chmod(0o555 if path.is_dir() else 0o444)
        elif subprocess.run(["chattr", "+i", path], capture_output=True).returncode != 0:
            pytest.skip("running as root on a file system without the immutable flag")
        made.append(path)

    yield make
    for path in made:
        if os.geteuid() == 0:
            subprocess.run(["chattr", "-i", path], check=True)
        else:
            path.chmod(0o755)


@pytest.mark.parametrize("what", ["file", "directory"])
def test_a_read_only_destination_is_left_alone(tmp_path, read_only, what):
    source = tmp_path / "source.png"
    source.write_bytes(png_bytes(WIDTH, HEIGHT, pixels(1)))
    folder = tmp_path / "folder"
    folder.mkdir()
    destination = folder / "out.bmp"
    destination.write_bytes(b"keep me")
    read_only(destination if what == "file" else folder)
    result = quorvel("convert", source, destination)
    assert result.returncode == 1
    assert re.fullmatch(f"error: {re.escape(str(destination))}: cannot write: "
                        "(Permission denied|Operation not permitted)\n", result.stderr)
    assert destination.read_bytes() == b"keep me"
    assert leftovers(tmp_path) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="only root may replace another user's read-only file")
def test_root_replaces_a_read_only_file_keeping_its_mode_owner_and_group(tmp_path):
    source = tmp_path / "source.png"
    source.write_bytes(png_bytes(WIDTH, HEIGHT, pixels(1)))
    destination = tmp_path / "out.bmp"
    destination.write_bytes(b"old")
    os.chown(destination, 65534, 65534)
    destination.chmod(0o444)
    assert quorvel("convert", source, destination).returncode == 0
    assert pillow_rgb(destination) == ((WIDTH, HEIGHT), pixels(1))
    status = destination.stat()
    assert (status.st_mode & 0o777, status.st_uid, status.st_gid) == (0o444, 65534, 65534)


def run_on_terminal(*arguments) -> tuple[int, str, str]:
    """Runs the command line with stderr on a pseudo-terminal; returns the
    exit status, stdout and what the terminal received."""
    controller, terminal = pty.openpty()
    with subprocess.Popen([sys.executable, "-m", "Quorvel", *map(str, arguments)], stdout=subprocess.PIPE,
                          stderr=terminal, text=True) as process:
        os.close(terminal)
        received = b""
        while True:
            try:
                piece = os.read(controller, 65536)
            except OSError:  # the terminal is gone once the child has exited
                break
            if not piece:
                break
            received += piece
        stdout = process.stdout.read()
        status = process.wait(timeout=120)
    os.close(controller)
    return status, stdout, received.decode()


@pytest.fixture
def batch_sources(tmp_path) -> list[pathlib.Path]:
    paths = []
    for i in range(5):
        paths.append(tmp_path / f"image{i}.png")
        paths[-1].write_bytes(png_bytes(WIDTH, HEIGHT, pixels(i)))
    return paths


@pytest.mark.parametrize("option", [None, "--progress"])
def test_progress_bar_on_a_terminal(tmp_path, batch_sources, option):
    status, stdout, shown = run_on_terminal("convert", *batch_sources, "--to", "bmp", "-o", tmp_path / "out",
                                            *([option] if option else []))
    assert status == 0
    assert "\r[" in shown and "0/5 files" in shown and "5/5 files" in shown
    assert re.search(r"5/5 files  \d+\.\d files/s  0:00 left", shown)
    # The bar is wiped at the end, leaving the terminal to the summary line.
    assert shown.endswith("\r\x1b[K")
    assert summary(stdout)[:4] == (5, 5, 0, 0)


@pytest.mark.parametrize("where, option", [("terminal", "--no-progress"), ("pipe", None), ("pipe", "--progress")])
def test_progress_bar_only_where_wanted(tmp_path, batch_sources, where, option):
    arguments = ["convert", *batch_sources, "--to", "bmp", "-o", tmp_path / "out", *([option] if option else [])]
    if where == "terminal":
        status, stdout, shown = run_on_terminal(*arguments)
    else:
        result = quorvel(*arguments)
        status, stdout, shown = result.returncode, result.stdout, result.stderr
    assert status == 0 and summary(stdout)[:4] == (5, 5, 0, 0)
    assert ("5/5 files" in shown) is (option == "--progress")


def test_jobs_default_to_the_cpus_this_process_may_use():
    result = quorvel("convert", "--help")
    assert f"here {len(os.sched_getaffinity(0))})" in " ".join(result.stdout.split())


def processes_mentioning(text: str) -> list[int]:
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if text.encode() in (entry / "cmdline").read_bytes():
                    found.append(int(entry.name))
            except OSError:
                continue
    return found


def wait_for(condition, seconds: float = 120.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def random_bmp(path: pathlib.Path, seed: int, width: int, height: int) -> bytes:
    """Writes the file bmp_bytes would, built with slices of whole channels
    to be quick at large sizes; returns its pixels."""
    rgb = pixels(seed, width, height)
    bgr = bytearray(len(rgb))
    bgr[0::3], bgr[1::3], bgr[2::3] = rgb[2::3], rgb[1::3], rgb[0::3]
    row = width * 3
    padding = bytes((row + 3) // 4 * 4 - row)
    data = b"".join(bgr[y * row:(y + 1) * row] + padding for y in reversed(range(height)))
    path.write_bytes(b"BM" + struct.pack("<IHHI", 54 + len(data), 0, 0, 54)
                     + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 0, 0, 0, 0) + data)
    return rgb


LARGE = 900


@pytest.fixture(scope="module")
def large_sources(tmp_path_factory) -> tuple[pathlib.Path, dict[str, bytes]]:
    """A folder of BMP files large enough that a batch of them takes seconds,
    and the pixels each PNG made from them must hold."""
    folder = tmp_path_factory.mktemp("large-sources")
    return folder, {f"image{i:02}.png": random_bmp(folder / f"image{i:02}.bmp", i, LARGE, LARGE) for i in range(24)}


def start_batch(sources: pathlib.Path, out: pathlib.Path, *wrapper: str) -> subprocess.Popen:
    """A batch in its own session, so that its process group can be signalled
    as a terminal or a supervisor would; it has begun converting on return."""
    process = subprocess.Popen([*wrapper, sys.executable, "-m", "Quorvel", "convert", sources, "--to", "png",
                                "-o", out, "-j", "2"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    converted = lambda: [path for path in out.glob("*.png") if path.read_bytes()[:4] == b"\x89PNG"]
    wait_for(lambda: converted() and leftovers(out))
    return process


STOPS = [("SIGINT", "parent"), ("SIGINT", "process-group"), ("SIGTERM", "parent"), ("SIGTERM", "process-group"),
         ("SIGHUP", "parent"), ("SIGHUP", "process-group"), ("SIGKILL", "parent")]


@pytest.mark.slow
@pytest.mark.parametrize("name, sent_to", STOPS, ids=["-".join(stop) for stop in STOPS])
def test_stopping_a_batch(tmp_path, large_sources, name, sent_to):
    sources, expected = large_sources
    number = getattr(signal, name)
    out = tmp_path / "out"
    out.mkdir()
    for precious in list(expected)[1::2]:
        (out / precious).write_bytes(b"precious")
    process = start_batch(sources, out)
    if sent_to == "parent":
        process.send_signal(number)
    else:
        os.killpg(process.pid, number)  # what Ctrl-C, a closed terminal or `timeout` sends
    # The output reaches its end once the command is over: no worker holds it.
    stdout, stderr = process.communicate(timeout=120)
    if number == signal.SIGKILL:
        assert process.returncode == -number and stderr == ""
    else:
        assert process.returncode == 128 + number and stderr == stopped_by(name)
    assert stdout == ""
    assert processes_mentioning(str(out)) == []
    assert leftovers(out) == []
    # Every destination is either as it was (absent or the old content) or
    # completely converted, and the batch was stopped before its end.
    untouched = 0
    for name, rgb in expected.items():
        path = out / name
        if not path.exists() or path.read_bytes() == b"precious":
            untouched += 1
        else:
            assert pillow_rgb(path) == ((LARGE, LARGE), rgb), name
    assert untouched > 0


@pytest.mark.slow
def test_workers_waiting_for_work_end_when_their_parent_is_killed(tmp_path, large_sources):
    sources, expected = large_sources
    out = tmp_path / "out"
    process = start_batch(sources, out)
    # Stopped, the parent hands out nothing more: the workers finish their
    # files and wait on their pipes, which their siblings also hold open.
    process.send_signal(signal.SIGSTOP)
    wait_for(lambda: not leftovers(out))
    process.kill()
    stdout, stderr = process.communicate(timeout=120)
    assert (process.returncode, stdout, stderr) == (-signal.SIGKILL, "", "")
    assert processes_mentioning(str(out)) == []
    written = sorted(out.glob("*.png"))
    assert written and len(written) < len(expected)
    for path in written:
        assert pillow_rgb(path) == ((LARGE, LARGE), expected[path.name]), path.name


@pytest.mark.slow
def test_a_batch_started_with_nohup_goes_on_after_a_hang_up(tmp_path, large_sources):
    sources, expected = large_sources
    out = tmp_path / "out"
    process = start_batch(sources, out, "nohup")
    os.killpg(process.pid, signal.SIGHUP)
    stdout, stderr = process.communicate(timeout=300)
    assert process.returncode == 0 and stderr == ""
    assert summary(stdout)[:4] == (24, 24, 0, 0)
    assert sorted(path.name for path in out.iterdir()) == sorted(expected)


def stopped_by(name: str) -> str:
    """The one line a command stopped by this signal ends with."""
    return "interrupted\n" if name == "SIGINT" else f"interrupted by {name}\n"


@pytest.mark.slow
@pytest.mark.parametrize("name, destination_exists", [("SIGINT", False), ("SIGINT", True), ("SIGTERM", True),
                                                      ("SIGHUP", False)])
def test_stopping_a_single_large_conversion(tmp_path, name, destination_exists):
    source = tmp_path / "large.bmp"
    random_bmp(source, 7, 3000, 3000)
    destination = tmp_path / "large.png"
    if destination_exists:
        destination.write_bytes(b"precious")
    process = subprocess.Popen([sys.executable, "-m", "Quorvel", "convert", source, destination],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # The temporary file appears before the image is encoded into it.
    wait_for(lambda: leftovers(tmp_path) or process.poll() is not None)
    process.send_signal(getattr(signal, name))
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 128 + getattr(signal, name), stderr
    assert stderr == stopped_by(name) and stdout == ""
    assert leftovers(tmp_path) == []
    assert destination.read_bytes() == b"precious" if destination_exists else not destination.exists()


def children_of(pid: int) -> list[int]:
    return [int(child) for child in pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]


@pytest.mark.slow
def test_a_worker_that_dies_fails_its_file_and_the_batch_goes_on(tmp_path):
    source_folder = tmp_path / "src"
    source_folder.mkdir()
    out = tmp_path / "out"
    expected = {f"image{i:02}.png": random_bmp(source_folder / f"image{i:02}.bmp", i, 600, 600) for i in range(8)}
    process = subprocess.Popen([sys.executable, "-m", "Quorvel", "convert", source_folder, "--to", "png",
                                "-o", out, "-j", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # Kill the worker writing the first temporary file (named after its process).
    wait_for(lambda: out.is_dir() and leftovers(out))
    victim = int(leftovers(out)[0].name.split("-")[1])
    assert victim in children_of(process.pid)
    os.kill(victim, signal.SIGKILL)
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 1
    [error] = stderr.splitlines()
    assert re.fullmatch(r"error: \S+: the worker process converting it ended unexpectedly \(exit status -9\)", error)
    assert summary(stdout)[:4] == (8, 7, 1, 0)
    assert leftovers(tmp_path) == []
    failed = pathlib.Path(error.split(": ")[1]).with_suffix(".png").name
    assert sorted(path.name for path in out.iterdir()) == sorted(set(expected) - {failed})
    for name in set(expected) - {failed}:
        assert pillow_rgb(out / name) == ((600, 600), expected[name])


@pytest.mark.slow
@pytest.mark.parametrize("name", ["SIGINT", "SIGTERM", "SIGHUP"])
def test_stopping_info(tmp_path, name):
    random_bmp(tmp_path / "image.bmp", 3, 1000, 1000)
    for i in range(400):
        (tmp_path / f"link{i:03}.bmp").symlink_to("image.bmp")
    process = subprocess.Popen([sys.executable, "-m", "Quorvel", "info", "--check",
                                *sorted(tmp_path.glob("link*"))],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = process.stdout.readline()
    process.send_signal(getattr(signal, name))
    rest, stderr = process.communicate(timeout=120)
    assert process.returncode == 128 + getattr(signal, name)
    assert stderr == stopped_by(name)
    assert "; decodes (" in first and len(rest.splitlines()) < 399
