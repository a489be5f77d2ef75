#!/usr/bin/env python3
"""Assembles the JSON lines the benchmarks appended (bench/report.h) into one
results file, prints the table and draws the chart of the ratios.

    report.py LINES RESULTS_JSON CHART_PNG [key=value ...]

The key=value pairs describe the run (mode, load, machine) and go into the
results file as they are.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile


def goal_text(row):
    if row.get("goal") is None:
        return ""
    return "%s %.2f" % (row["goal_op"], row["goal"])


def ratio_text(row):
    ratio = row.get("ratio")
    if ratio is None:
        return "n/a"
    return "%.3f" % ratio if row["orientation"] == "memory" else "%.2f" % ratio


def figure_text(value, unit):
    if value is None:
        return "n/a"
    if unit == "bytes":
        return "%.1f MB" % (value / 1e6)
    return "%.1f %s" % (value, unit) if value >= 10 else "%.3f %s" % (value, unit)


ORIENTATION = {
    "throughput": "library rate / reference rate, higher is better",
    "time": "library time / reference time, lower is better",
    "memory": "peak RSS growth / bytes moved, lower is better",
}


def print_table(rows, run):
    print()
    print("VESK80 hot paths against their yardsticks (%s run, %s)"
          % (run.get("mode", "?"), run.get("date", "")))
    header = ("hot path", "against", "library", "reference", "ratio", "kind",
              "goal", "")
    widths = [36, 28, 12, 12, 7, 10, 7, 6]
    line = "  ".join(h.ljust(w) for h, w in zip(header, widths))
    print(line.rstrip())
    print("-" * len(line.rstrip()))
    for row in rows:
        met = row.get("met")
        cells = (row["path"], row["reference"],
                 figure_text(row["library"], row["unit"]),
                 figure_text(row["yardstick"], row["unit"]), ratio_text(row),
                 row["orientation"], goal_text(row),
                 "" if met is None else ("met" if met else "MISSED"))
        print("  ".join(str(c).ljust(w) for c, w in zip(cells, widths)).rstrip())
    print()
    for kind, meaning in ORIENTATION.items():
        print("  %-10s ratio = %s" % (kind, meaning))
    missed = [r for r in rows if r.get("met") is False]
    goals = [r for r in rows if r.get("met") is not None]
    print("  goals met: %d of %d%s" % (
        len(goals) - len(missed), len(goals),
        "" if not missed else "; missed: " +
        ", ".join("%s vs %s" % (r["path"], r["reference"]) for r in missed)))


def label(row):
    return "%s vs %s" % (row["path"], row["reference"])


def color(row):
    met = row.get("met")
    return 0x2CA02C if met else 0xD62728 if met is False else 0x7F7F7F


def write_data(path, rows):
    with open(path, "w") as out:
        for i, row in enumerate(rows):
            goal = row["goal"] if row.get("goal") is not None else "NaN"
            note = ("%s [%s]" % (label(row), goal_text(row))
                    if row.get("goal") is not None else label(row))
            out.write('%d "%s" %s %s %d %s\n' % (
                i, note.replace('"', "'"), repr(row["ratio"]), goal,
                color(row), ratio_text(row)))


def draw_chart(rows, chart, run):
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        print("(no gnuplot: no chart)")
        return
    speed = [r for r in rows if r["orientation"] != "memory"
             and r.get("ratio") is not None]
    memory = [r for r in rows if r["orientation"] == "memory"
              and r.get("ratio") is not None and r["ratio"] > 0]
    terminals = subprocess.run([gnuplot, "-e", "set terminal"],
                               capture_output=True, text=True)
    listing = terminals.stdout + terminals.stderr
    terminal = "pngcairo" if "pngcairo" in listing else "png"
    with tempfile.TemporaryDirectory() as scratch:
        speed_data = os.path.join(scratch, "speed.dat")
        memory_data = os.path.join(scratch, "memory.dat")
        write_data(speed_data, speed)
        write_data(memory_data, memory)
        top = max([r["ratio"] for r in speed] +
                  [r["goal"] for r in speed if r.get("goal")] + [1.0])
        height = 180 + 34 * (len(speed) + len(memory))
        bars = """
plot '{data}' using ($3/2):1:($3/2):(0.35):5:ytic(2) with boxxyerror \\
       lc rgb variable notitle, \\
     '' using 4:($1-0.45):(0):(0.9) with vectors nohead lw 3 lc rgb 'black' \\
       title 'goal', \\
     '' using 3:1:6 with labels left offset 0.6,0 notitle
"""
        # On the log scale the bars start at the left edge, 0.001.
        memory_bars = """
plot '{data}' using 3:1:(0.001):3:($1-0.35):($1+0.35):5:ytic(2) \\
       with boxxyerror lc rgb variable notitle, \\
     '' using 4:($1-0.45):(0):(0.9) with vectors nohead lw 3 lc rgb 'black' \\
       title 'goal', \\
     '' using 3:1:6 with labels left offset 0.6,0 notitle
"""
        script = """
set terminal {terminal} size 1400,{height} font ",10"
set output '{chart}'
set termoption noenhanced
set lmargin 62
set rmargin 4
set style fill solid 0.75 border -1
set key top right
set grid xtics
set yrange [-0.7:*] reverse
set offsets 0,0,0.2,0.2
set multiplot title "VESK80 against its yardsticks ({mode} run, {date}): green met, red missed, grey no goal"
set size 1,{speed_share}
set origin 0,{memory_share}
set tmargin 4
set title "speed: time ratios (lower is better) and throughput ratios (higher is better), goal marked"
set xrange [0:{xmax}]
{speed_plot}
set size 1,{memory_share}
set origin 0,0
set tmargin 2
set title "memory: peak RSS growth / bytes moved (log scale, lower is better)"
set logscale x
set xrange [0.001:100]
{memory_plot}
unset multiplot
""".format(terminal=terminal, height=height, chart=chart,
           mode=run.get("mode", ""), date=run.get("date", ""),
           xmax=top * 1.25,
           speed_share=(len(speed) + 2.0) / (len(speed) + len(memory) + 4.0),
           memory_share=(len(memory) + 2.0) / (len(speed) + len(memory) + 4.0),
           speed_plot=bars.format(data=speed_data),
           memory_plot=memory_bars.format(data=memory_data))
        script_path = os.path.join(scratch, "chart.gp")
        with open(script_path, "w") as out:
            out.write(script)
        done = subprocess.run([gnuplot, script_path], capture_output=True,
                              text=True)
        if done.returncode != 0:
            print("gnuplot failed:\n" + done.stderr)
            return
    print("  chart: %s" % chart)


def main():
    lines, results, chart = sys.argv[1:4]
    run = dict(item.split("=", 1) for item in sys.argv[4:])
    rows = []
    with open(lines) as source:
        for text in source:
            text = text.strip()
            if text:
                rows.append(json.loads(text))
    with open(results, "w") as out:
        goals = [r for r in rows if r.get("met") is not None]
        summary = {
            "goals": len(goals),
            "met": sum(1 for r in goals if r["met"]),
            "missed": [label(r) for r in goals if not r["met"]],
        }
        json.dump({"run": run, "summary": summary, "rows": rows}, out,
                  indent=2, ensure_ascii=False)
        out.write("\n")
    print_table(rows, run)
    print("  results: %s" % results)
    draw_chart(rows, chart, run)


if __name__ == "__main__":
    main()
