"""Charts of a benchmark run: each implementation's time as a multiple of the limit.

    .venv/bin/python bench/chart.py results.json bench/results.png

Reads the JSON of bench_codecs.py --json (a full run, for the README) and
draws one chart per operation that has a limit (or, for the JSON of
bench_png_writer.py, the size and time of each PNG writer as multiples of
Pillow's), on a log axis (each ratio
paired within rounds where the JSON has the samples, see compare.py): synthetic
images on the left, one column per case; photographs on the right, one
column per implementation with a dot per photograph and its median marked.
The title carries the run's date, machine and versions. Needs matplotlib
(the `bench` extra).
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from compare import case_ratio  # noqa: E402

OPERATION_TITLES = {
    "png_decode": "PNG decode (limit: read the file, one zlib.decompress)",
    "png_encode": "PNG encode (limit: filter-0 rows, one zlib.compress, one write)",
    "bmp_decode": "BMP decode (limit: read the file, numpy copies per channel)",
    "bmp_encode": "BMP encode (limit: numpy copies per channel, one write)",
}
# Plotted in this order, each with its own colour and marker; the limit is
# the line at 1, and limit-dflt (the limit with zlib's default buffer) is
# left out as a detail of the limit itself.
STYLES = {
    "ours": ("#d62728", "o"),
    "ours-zlib": ("#e377c2", "o"),
    "quorvel": ("#d62728", "o"),
    "quorvel-opt": ("#ff7f0e", "o"),
    "pyspng": ("#1f77b4", "s"),
    "opencv": ("#2ca02c", "^"),
    "pillow": ("#9467bd", "D"),
    "pypng": ("#8c564b", "v"),
    "limit-simd": ("#7f7f7f", "x"),
}
LEFT_OUT = {"limit", "limit-dflt"}
# The axis stops here so that the codecs near the limit stay apart; pure
# Python (pypng) takes ten to hundreds of times the limit and is drawn on
# the top edge with its value written beside it.
AXIS_TOP = 5.0


def chart_data(run: dict) -> dict[str, dict[str, list]]:
    """Per operation with a limit: "synthetic", a list of (case name,
    {implementation: time / limit}), and "photo", {implementation: [time /
    limit per photograph]}."""
    data: dict[str, dict[str, list]] = {}
    for case in run["cases"]:
        medians = case["median_ns"]
        limit = medians.get("limit")
        if case["operation"] not in OPERATION_TITLES or not limit:
            continue
        ratios = {name: case_ratio(case, name, "limit") for name in medians if name not in LEFT_OUT}
        groups = data.setdefault(case["operation"], {"synthetic": [], "photo": {}})
        if case["case"].startswith("photo "):
            for name, ratio in ratios.items():
                groups["photo"].setdefault(name, []).append(ratio)
        else:
            groups["synthetic"].append((case["case"], ratios))
    return {op: data[op] for op in OPERATION_TITLES if op in data}


def _ordered(names) -> list[str]:
    known = [n for n in STYLES if n in names]
    return known + sorted(set(names) - set(STYLES))


def _style(name: str) -> tuple[str, str]:
    return STYLES.get(name, ("#17becf", "P"))


def _case_label(name: str) -> str:
    # "synth 4096x3072 graphics" -> "4096x3072\ngraphics"
    parts = name.removeprefix("synth ").split(" ", 1)
    return "\n".join(parts)


def _scatter(axis, xs: list[float], ys: list[float], top: float, name: str, size: float, alpha: float = 1.0) -> None:
    colour, marker = _style(name)
    inside = [(x, y) for x, y in zip(xs, ys) if y <= top]
    if inside:
        axis.scatter(*zip(*inside), color=colour, marker=marker, s=size, alpha=alpha, zorder=3)
    for x, y in zip(xs, ys):
        if y > top:
            axis.scatter([x], [top], color=colour, marker=marker, s=size, zorder=3, clip_on=False)
            axis.annotate(f"{y:.0f}x", (x, top), xytext=(0, -11), textcoords="offset points",
                          ha="center", fontsize=7, color=colour)


def subtitle(run: dict) -> str:
    versions = run.get("versions", {})
    shown = ", ".join(f"{k} {v}" for k, v in versions.items() if k not in ("Quorvel", "numpy"))
    load = run.get("load_average")
    if load:
        shown += f"; load average {load['before'][0]:.1f} at the start, {load['after'][0]:.1f} at the end"
    return (f"{run.get('benchmark', 'bench_codecs.py')} {run.get('mode', '')} run, {run.get('date', 'date unknown')[:10]}; "
            f"{run.get('machine', 'machine unknown')}\n{shown}")


def draw(run: dict, out: Path) -> None:
    data = chart_data(run)
    if not data:
        raise ValueError("no case with a limit in this run")
    rows = {OPERATION_TITLES[operation]: ("time / limit", groups) for operation, groups in data.items()}
    draw_rows(run, rows, out, "limit (1x)",
              "time of each implementation divided by the limit's in the same round, median over the rounds; "
              "lower is faster; ")


def draw_rows(run: dict, rows: dict[str, tuple[str, dict[str, list]]], out: Path, reference: str,
              footnote: str) -> None:
    """One row of charts per title: (y label, groups as chart_data gives
    them), ratios on a log axis with the reference at 1."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, NullFormatter, NullLocator

    data = {title: groups for title, (_, groups) in rows.items()}
    synthetic_columns = max(len(g["synthetic"]) for g in data.values()) or 1
    photo_columns = max(len(g["photo"]) for g in data.values())
    # Without photographs (the reader's kinds of file) the cases take the whole width.
    figure, axes = plt.subplots(
        len(data), 2 if photo_columns else 1, figsize=(13, 3.2 * len(data) + 1.0), squeeze=False,
        gridspec_kw={"width_ratios": [max(synthetic_columns, 4), max(photo_columns, 3) * 0.9][: 2 if photo_columns else 1]},
    )
    every_name: set[str] = set()
    ticks = [0.01, 0.02, 0.05, 0.1, 0.2, 0.3, 0.5, 0.7, 1, 1.5, 2, 3, 5, 10, 20, 50, 100, 200, 500]
    for row, (title, groups) in enumerate(data.items()):
        left = axes[row][0]
        values = [r for _, ratios in groups["synthetic"] for r in ratios.values()]
        values += [r for rs in groups["photo"].values() for r in rs]
        low = min(values + [1.0]) / 1.25
        high = min(max(values + [1.0]) * 1.25, AXIS_TOP)
        for axis in axes[row]:
            axis.set_yscale("log")
            axis.set_ylim(low, high)
            axis.yaxis.set_major_locator(FixedLocator([t for t in ticks if low <= t <= high]))
            axis.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}x"))
            axis.yaxis.set_minor_locator(NullLocator())
            axis.yaxis.set_minor_formatter(NullFormatter())
            axis.axhline(1.0, color="black", linewidth=1.2, zorder=1)
            axis.grid(axis="y", color="#dddddd", linewidth=0.8, zorder=0)
        left.set_ylabel(rows[title][0])
        left.set_title(f"{title}: {'in all' if 'label' in groups else 'synthetic images'}" if photo_columns else title,
                       loc="left", fontsize=10)

        names = _ordered({n for _, ratios in groups["synthetic"] for n in ratios})
        every_name.update(names)
        width = 0.8 / max(len(names), 1)
        for index, name in enumerate(names):
            xs, ys = [], []
            for column, (_, ratios) in enumerate(groups["synthetic"]):
                if name in ratios:
                    xs.append(column - 0.4 + width * (index + 0.5))
                    ys.append(ratios[name])
            _scatter(left, xs, ys, high, name, 36)
        left.set_xticks(range(len(groups["synthetic"])))
        left.set_xticklabels([_case_label(n) for n, _ in groups["synthetic"]], fontsize=8)
        left.set_xlim(-0.6, max(len(groups["synthetic"]), 1) - 0.4)

        if not photo_columns:
            continue
        right = axes[row][1]
        label = groups.get("label", "photographs")
        right.set_title(f"{label} ({len(next(iter(groups['photo'].values()), []))})", loc="left", fontsize=10)
        photo_names = _ordered(groups["photo"])
        every_name.update(photo_names)
        for column, name in enumerate(photo_names):
            colour, _ = _style(name)
            ratios = groups["photo"][name]
            middle = statistics.median(ratios)
            if middle > high:
                _scatter(right, [column], [middle], high, name, 36)
                continue
            spread = 0.5 / max(len(ratios), 1)
            xs = [column - 0.25 + spread * (i + 0.5) for i in range(len(ratios))]
            _scatter(right, xs, ratios, high, name, 14, alpha=0.6)
            right.hlines(middle, column - 0.32, column + 0.32, color=colour, linewidth=2.2, zorder=4)
            right.annotate(f"{middle:.2f}", (column + 0.34, middle), fontsize=8, va="center", color=colour,
                           zorder=5, bbox={"facecolor": "white", "edgecolor": "none", "pad": 0.6, "alpha": 0.85})
        right.set_xticks(range(len(photo_names)))
        right.set_xticklabels(photo_names, fontsize=9)
        right.set_xlim(-0.6, max(len(photo_names), 1) - 0.2)
        right.tick_params(labelleft=True)

    handles = []
    for name in _ordered(every_name):
        colour, marker = _style(name)
        handles.append(plt.Line2D([], [], color=colour, marker=marker, linestyle="", markersize=7, label=name))
    handles.append(plt.Line2D([], [], color="black", linewidth=1.2, label=reference))
    height = figure.get_figheight()
    figure.suptitle(subtitle(run), fontsize=9, y=1 - 0.08 / height, va="top")
    figure.legend(handles=handles, loc="upper center", ncol=len(handles), frameon=False,
                  bbox_to_anchor=(0.5, 1 - 0.45 / height), fontsize=9)
    photographs = "photographs: one dot each, bar at the median; " if photo_columns else ""
    figure.text(0.995, 0.005, footnote + photographs +
                f"past {AXIS_TOP:g}x: on the top edge, value below",
                ha="right", va="bottom", fontsize=8, color="#555555")
    figure.tight_layout(rect=(0, 0.015, 1, 1 - 0.5 / height))
    figure.savefig(out, dpi=90)
    plt.close(figure)


