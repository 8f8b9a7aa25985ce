"""Draws the plots of `make bench` from the numbers suite.py wrote.

    python bench/python/plot.py bench/results [--cpp bench/results/cpp.json]

Writes PNG (dpi 100, small enough to commit) and SVG beside the numbers:
time_per_op, probes, memory, fill and, with --cpp, cpp_time_per_op (from
the JSON that scripts/bench-cpp.sh has Google Benchmark write).  A section
that suite.py did not run is skipped.
"""

from __future__ import annotations

import argparse
import json
import math
import statistics
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 - the backend is chosen first
from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter  # noqa: E402
from PIL import Image  # noqa: E402 - installed with matplotlib

COLOR = {"dict": "black", "set": "black", "Elastic": "tab:blue", "Funnel": "tab:orange"}
MARKER = {"dict": "o", "set": "o", "Elastic": "s", "Funnel": "^"}
DPI = 100


def family(name: str) -> str:
    for f in ("Elastic", "Funnel"):
        if name.startswith(f):
            return f
    return name


def footer(fig, meta: dict, extra: str = "") -> None:
    run = "quick run" if meta.get("quick") else "full run"
    text = (f"brindle {meta.get('commit', '?')}, {run}, Python {meta.get('python', '?')}, {meta.get('os', '?')},"
            f" {meta.get('cores', '?')} cores, g++ {meta.get('gxx', '?')}, {meta.get('date', '?')}{extra}")
    fig.text(0.5, 0.005, text, ha="center", va="bottom", fontsize=7, color="dimgray")


def save(fig, out: Path, name: str) -> None:
    png = out / f"{name}.png"
    fig.savefig(png, dpi=DPI)
    # A palette of 128 colours is plenty for lines on white, and takes the
    # file to a third of its size, which matters for the committed ones.
    with Image.open(png) as im:
        small = im.convert("RGB").quantize(colors=128)
    small.save(png, optimize=True)
    fig.savefig(out / f"{name}.svg")
    plt.close(fig)
    print(f"plot: {out / name}.png, .svg", file=sys.stderr)


def clock_label(meta: dict) -> str:
    return "CPU time" if meta.get("clock") == "cpu" else "wall time"


def powers_of_ten(ax) -> None:
    ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"$10^{{{round(math.log10(x))}}}$"))
    ax.xaxis.set_minor_formatter(NullFormatter())


# ---- 1: time per operation against N -----------------------------------------------------------

TIME_TITLES = {
    "m[k]": "m[k], present keys",
    "k in m (miss)": "k in m, absent keys",
    "m[k] = v (new)": "m[k] = v, new keys (growth included)",
    "for k in m": "for k in m (per item)",
}


def plot_time(rows: list[dict], meta: dict, out: Path) -> None:
    workloads = list(dict.fromkeys(r["workload"] for r in rows))
    fig, axes = plt.subplots(2, len(workloads), figsize=(4 * len(workloads), 8), sharex=True, squeeze=False)
    for col, w in enumerate(workloads):
        top, bottom = axes[0][col], axes[1][col]
        for kind, style in (("int", "-"), ("str", "--")):
            sel = sorted((r for r in rows if r["workload"] == w and r["keys"] == kind), key=lambda r: r["n"])
            if not sel:
                continue
            ns = [r["n"] for r in sel]
            for i, impl in enumerate(sel[0]["impls"]):
                f = family(impl)
                top.plot(ns, [r["ns"][i] for r in sel], style, marker=MARKER[f], ms=4, color=COLOR[f],
                         label=f"{impl}, {kind} keys")
                if i:
                    bottom.plot(ns, [r["ratio"][i - 1] for r in sel], style, marker=MARKER[f], ms=4,
                                color=COLOR[f])
        top.set_title(TIME_TITLES.get(w, w), fontsize=10)
        plain_log_y(top)
        bottom.axhline(1, color="black", lw=1)
        bottom.set_ylim(0, max(2.0, bottom.get_ylim()[1]))
        for ax in (top, bottom):
            ax.set_xscale("log")
            ax.grid(True, which="major", alpha=0.3)
            powers_of_ten(ax)
        bottom.set_xlabel("N (items in the map)")
    axes[0][0].set_ylabel(f"ns per operation (median, {clock_label(meta)}, log scale)")
    axes[1][0].set_ylabel("brindle / dict, median of the per-round ratios")
    handles, labels = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="upper center", ncol=6, fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0.02, 1, 0.96))
    footer(fig, meta)
    save(fig, out, "time_per_op")


