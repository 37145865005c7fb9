"""Draws the figures of a bench/measure.py run (its --json file) as PNG files.

usage: plot.py RESULTS.json OUT_DIR

  OUT_DIR/bench-size.png      wall time and peak RSS against the attachment's size, SEND and
                              GET, log axes, one line per tool (TLS dashed)
  OUT_DIR/bench-messages.png  GET time against the number of marked messages, and the time
                              per message (flat = linear cost)
A figure whose data the run did not measure is not drawn (and an older one of that name is
removed). Needs python3-matplotlib.
"""
import json
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")  # no display here
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter, NullFormatter  # noqa: E402

COLOURS = {"zanpost": "#c0392b", "mpack": "#2471a3", "fetchmail": "#2471a3", "python": "#7f8c8d",
           "zanpost-imap": "#e67e22", "fetchmail-imap": "#16a085"}
MARKERS = {"zanpost": "o", "mpack": "s", "fetchmail": "s", "python": "^", "zanpost-imap": "D", "fetchmail-imap": "v"}


def plain_number(value, _pos):
    return f"{value:g}"


def incomplete(data):
    return ", INCOMPLETE: stopped at a failed check" if data.get("incomplete") else ""


def series(results, job, tls, tool, field, unit):
    points = sorted((r["amount"], r[field]) for r in results
                    if r["unit"] == unit and r["job"] == job and r["tls"] == tls and r["tool"] == tool
                    and field in r)
    return [p[0] for p in points], [p[1] for p in points]


def lines_of(results, unit, job):
    """(tls, tool, label) of every line to draw, in the order the run measured them."""
    seen = []
    for r in results:
        key = (r["tls"], r["tool"])
        if r["unit"] == unit and r["job"] == job and key not in [(t, k) for t, k, _ in seen]:
            seen.append((r["tls"], r["tool"], r["label"]))
    return seen


def draw(ax, results, unit, job, field, ylabel, title):
    for tls, tool, label in lines_of(results, unit, job):
        x, y = series(results, job, tls, tool, field, unit)
        if not x:
            continue
        ax.plot(x, y, label=label, color=COLOURS.get(tool, "black"), marker=MARKERS.get(tool, "x"),
                linestyle="--" if tls else "-", linewidth=2.2 if tool == "zanpost" else 1.4,
                markersize=6, markerfacecolor="white" if tls else None)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.xaxis.set_major_formatter(FuncFormatter(plain_number))
    ax.xaxis.set_minor_formatter(NullFormatter())
    ax.yaxis.set_major_formatter(FuncFormatter(plain_number))
    # Within less than two decades the minor ticks carry the scale, so they get numbers too.
    low, high = ax.get_ylim()
    ax.yaxis.set_minor_formatter(FuncFormatter(plain_number) if high / low < 100 else NullFormatter())
    ax.set_ylabel(ylabel)
    ax.set_title(title, fontsize=11)
    ax.grid(True, which="major", alpha=0.35)
    ax.grid(True, which="minor", alpha=0.12)


def size_figure(data, out):
    results = [r for r in data["results"] if r["unit"] == "MiB"]
    if not results:
        return None
    sizes = sorted({r["amount"] for r in results})
    fig, axes = plt.subplots(2, 2, figsize=(11, 8.5), constrained_layout=True)
    for row, job in enumerate(("SEND", "GET")):
        draw(axes[row][0], results, "MiB", job, "wall", "wall time, s", f"{job}: wall time")
        draw(axes[row][1], results, "MiB", job, "rss_mib", "peak RSS, MiB", f"{job}: peak RSS")
        for ax in axes[row]:
            ax.set_xticks(sizes)
            ax.set_xlabel("attachment, MiB")
        axes[row][0].legend(fontsize=8, loc="upper left")
    fig.suptitle(f"ZanPost and its peers against local OpenSMTPD + Dovecot, {data['date']} "
                 f"(TLS dashed){incomplete(data)}", fontsize=12)
    path = out / "bench-size.png"
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path


def messages_figure(data, out):
    results = [r for r in data["results"] if r["unit"] == "messages"]
    if not results:
        return None
    counts = sorted({r["amount"] for r in results})
    per_message = [dict(r, per_ms=1000 * r["wall"] / r["amount"]) for r in results if "wall" in r]
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.6), constrained_layout=True)
    draw(axes[0], results, "messages", "GET", "wall", "wall time, s", "GET: wall time")
    draw(axes[1], per_message, "messages", "GET", "per_ms", "wall time per message, ms",
         "GET: time per message (flat = linear)")
    for ax in axes:
        ax.set_xticks(counts)
        ax.set_xlabel("marked messages (2 KB text + 20 KB file each)")
    axes[0].legend(fontsize=8, loc="upper left")
    fig.suptitle(f"GET of many messages, {data['date']}{incomplete(data)}", fontsize=12)
    path = out / "bench-messages.png"
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    data = json.loads(pathlib.Path(sys.argv[1]).read_text())
    out = pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    for name, figure in (("bench-size.png", size_figure), ("bench-messages.png", messages_figure)):
        path = figure(data, out)
        if path:
            print(f"wrote {path}")
        elif (out / name).exists():
            # An older run's figure beside this run's would pass for this run's.
            (out / name).unlink()
            print(f"removed {out / name}: this run did not measure it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
