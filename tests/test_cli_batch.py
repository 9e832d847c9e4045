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
from PIL import Image

from builders import RGBA, bmp_bytes, png, png_bytes, random_pixels, run_quorvel as quorvel

WIDTH, HEIGHT = 6, 4


def pixels(seed: int, width: int = WIDTH, height: int = HEIGHT) -> bytes:
    return random_pixels(width, height, seed)


def rgba_png(width: int, height: int, rgba: bytes) -> bytes:
    stride = width * 4
    return png(width, height, b"".join(b"\x00" + rgba[y * stride:(y + 1) * stride] for y in range(height)),
               color_type=RGBA)


def pillow_rgb(path) -> tuple[tuple[int, int], bytes]:
    with Image.open(path) as opened:
        return opened.size, opened.convert("RGB").tobytes()


def leftovers(folder: pathlib.Path) -> list[pathlib.Path]:
    return sorted(folder.rglob(".quorvel-*"))


SUMMARY = re.compile(r"^(\d+) files: (\d+) converted, (\d+) failed; (.+) in, (.+) out; \d+\.\d\d s$")


def summary(stdout: str) -> tuple[int, int, int, str, str]:
    *_, last = stdout.splitlines()
    match = SUMMARY.match(last)
    assert match, stdout
    files, converted, failed, bytes_in, bytes_out = match.groups()
    return int(files), int(converted), int(failed), bytes_in, bytes_out


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
    expected = {"out/a.bmp": 1, "out/sub/b.bmp": 2, "out/sub/deeper/c.bmp": 3, "out/d.bmp": 4}
    written = sorted(str(path.relative_to(tmp_path)) for path in (tmp_path / "out").rglob("*") if path.is_file())
    assert written == sorted(expected)
    for name, seed in expected.items():
        assert pillow_rgb(tmp_path / name) == ((WIDTH, HEIGHT), pixels(seed))
    bytes_in = sum(len(data) for name, data in sources.items() if not name.endswith(".txt"))
    bytes_out = sum((tmp_path / name).stat().st_size for name in expected)
    assert summary(result.stdout) == (4, 4, 0, f"{bytes_in} B", f"{bytes_out} B")


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
    assert summary(result.stdout)[:3] == (6, 3, 3)
    assert sorted(path.name for path in out.iterdir()) == ["good0.bmp", "good1.bmp", "good2.bmp"]
    for i in range(3):
        assert pillow_rgb(out / f"good{i}.bmp") == ((WIDTH, HEIGHT), pixels(i))


def test_two_sources_for_one_destination(tmp_path):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "same.bmp").write_bytes(bmp_bytes(WIDTH, HEIGHT, pixels(1)))
    (tmp_path / "src" / "same.png").write_bytes(png_bytes(WIDTH, HEIGHT, pixels(2)))
    result = quorvel("convert", "src", "--to", "png", "-o", "out", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == ("error: src/same.png: skipped: out/same.png is the destination of "
                             "src/same.bmp\n")
    assert summary(result.stdout)[:3] == (2, 1, 1)
    assert pillow_rgb(tmp_path / "out" / "same.png") == ((WIDTH, HEIGHT), pixels(1))


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
    assert summary(stdout)[:3] == (5, 5, 0)


@pytest.mark.parametrize("where, option", [("terminal", "--no-progress"), ("pipe", None), ("pipe", "--progress")])
def test_progress_bar_only_where_wanted(tmp_path, batch_sources, where, option):
    arguments = ["convert", *batch_sources, "--to", "bmp", "-o", tmp_path / "out", *([option] if option else [])]
    if where == "terminal":
        status, stdout, shown = run_on_terminal(*arguments)
    else:
        result = quorvel(*arguments)
        status, stdout, shown = result.returncode, result.stdout, result.stderr
    assert status == 0 and summary(stdout)[:3] == (5, 5, 0)
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


@pytest.mark.slow
@pytest.mark.parametrize("sent_to", ["parent", "process-group"])
def test_interrupting_a_batch(tmp_path, sent_to):
    source_folder = tmp_path / "src"
    source_folder.mkdir()
    out = tmp_path / "out"
    out.mkdir()
    expected = {}
    for i in range(24):
        expected[f"image{i:02}.png"] = random_bmp(source_folder / f"image{i:02}.bmp", i, 900, 900)
        if i % 2:
            (out / f"image{i:02}.png").write_bytes(b"precious")
    process = subprocess.Popen([sys.executable, "-m", "Quorvel", "convert", source_folder, "--to", "png",
                                "-o", out, "-j", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, start_new_session=True)
    converted = lambda: [path for path in out.glob("*.png") if path.read_bytes()[:4] == b"\x89PNG"]
    wait_for(lambda: converted() and leftovers(out))
    if sent_to == "parent":
        process.send_signal(signal.SIGINT)
    else:
        os.killpg(process.pid, signal.SIGINT)  # what Ctrl-C on a terminal does
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 130
    assert stderr == "interrupted\n" and stdout == ""
    assert leftovers(tmp_path) == []
    assert processes_mentioning(str(out)) == []
    # Every destination is either as it was (absent or the old content) or
    # completely converted, and the batch was stopped before its end.
    untouched = 0
    for name, rgb in expected.items():
        path = out / name
        if not path.exists() or path.read_bytes() == b"precious":
            untouched += 1
        else:
            assert pillow_rgb(path) == ((900, 900), rgb), name
    assert untouched > 0


@pytest.mark.slow
@pytest.mark.parametrize("destination_exists", [False, True], ids=["new", "existing"])
def test_interrupting_a_single_large_conversion(tmp_path, destination_exists):
    source = tmp_path / "large.bmp"
    random_bmp(source, 7, 3000, 3000)
    destination = tmp_path / "large.png"
    if destination_exists:
        destination.write_bytes(b"precious")
    process = subprocess.Popen([sys.executable, "-m", "Quorvel", "convert", source, destination],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # The temporary file appears before the image is encoded into it.
    wait_for(lambda: leftovers(tmp_path) or process.poll() is not None)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 130, stderr
    assert stderr == "interrupted\n" and stdout == ""
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
    assert summary(stdout)[:3] == (8, 7, 1)
    assert leftovers(tmp_path) == []
    failed = pathlib.Path(error.split(": ")[1]).with_suffix(".png").name
    assert sorted(path.name for path in out.iterdir()) == sorted(set(expected) - {failed})
    for name in set(expected) - {failed}:
        assert pillow_rgb(out / name) == ((600, 600), expected[name])


@pytest.mark.slow
def test_interrupting_info(tmp_path):
    random_bmp(tmp_path / "image.bmp", 3, 1000, 1000)
    for i in range(400):
        (tmp_path / f"link{i:03}.bmp").symlink_to("image.bmp")
    process = subprocess.Popen([sys.executable, "-m", "Quorvel", "info", "--check",
                                *sorted(tmp_path.glob("link*"))],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = process.stdout.readline()
    process.send_signal(signal.SIGINT)
    rest, stderr = process.communicate(timeout=120)
    assert process.returncode == 130
    assert stderr == "interrupted\n"
    assert "check: decoded" in first and len(rest.splitlines()) < 399