# ---- 1b: the C++ tables against boost and absl ---------------------------------------------------

CPP_STYLE = {
    "boost_flat": ("black", "o", "-"),
    "absl_flat": ("dimgray", "D", "-"),
    "std_unordered": ("silver", "v", "-"),
}


def cpp_styles(containers) -> dict[str, tuple[str, str, str]]:
    """Colour by table, line style by reserve fraction: solid for the
    default, dashed and dotted for the fuller ones."""
    styles = {c: CPP_STYLE[c] for c in containers if c in CPP_STYLE}
    for f in ("elastic", "funnel"):
        ours = sorted((c for c in containers if c.startswith(f + "_d")), key=lambda c: -float(c.split("_d", 1)[1]))
        for c, line in zip(ours, ("-", "--", ":", "-.")):
            styles[c] = (COLOR[f.capitalize()], MARKER[f.capitalize()], line)
    return styles


def plain_log_y(ax) -> None:
    ax.set_yscale("log")
    ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    ax.yaxis.set_major_formatter(FuncFormatter(lambda y, _: f"{y:g}"))
    ax.yaxis.set_minor_formatter(NullFormatter())


def plot_cpp(path: Path, meta: dict, out: Path) -> None:
    runs = json.loads(path.read_text())
    per_op: dict[str, dict[str, list[tuple[int, float]]]] = {}
    for r in runs["benchmarks"]:
        if r.get("run_type") != "iteration" or "items_per_second" not in r:
            continue
        w, container, n = r["name"].split("/")
        # CPU time, as scripts/bench-cpp.sh reports it: the machine is shared.
        per_op.setdefault(w, {}).setdefault(container, []).append((int(n), 1e9 / r["items_per_second"]))
    workloads = list(per_op)
    containers = list(dict.fromkeys(c for w in workloads for c in per_op[w]))
    styles = cpp_styles(containers)
    cols = 3
    rows = math.ceil(len(workloads) / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(13, 1 + 3.8 * rows), sharex=True, squeeze=False)
    lines = {}
    for ax, w in zip(axes.flat, workloads):
        for container, points in per_op[w].items():
            points.sort()
            color, marker, style = styles[container]
            (lines[container],) = ax.plot([p[0] for p in points], [p[1] for p in points], style, marker=marker,
                                          ms=4, color=color, label=container.replace("_d", " δ = "))
        ax.set_xscale("log")
        plain_log_y(ax)
        ax.set_title(w + (" (tables at δ = 0.01 filled to their item limit)" if w.startswith("full") else ""),
                     fontsize=9)
        ax.set_ylabel("ns per operation (CPU time)")
        ax.grid(True, which="major", alpha=0.3)
        powers_of_ten(ax)
    for ax in axes.flat[len(workloads):]:
        ax.set_visible(False)
    for ax in axes[-1]:
        ax.set_xlabel("N")
    fig.legend([lines[c] for c in containers], [lines[c].get_label() for c in containers], loc="upper center",
               ncol=len(containers), fontsize=7, frameon=False, bbox_to_anchor=(0.5, 0.965))
    fig.suptitle("C++: HashMap<uint64_t, uint64_t> over the elastic and funnel tables, against boost, absl and std",
                 fontsize=11)
    fig.tight_layout(rect=(0, 0.02, 1, 0.95))
    ctx = runs.get("context", {})
    footer(fig, meta, f"; Google Benchmark on {ctx.get('num_cpus', '?')} CPUs, {ctx.get('date', '')[:19]}")
    save(fig, out, "cpp_time_per_op")