# ---------------------------------------------------------------- PNG writing
# Runs of bench_png_writer.py: each writer's file size and time as multiples
# of Pillow's default save (the optimising mode's of Pillow's optimize=True),
# where Quorvel's targets are a size of at most 1x and a time of at most
# 0.8x (below 1x when optimising).


def png_writer_data(run: dict) -> dict[str, dict[str, list]]:
    """"size" and "time", each grouped as chart_data groups a case's ratios:
    per implementation its ratio to its Pillow reference; and where the run
    has small images ("small ..." cases), "small size" and "small time": one
    dot per small image, and the ratio of the sums in all on the left."""
    data: dict[str, dict[str, list]] = {"size": {"synthetic": [], "photo": {}},
                                        "time": {"synthetic": [], "photo": {}}}
    small = [case for case in run["cases"] if case["case"].startswith("small ")]
    if small:
        for quantity in ("size", "time"):
            data[f"small {quantity}"] = {"synthetic": [], "photo": {}, "label": "small images"}
    for case in run["cases"]:
        for quantity in ("size", "time"):
            ratios = {pair.split("/")[0]: values[quantity] for pair, values in case["ratios"].items()}
            groups = data[f"small {quantity}" if case in small else quantity]
            if case["case"].startswith(("photo ", "small ")):
                for name, ratio in ratios.items():
                    groups["photo"].setdefault(name, []).append(ratio)
            else:
                groups["synthetic"].append((case["case"], ratios))
    if small:
        for quantity, field in (("size", "bytes"), ("time", "median_ns")):
            sums = {name: sum(case[field].get(name, 0) for case in small) for name in small[0][field]}
            data[f"small {quantity}"]["synthetic"].append(("in all", {
                name: total / sums["pillow-opt" if name.endswith("-opt") else "pillow"]
                for name, total in sums.items() if not name.startswith("pillow") and name != "pypng"}))
    return data


