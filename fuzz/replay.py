"""Runs stored fuzzer inputs through the SimpleImage.open target, or with
--load through the Quorvel.load target, without the fuzzer:
python fuzz/replay.py [--load] FILE...  Exit status 1 if any input fails."""

from __future__ import annotations

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from open_target import Finding, check_open  # noqa: E402


def main(paths: list[str]) -> int:
    check = check_open
    if paths[:1] == ["--load"]:
        from load_target import check_load
        check, paths = check_load, paths[1:]
    if not paths:
        print(__doc__, file=sys.stderr)
        return 2
    failed = 0
    for name in paths:
        try:
            check(pathlib.Path(name).read_bytes())
        except Finding as finding:
            failed += 1
            print(f"FAIL {name}: {finding}", flush=True)
        else:
            print(f"ok   {name}", flush=True)
    print(f"{len(paths) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