# ---- 2: probe groups against the reserve fraction ------------------------------------------------


PROBE_TICKS = [0.25, 0.1, 0.05, 0.01, 0.005, 0.001]


def plot_probes(rows: list[dict], meta: dict, out: Path) -> None:
    classes = list(dict.fromkeys(r["cls"] for r in rows))
    fig, axes = plt.subplots(len(classes), 2, figsize=(11, 0.6 + 4 * len(classes)), squeeze=False, sharex=True)
    for row_axes, cls in zip(axes, classes):
        sel = sorted((r for r in rows if r["cls"] == cls), key=lambda r: -r["reserve_fraction"])
        deltas = [r["reserve_fraction"] for r in sel]
        f = family(cls)
        for ax, what, count in zip(row_axes, ("hit", "miss"), ("every present key", "as many absent hash words")):
            avg = [r[f"{what}_avg"] for r in sel]
            worst = [r[f"{what}_max"] for r in sel]
            ax.plot(deltas, worst, "-", marker="s", color=COLOR[f], label="maximum")
            ax.plot(deltas, avg, "-", marker="o", color=COLOR[f], alpha=0.55, label="average")
            # Scaled through the first maximum: only the shape is the paper's.
            d0, y0 = deltas[0], worst[0]
            xs = [d0 * (deltas[-1] / d0) ** (i / 60) for i in range(61)]
            ax.plot(xs, [y0 * math.log(1 / x) / math.log(1 / d0) for x in xs], ":", color="tab:green",
                    label="shape of the paper's elastic worst-case bound, c·log(1/δ)")
            ax.plot(xs, [y0 * (math.log(1 / x) / math.log(1 / d0)) ** 2 for x in xs], "--", color="tab:red",
                    lw=1, label="shape of the paper's funnel worst-case bound, c·log²(1/δ)")
            if d0 not in PROBE_TICKS:
                ax.annotate(f"δ = {d0:g}", (d0, y0), textcoords="offset points", xytext=(0, 8), ha="center",
                            fontsize=7)
            # The curves leave the panel where they outgrow the data by far;
            # what matters is which of them the data follows.
            ax.set_ylim(0, 1.35 * max(worst))
            ax.set_xscale("log")
            ax.set_xlim(0.35, 0.0007)  # fuller tables to the right
            ax.set_xticks(PROBE_TICKS)
            ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:g}"))
            ax.xaxis.set_minor_formatter(NullFormatter())
            ax.set_ylabel("control-byte groups per lookup")
            ax.set_title(f"{cls}: {what}es, {count}" if what == "miss" else f"{cls}: {what}s, {count}",
                         fontsize=10)
            ax.grid(True, which="major", alpha=0.3)
            note = None
            if f == "Funnel" and d0 < max(PROBE_TICKS):
                note = f"funnel classes take δ ≤ 0.125: {d0:g} stands in for 0.25"
            ax.legend(fontsize=7, loc="upper left", title=note, title_fontsize=7)
    for ax in axes[-1]:
        ax.set_xlabel("reserve fraction δ (log scale; fuller tables to the right)")
    n = rows[0]["n"]
    fig.suptitle(f"Groups of 16 control bytes loaded per lookup (probe_stats()), maps made for N = {n:,} items at"
                 " each δ and filled to their capacity;\nthe reference curves are scaled through the first maximum",
                 fontsize=9)
    fig.tight_layout(rect=(0, 0.02, 1, 0.97))
    footer(fig, meta)
    save(fig, out, "probes")


# ---- 3: bytes per item ---------------------------------------------------------------------------


