"""The README as a newcomer reads it from the top: the two commands first,
a quick start that runs as printed, and links that lead somewhere."""
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig

import pytest

REPO = pathlib.Path(__file__).resolve().parents[1]
README = REPO / "README.md"

pytestmark = pytest.mark.skipif(not README.is_file(), reason="README.md is not beside the tests")


def quick_start_blocks() -> tuple[str, str]:
    """The shell and Python blocks of the quick start."""
    section = README.read_text().split("## Quick start", 1)[1].split("\n## ", 1)[0]
    return (re.search(r"```sh\n(.*?)```", section, re.S).group(1),
            re.search(r"```python\n(.*?)```", section, re.S).group(1))


def test_the_first_lines_give_the_main_job_and_all_tests():
    _, main_job, all_tests, *_ = [line for line in README.read_text().splitlines() if line]
    assert main_job.startswith("Main job") and main_job.endswith("`tools/demo.sh`")
    assert all_tests.startswith("All tests") and all_tests.endswith("`tools/test.sh`")
    for script in ("tools/demo.sh", "tools/test.sh"):
        assert (REPO / script).stat().st_mode & 0o111


def test_the_quick_start_converts_a_folder_and_its_python_runs(tmp_path):
    shell, python = quick_start_blocks()
    shutil.copytree(REPO / "examples", tmp_path / "examples")
    # The lines after setting up and activating .venv, run with the command
    # this interpreter's environment installed.
    commands = [shlex.split(line.split("#")[0]) for line in shell.splitlines() if line.startswith("quorvel ")]
    assert [command[:2] for command in commands] == [["quorvel", "convert"], ["quorvel", "info"]]
    scripts = pathlib.Path(sysconfig.get_path("scripts"))
    convert, info = (subprocess.run([scripts / "quorvel", *command[1:]], cwd=tmp_path, capture_output=True,
                                    text=True, timeout=120) for command in commands)
    assert convert.returncode == 0 and convert.stderr == "", convert.stderr
    assert re.fullmatch(r"\d+ files: 1 converted, 0 failed, \d+ skipped; .*\n", convert.stdout)
    assert (tmp_path / "converted" / "sample.bmp").read_bytes()[:2] == b"BM"
    assert info.returncode == 0 and info.stdout.endswith("; supported format; SimpleImage.open opens it\n"), info.stderr
    (tmp_path / "quick_start.py").write_text(python)
    result = subprocess.run([sys.executable, "quick_start.py"], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0 and result.stdout == "(64, 48)\n", result.stderr
    assert (tmp_path / "sample.bmp").read_bytes()[:2] == b"BM"
    assert (tmp_path / "sample-copy.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_every_link_to_a_file_of_the_repository_leads_to_one():
    for page in [README, *sorted((REPO / "docs").glob("*.md"))]:
        for target in re.findall(r"\]\(([^)#]+)(?:#[^)]*)?\)", page.read_text()):
            assert "://" not in target, (page.name, target)
            assert (page.parent / target).exists(), (page.name, target)
