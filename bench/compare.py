"""Compares two benchmark runs ratio by ratio and flags changes beyond the noise.

    .venv/bin/python bench/compare.py OLD.json NEW.json
    .venv/bin/python bench/compare.py old-1.json,old-2.json new-1.json,new-2.json

OLD and NEW are JSON files written by bench_codecs.py --json; either may be a
comma-separated list of repeated runs of the same code. For each case found
on both sides it prints every ratio of the run (each implementation to the
limit, or to Pillow where a case has no limit, and ours to Pillow), the old
and new value and the change. A ratio is the median over the rounds of the
ratio within one round where the JSON has the samples (the ratio of the
medians for older files); repeated runs on one side are averaged. A change is flagged when it is larger than
the noise, which is the largest of:

- the spread of that ratio between repeated runs on either side (max - min),
  the noise seen between runs: given only one run a side, it is unknown;
- three standard errors of the difference, from the spread of the per-round
  ratios within each run (the samples in the JSON);
- --min-change of the old value (default 2%), below which no change is
  worth a flag.
"""

from __future__ import annotations

import argparse
import json
import math
import statistics
import sys
from dataclasses import dataclass
from pathlib import Path


# Cases found on one side only (another run mode, a peer installed since)
# are listed up to this many.
SHOWN_UNMATCHED = 6


@dataclass(frozen=True)
class RatioRuns:
    """One ratio of one case over the runs of one side."""

    values: list[float]
    # Standard error of the ratio within each run, where its samples are known.
    errors: list[float]

    @property
    def value(self) -> float:
        return statistics.fmean(self.values)

    @property
    def spread(self) -> float:
        return max(self.values) - min(self.values)

    @property
    def error(self) -> float:
        """Standard error of the mean of the runs' ratios (0 when unknown)."""
        if not self.errors:
            return 0.0
        return math.sqrt(sum(e * e for e in self.errors)) / len(self.errors)


def per_round_ratios(numerator_ns: list[int], denominator_ns: list[int]) -> list[float]:
    """numerator / denominator within each round both ran in: the first n
    samples of each, since an implementation samples once per round until it
    drops out for good."""
    rounds = min(len(numerator_ns), len(denominator_ns))
    return [a / b for a, b in zip(numerator_ns[:rounds], denominator_ns[:rounds])]


def paired_ratio(numerator_ns: list[int], denominator_ns: list[int]) -> float:
    """The median of the per-round ratios. Load that slows a whole round
    slows both sides alike, and a burst that hits one sample is outvoted, so
    on a busy machine this holds steadier than a ratio of two medians."""
    per_round = per_round_ratios(numerator_ns, denominator_ns)
    if not per_round:
        raise ValueError("no round with both implementations")
    return statistics.median(per_round)


def ratio_error(numerator_ns: list[int], denominator_ns: list[int]) -> float | None:
    """Standard error of the paired ratio: a robust spread of the per-round
    ratios (1.4826 MAD) times the median's factor 1.2533, over sqrt(rounds)."""
    per_round = per_round_ratios(numerator_ns, denominator_ns)
    rounds = len(per_round)
    if rounds < 3:
        return None
    middle = statistics.median(per_round)
    mad = statistics.median(abs(r - middle) for r in per_round)
    return 1.2533 * 1.4826 * mad / math.sqrt(rounds)


def case_ratio(case: dict, numerator: str, denominator: str) -> float:
    """The paired ratio where the run kept its samples, else the ratio of the medians."""
    times = case.get("times_ns", {})
    if times.get(numerator) and times.get(denominator):
        return paired_ratio(times[numerator], times[denominator])
    return case["median_ns"][numerator] / case["median_ns"][denominator]


def case_ratios(case: dict) -> dict[str, tuple[float, float | None]]:
    """Every ratio of one case: name -> (value, standard error or None)."""
    medians = case["median_ns"]
    times = case.get("times_ns", {})
    reference = "limit" if "limit" in medians else "pillow"
    pairs = [(name, reference) for name in medians if name != reference]
    if reference != "pillow" and "ours" in medians and "pillow" in medians:
        pairs.append(("ours", "pillow"))
    found = {}
    for numerator, denominator in pairs:
        if not medians.get(denominator):
            continue
        error = None
        if numerator in times and denominator in times:
            error = ratio_error(times[numerator], times[denominator])
        found[f"{numerator}/{denominator}"] = (case_ratio(case, numerator, denominator), error)
    return found


