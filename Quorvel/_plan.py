"""Planning a batch: the files that folders hold, the destination of each
source, and the folders the destinations need."""
from __future__ import annotations

import os
from collections import Counter
from dataclasses import dataclass, field
from typing import Iterator, Sequence

from Quorvel._convert import describe

# The extensions a folder walk takes, and the format each names.
FORMATS = {".png": "png", ".bmp": "bmp"}


@dataclass
class Plan:
    """What a batch is to do: the (source, destination) pairs to convert, the
    lines for sources that fail before any work (each a failed file), and the
    lines naming what a folder walk passed over (each a skipped file)."""
    jobs: list[tuple[str, str]] = field(default_factory=list)
    failures: list[str] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)


def plan_batch(sources: Sequence[str], directory: str, target_format: str) -> Plan:
    """Folders among `sources` are walked for .png and .bmp files, which keep
    their place relative to the folder given, in a folder of its name when
    there are several; other files are named in `directory` itself. No
    source is ever a destination (see _name_destinations)."""
    plan = Plan()
    output = _identity(directory)
    several = sum(map(os.path.isdir, sources)) > 1
    wanted: list[tuple[str, str]] = []
    for source in sources:
        if os.path.isdir(source):
            # abspath names a folder given as "." or with a final slash.
            inside = os.path.basename(os.path.abspath(source)) if several else ""
            wanted += [(path, os.path.join(inside, os.path.relpath(path, source)))
                       for path in walk(source, plan, output)]
        else:
            wanted.append((source, os.path.basename(source)))
    _name_destinations(wanted, directory, "." + target_format, plan)
    return plan


def plan_single(source: str, destination: str) -> Plan:
    """The one job of converting `source` to `destination`, unless that is
    the source itself."""
    plan = Plan()
    reached = _identity(destination)
    if reached is not None and reached == _identity(source):
        plan.failures.append(f"error: {source}: not converted: it would be its own destination; give another DST")
    else:
        plan.jobs.append((source, destination))
    return plan


def keep_existing(plan: Plan) -> None:
    """Leaves out of `plan` each job whose destination exists, as skipped."""
    jobs, plan.jobs = plan.jobs, []
    for source, destination in jobs:
        if os.path.lexists(destination):
            plan.skipped.append(f"skipped: {source}: {destination} exists (--no-clobber)")
        else:
            plan.jobs.append((source, destination))


def walk(folder: str, plan: Plan, output: tuple[int, int] | None = None) -> Iterator[str]:
    """The .png and .bmp files below `folder`, in order; what it passes over
    is named in plan.skipped: symbolic links to folders, and the output
    folder (`output`, its identity), whose files are a batch's own."""
    def unreadable(error: OSError) -> None:
        plan.failures.append(f"error: {error.filename}: cannot read: {describe(error)}")

    for root, folders, names in os.walk(folder, onerror=unreadable):
        folders.sort()
        for name in list(folders):
            path = os.path.join(root, name)
            if os.path.islink(path):
                plan.skipped.append(f"skipped: {path}: a symbolic link to a folder, not followed")
            elif output is not None and _identity(path) == output:
                plan.skipped.append(f"skipped: {path}: the output folder, not walked")
                folders.remove(name)
        for name in sorted(names):
            path = os.path.join(root, name)
            if os.path.splitext(name)[1].lower() in FORMATS:
                yield path
            else:
                plan.skipped.append(f"skipped: {path}: not a .png or .bmp file")


def _identity(path: str) -> tuple[int, int] | None:
    """Which file `path` reaches, through any symbolic links; None if none."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return status.st_dev, status.st_ino


def _name_destinations(wanted: list[tuple[str, str]], directory: str, extension: str, plan: Plan) -> None:
    """Gives each (source, path relative to `directory`) its destination: the
    path with `extension` in place of its own. A source that would be its own
    destination is skipped, and one whose destination is another source is
    refused: no source is ever written. Sources that would share a
    destination each keep their own extension in it (a.bmp -> a.bmp.png), so
    that none takes the name from another, and a file that cannot be
    converted blocks nothing; a clash that remains is refused."""
    identities = [_identity(source) for source, _ in wanted]
    sources = set(identities) - {None}
    first_of: dict[tuple[tuple[int, int] | None, str], str] = {}
    candidates = []
    for (source, relative), identity in zip(wanted, identities):
        destination = os.path.join(directory, os.path.splitext(relative)[0] + extension)
        key, reached = _key(destination), _identity(destination)
        if (identity, key) in first_of:
            plan.skipped.append(f"skipped: {source}: the same file as {first_of[identity, key]}")
            continue
        if identity is not None:
            first_of[identity, key] = source
        if reached is not None and reached == identity:
            plan.skipped.append(f"skipped: {source}: it would be its own destination")
        elif reached in sources:
            plan.failures.append(f"error: {source}: not converted: {_source_refusal(destination)}")
        else:
            candidates.append((source, relative, destination, key))
    wanting = Counter(key for *_, key in candidates)
    claimed = {key: source for source, _, _, key in candidates if wanting[key] == 1}
    for source, relative, destination, key in candidates:
        if wanting[key] > 1:
            destination = os.path.join(directory, relative + extension)
            key = _key(destination)
            if _identity(destination) in sources:
                plan.failures.append(f"error: {source}: not converted: {_source_refusal(destination)}")
                continue
            if key in claimed:
                plan.failures.append(f"error: {source}: not converted: {destination} is also the destination of "
                                     f"{claimed[key]}; convert one of them into another folder (-o DIR)")
                continue
            claimed[key] = source
        plan.jobs.append((source, destination))


def _source_refusal(destination: str) -> str:
    return (f"its destination {destination} is one of the sources, which are never replaced; convert into "
            "another folder (-o DIR)")


def _key(path: str) -> str:
    """The same for two paths that name one file, existing or not."""
    return os.path.normcase(os.path.realpath(path))


def make_folders(plan: Plan) -> None:
    """Creates the folders the jobs write into; a job whose folder cannot be
    made leaves the plan as one failure line, and the others stay."""
    problems: dict[str, str | None] = {}
    for folder in sorted({os.path.dirname(destination) for _, destination in plan.jobs}):
        try:
            os.makedirs(folder or ".", exist_ok=True)
            problems[folder] = None
        except OSError as error:
            problems[folder] = f"cannot create the directory {error.filename}: {_folder_problem(folder, error)}"
    kept = []
    for source, destination in plan.jobs:
        problem = problems[os.path.dirname(destination)]
        if problem is None:
            kept.append((source, destination))
        else:
            plan.failures.append(f"error: {destination}: {problem}")
    plan.jobs = kept


def _folder_problem(folder: str, error: OSError) -> str:
    """Names what stands where a folder is wanted, which the system's own
    message ("File exists", "Not a directory") leaves out."""
    path = folder
    while path and not os.path.lexists(path):
        path = os.path.dirname(path)
    if path and not os.path.isdir(path):
        return f"{path} is not a directory"
    return describe(error)