def draw_png_writer(run: dict, out: Path) -> None:
    data = png_writer_data(run)
    titles = {"size": "PNG writing, file size", "time": "PNG writing, time",
              "small size": "PNG writing, small images, file size", "small time": "PNG writing, small images, time"}
    # A run of the small images alone (--small) has no other rows.
    rows = {title: (f"{key.split()[-1]} / Pillow's", data[key]) for key, title in titles.items()
            if key in data and (data[key]["synthetic"] or data[key]["photo"])}
    draw_rows(run, rows, out, "Pillow (1x)",
              "size and time divided by Pillow's default save (quorvel-opt: by Pillow's optimize=True); "
              "times within the same round, median over the rounds; ")


# ---------------------------------------------------------------- the reader
# Runs of bench_reader.py: each implementation's time as a multiple of
# Pillow's, one row per format and size, one column per kind of file.


def reader_data(run: dict) -> dict[str, dict[str, list]]:
    """Per "PNG 1536x1024" and the like, the kinds in "synthetic" as
    chart_data groups them (ratios to Pillow) and no photographs."""
    data: dict[str, dict[str, list]] = {}
    for case in run["cases"]:
        if "pillow" not in case["median_ns"]:
            continue
        # "png palette 8 1536x1024": format, kind, size
        file_format, rest = case["case"].split(" ", 1)
        kind, size = rest.rsplit(" ", 1)
        ratios = {name: case_ratio(case, name, "pillow") for name in case["median_ns"] if name != "pillow"}
        title = f"{file_format.upper()} read, {size}"
        data.setdefault(title, {"synthetic": [], "photo": {}})["synthetic"].append((kind, ratios))
    return data


def draw_reader(run: dict, out: Path) -> None:
    rows = {title: ("time / Pillow's", groups) for title, groups in reader_data(run).items()}
    draw_rows(run, rows, out, "Pillow (1x)",
              f"{run.get('clock', 'wall time')} of each reader divided by Pillow's open + convert(\"RGB\") in "
              "the same round, median over the rounds; lower is faster; ")


DRAWERS = {"bench_png_writer.py": draw_png_writer, "bench_reader.py": draw_reader}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("results", type=Path, help="JSON written by bench_codecs.py, bench_png_writer.py or bench_reader.py --json")
    parser.add_argument("out", type=Path, help="PNG file to write")
    args = parser.parse_args(argv)
    run = json.loads(args.results.read_text())
    DRAWERS.get(run.get("benchmark"), draw)(run, args.out)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