def collect(runs: list[dict]) -> dict[tuple[str, str, str], RatioRuns]:
    """Every (operation, case, ratio) of the runs of one side."""
    collected: dict[tuple[str, str, str], tuple[list[float], list[float]]] = {}
    for run in runs:
        for case in run["cases"]:
            for ratio, (value, error) in case_ratios(case).items():
                values, errors = collected.setdefault((case["operation"], case["case"], ratio), ([], []))
                values.append(value)
                if error is not None:
                    errors.append(error)
    # A ratio missing from some runs is compared over the runs that have it;
    # its within-run errors count only when every one of those runs had samples.
    return {
        key: RatioRuns(values, errors if len(errors) == len(values) else [])
        for key, (values, errors) in collected.items()
    }


@dataclass(frozen=True)
class Change:
    operation: str
    case: str
    ratio: str
    old: float
    new: float
    noise: float

    @property
    def delta(self) -> float:
        return self.new - self.old

    @property
    def flag(self) -> str:
        if abs(self.delta) <= self.noise:
            return ""
        return "SLOWER" if self.delta > 0 else "faster"


def compare(old: dict[tuple[str, str, str], RatioRuns], new: dict[tuple[str, str, str], RatioRuns],
            min_change: float) -> list[Change]:
    changes = []
    for key, before in old.items():
        after = new.get(key)
        if after is None:
            continue
        within = 3 * math.sqrt(before.error ** 2 + after.error ** 2)
        noise = max(before.spread, after.spread, within, min_change * before.value)
        changes.append(Change(*key, before.value, after.value, noise))
    return changes


def _side_summary(label: str, paths: list[Path], runs: list[dict]) -> str:
    dates = sorted({run.get("date", "?")[:10] for run in runs})
    modes = sorted({run.get("mode", "?") for run in runs})
    return f"{label}: {len(runs)} run{'s' if len(runs) != 1 else ''} ({', '.join(modes)}; {', '.join(dates)}): " + \
        ", ".join(str(p) for p in paths)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old", help="JSON of the run before the change (comma-separated for repeated runs)")
    parser.add_argument("new", help="JSON of the run after the change (likewise)")
    parser.add_argument("--min-change", type=float, default=0.02,
                        help="smallest relative change ever flagged (default 0.02)")
    parser.add_argument("--flagged", action="store_true", help="print only the flagged changes")
    args = parser.parse_args(argv)
    old_paths = [Path(p) for p in args.old.split(",") if p]
    new_paths = [Path(p) for p in args.new.split(",") if p]
    old_runs = [json.loads(path.read_text()) for path in old_paths]
    new_runs = [json.loads(path.read_text()) for path in new_paths]
    old, new = collect(old_runs), collect(new_runs)

    print(_side_summary("old", old_paths, old_runs))
    print(_side_summary("new", new_paths, new_runs))
    if len({run.get("mode") for run in old_runs + new_runs}) > 1:
        print("note: quick and full runs mixed; their samples and some cases differ")
    if len(old_runs) < 2 and len(new_runs) < 2:
        print("note: one run a side, so the noise between runs is unknown; "
              "flags rest on the spread within each run and --min-change")
    changes = compare(old, new, args.min_change)
    header = f"{'operation':<12} {'case':<28} {'ratio':<18} {'old':>7} {'new':>7} {'change':>8} {'noise':>7}"
    print(header)
    print("-" * len(header))
    for change in changes:
        if args.flagged and not change.flag:
            continue
        print(f"{change.operation:<12} {change.case:<28} {change.ratio:<18} {change.old:7.3f} {change.new:7.3f} "
              f"{change.delta / change.old:+7.1%} {change.noise / change.old:6.1%}  {change.flag}")
    only_old = sorted({k[:2] for k in old} - {k[:2] for k in new})
    only_new = sorted({k[:2] for k in new} - {k[:2] for k in old})
    for label, keys in (("only in old", only_old), ("only in new", only_new)):
        if keys:
            shown = "; ".join(" ".join(k) for k in keys[:SHOWN_UNMATCHED])
            more = f"; and {len(keys) - SHOWN_UNMATCHED} more" if len(keys) > SHOWN_UNMATCHED else ""
            print(f"{label}: {len(keys)} case(s): {shown}{more}")
    slower = [c for c in changes if c.flag == "SLOWER" and c.ratio.startswith("ours/")]
    faster = [c for c in changes if c.flag == "faster" and c.ratio.startswith("ours/")]
    print(f"\nours: {len(slower)} ratio(s) flagged slower, {len(faster)} faster, of "
          f"{sum(1 for c in changes if c.ratio.startswith('ours/'))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