def plot_memory(rows: list[dict], meta: dict, out: Path) -> None:
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5), sharey=True)
    groups = (("maps", ("dict", "ElasticHashMap", "FunnelHashMap")),
              ("sets", ("set", "ElasticHashSet", "FunnelHashSet")))
    for ax, (title, names) in zip(axes, groups):
        for r in rows:
            if r["cls"] not in names:
                continue
            xs, ys = [], []
            for first, last, size in r["steps"]:
                # bytes / n falls smoothly between two growths: a few points
                # per run draw the curve, and the jump joins the runs.
                lo = max(first, r["start"])
                for i in range(9):
                    n = lo * (last / lo) ** (i / 8)
                    xs.append(n)
                    ys.append(size / n)
            f, delta = family(r["cls"]), r["reserve_fraction"]
            style = "--" if delta is not None and delta < 0.1 else "-"
            label = r["cls"] if delta is None else f"{r['cls']}, δ = {delta:g}"
            ax.plot(xs, ys, style, color=COLOR[f], lw=1.2, label=label)
        ax.set_xscale("log")
        ax.set_xlabel("N (items inserted one by one into an empty container)")
        ax.set_title(f"{title}: sys.getsizeof(c) / N (key objects excluded)", fontsize=10)
        ax.grid(True, which="major", alpha=0.3)
        powers_of_ten(ax)
        ax.legend(fontsize=7)
    axes[0].set_ylim(bottom=0)
    axes[0].set_ylabel("bytes per item")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    footer(fig, meta)
    save(fig, out, "memory")


# ---- 4: lookup time against fill -----------------------------------------------------------------


def plot_fill(rows: list[dict], meta: dict, out: Path) -> None:
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5), sharey=True)
    n = rows[0]["n"]
    for ax, what, title in zip(axes, ("hit", "miss"), ("m[k], present keys", "k in m, absent keys")):
        for cls in dict.fromkeys(r["cls"] for r in rows):
            sel = sorted((r for r in rows if r["cls"] == cls), key=lambda r: r["fill"])
            f = family(cls)
            ax.plot([100 * r["fill"] for r in sel], [r[f"{what}_ns"] for r in sel], "-", color=COLOR[f],
                    marker=MARKER[f], ms=4, label=f"{cls}, δ = {sel[0]['reserve_fraction']:g} (capacity "
                                                  f"{sel[0]['capacity']:,})")
        # Each row timed a dict of the same keys in the same rounds; their
        # median is the line, so that it shares the rounds' conditions.
        lens = [r["len"] for r in rows]
        ax.axhline(statistics.median(r[f"{what}_dict_ns"] for r in rows), color="black", ls="--", lw=1,
                   label=f"dict, median of the same rounds ({min(lens):,} to {max(lens):,} keys)")
        ax.set_xlabel("items as a share of capacity (%)")
        ax.set_title(f"{title}; made for N = {n:,}, int keys", fontsize=10)
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=7, loc="lower left")
    axes[0].set_ylim(bottom=0)
    axes[0].set_ylabel(f"ns per lookup (median, {clock_label(meta)})")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    footer(fig, meta)
    save(fig, out, "fill")


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("results", type=Path, help="the directory suite.py wrote python.json to; plots go there too")
    p.add_argument("--cpp", type=Path, help="Google Benchmark JSON of scripts/bench-cpp.sh")
    args = p.parse_args(argv)
    data = json.loads((args.results / "python.json").read_text())
    meta = data["meta"]
    if data.get("time"):
        plot_time(data["time"], meta, args.results)
    if data.get("probes"):
        plot_probes(data["probes"], meta, args.results)
    if data.get("memory"):
        plot_memory(data["memory"], meta, args.results)
    if data.get("fill"):
        plot_fill(data["fill"], meta, args.results)
    if args.cpp:
        plot_cpp(args.cpp, meta, args.results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
