#!/usr/bin/env python3
"""Runs every veltonet workload against the raw epoll baseline and libzmq, in one run.

Each workload case runs REPS times per contender, the contenders interleaved (a different one
first in each repetition) so that a slow moment of the machine does not fall on one of them.
Writes results.json (every sample, medians, spreads, ratios, targets), ratios.dat and
ratios.png (gnuplot) into the output folder, and prints the table and the chart.

Standard library only.
"""

import argparse
import json
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

CONTENDERS = ["velto", "raw", "zmq"]
NAMES = {"velto": "veltonet", "raw": "raw", "zmq": "zmq"}

# CPU placement of the measuring process and its peer (the programs' --pin): 0 leaves it to
# the scheduler, 1 gives each side a core of its own, 2 puts both on CPU 0. Each contender
# gets the placement it does best with on two cores: veltonet and raw are single-threaded and
# do best where the scheduler puts them, above all when other work shares the machine; zmq
# hands every message between its application thread and its I/O thread, which costs it less
# with both threads on one core (each of its processes on a core of its own).
THROUGHPUT_PLACEMENT = {"velto": 0, "raw": 0, "zmq": 1}


def metric(key, label, unit, better, headline=False, derive=None, contenders=None,
           columns=None):
    """One figure read from a run's result: key is a dotted path, or derive(result).

    columns maps a table column (velto, raw, zmq) to the runs that fill it, when those are a
    variant of the case rather than the plain contender."""
    return {"key": key, "label": label, "unit": unit, "better": better, "headline": headline,
            "derive": derive, "contenders": contenders or CONTENDERS, "columns": columns or {}}


def cpu_ns_per_message(result):
    rate = result.get("msgs_per_s") or 0
    return result.get("cpu_busy", 0) * 1e9 / rate if rate else None


def cpu_ns_per_delivery(result):
    cpu = dig(result, "publisher.cpu_seconds")
    delivered = dig(result, "publisher.subscribers.delivered")
    return cpu * 1e9 / delivered if cpu is not None and delivered else None


def cpu_ns_per_packet(result):
    rate = result.get("packets_per_s") or 0
    return result.get("cpu_busy", 0) * 1e9 / rate if rate else None


def fanout_cases():
    cases = []
    deliveries = 4_000_000
    for n in (1, 10, 100):
        target = None
        if n in (10, 100):
            target = {"vs": "zmq", "op": ">=", "value": 2.0,
                      "text": ">= 2x zmq, zero drops", "zero_drops": True}
        cases.append({
            "workload": "fan-out", "case": f"N={n}", "program": "velto-bench-fanout",
            "args": {"n": n, "count": deliveries // n, "seconds": 10},
            "pin": THROUGHPUT_PLACEMENT,
            "variants": {"zmq lossless": ("zmq", ["--lossless", "1"])},
            "metrics": [
                metric("publisher.subscribers.deliveries_per_s", "deliveries/s", "/s", "higher",
                       headline=True),
                metric("publisher.subscribers.dropped", "dropped", "msgs", "lower"),
                metric("publisher.subscribers.deliveries_per_s",
                       "deliveries/s, zmq lossless", "/s", "higher", headline=True,
                       columns={"zmq": "zmq lossless"}),
                metric(None, "publisher CPU ns/delivery", "ns", "lower",
                       derive=cpu_ns_per_delivery),
            ],
            "targets": dict(
                {"deliveries/s": target, "deliveries/s, zmq lossless": target} if target else {},
                **({"publisher CPU ns/delivery": {"vs": "raw", "op": "<=", "value": 1.5,
                                                  "text": "<= 1.5x raw"}} if n == 100 else {})),
            "note": "zmq's PUB drops at its default high-water mark what the subscribers "
                    "cannot take, and its deliveries/s counts what arrived; 'zmq lossless' is "
                    "an XPUB with ZMQ_XPUB_NODROP, whose send waits instead",
        })
    return cases


def all_cases():
    stream = []
    for size, count in ((64, 10_000_000), (512, 3_000_000)):
        stream.append({
            "workload": "stream", "case": f"{size} B", "program": "velto-bench-stream",
            "args": {"size": size, "count": count, "seconds": 8},
            "pin": THROUGHPUT_PLACEMENT,
            "metrics": [
                metric("msgs_per_s", "msgs/s", "/s", "higher", headline=True),
                metric("mb_per_s", "MB/s", "MB/s", "higher"),
                metric(None, "receiver CPU ns/msg", "ns", "lower", derive=cpu_ns_per_message),
            ],
            "targets": dict({"msgs/s": {"vs": "raw", "op": ">=", "value": 0.9,
                                        "text": ">= 0.9x raw, >= 2x zmq",
                                        "also": {"vs": "zmq", "op": ">=", "value": 2.0}}},
                            **({"receiver CPU ns/msg": {"vs": "raw", "op": "<=", "value": 1.25,
                                                        "text": "<= 1.25x raw"}}
                               if size == 64 else {})),
        })
    roundtrip = [{
        "workload": "round trip", "case": "64 B", "program": "velto-bench-roundtrip",
        "args": {"count": 100_000, "warmup": 1000, "seconds": 60}, "pin": 2,
        "metrics": [
            metric("latency.p50_us", "p50 us", "us", "lower", headline=True),
            metric("latency.p99_us", "p99 us", "us", "lower"),
            metric("latency.p999_us", "p99.9 us", "us", "lower"),
        ],
        "targets": {"p50 us": {"vs": "raw", "op": "<=", "value": 1.2,
                               "text": "<= 1.2x raw, < zmq",
                               "also": {"vs": "zmq", "op": "<", "value": 1.0}}},
        "note": "both processes on CPU 0: the software path, without a cross-CPU wake-up",
    }]
    sequenced = [{
        "workload": "sequenced", "case": "1% loss", "program": "velto-bench-sequenced",
        "args": {"packets": 100_000, "seconds": 8}, "pin": THROUGHPUT_PLACEMENT,
        "metrics": [
            metric("packets_per_s", "packets/s", "/s", "higher", headline=True),
            metric(None, "receiver CPU ns/packet", "ns", "lower", derive=cpu_ns_per_packet),
            metric("repair.p50_us", "gap-to-repair p50 us", "us", "lower",
                   contenders=["velto", "raw"]),
            metric("repair.p99_us", "gap-to-repair p99 us", "us", "lower",
                   contenders=["velto", "raw"]),
        ],
        "targets": {"receiver CPU ns/packet": {"vs": "raw", "op": "<=", "value": 1.3,
                                               "text": "<= 1.3x raw"}},
        "note": "zmq: PUSH/PULL over TCP with the same packets; nothing is lost, so nothing "
                "is repaired (libzmq has no sequenced datagram transport in its stable API)",
    }]
    connections = []
    for n in (1000, 10000):
        connections.append({
            "workload": "connections", "case": f"{n} idle", "program": "velto-bench-connections",
            "args": {"n": n, "seconds": 30}, "pin": THROUGHPUT_PLACEMENT,
            "metrics": [
                metric("rss_per_connection", "RSS B/conn", "B", "lower", headline=True),
                metric("accepts_per_s", "accepts/s", "/s", "higher", headline=True),
                metric("vm_per_connection", "address space B/conn", "B", "lower"),
            ],
            "targets": {"RSS B/conn": {"absolute": "<=", "value": 9216, "text": "<= 9 KiB"},
                        "accepts/s": {"vs": "raw", "op": ">=", "value": 0.8,
                                      "text": ">= 0.8x raw"}},
            "note": "user memory of the listening process (kernel socket memory apart); "
                    "clients keep at most 4 connections unaccepted",
        })
    return stream + fanout_cases() + roundtrip + sequenced + connections


def dig(result, key):
    value = result
    for part in key.split("."):
        if not isinstance(value, dict) or part not in value:
            return None
        value = value[part]
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def summarize(samples):
    values = [v for v in samples if v is not None and math.isfinite(v)]
    if not values:
        return None
    median = statistics.median(values)
    low, high = min(values), max(values)
    spread = (high - low) / median if median else 0.0
    return {"median": median, "min": low, "max": high, "spread": spread, "samples": values}


def run_program(path, role_args, timeout, env):
    started = time.time()
    try:
        done = subprocess.run([path, "run", *role_args], capture_output=True, text=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return None, f"timed out after {timeout} s", time.time() - started
    for line in done.stdout.splitlines():
        if line.startswith("RESULT "):
            try:
                return json.loads(line[7:]), None, time.time() - started
            except json.JSONDecodeError as error:
                return None, f"bad result line: {error}", time.time() - started
    tail = (done.stderr or "").strip().splitlines()[-3:]
    return None, f"exit {done.returncode}: {' | '.join(tail)}", time.time() - started


def run_case(case, bindir, reps, env, log):
    program = os.path.join(bindir, case["program"])
    args = []
    for key, value in case["args"].items():
        args += [f"--{key}", str(value)]
    timeout = case["args"].get("seconds", 10) * 2 + 60
    # Run keys: the contenders, then the case's variants (a contender with more arguments).
    variants = {c: (c, []) for c in CONTENDERS}
    variants.update(case.get("variants", {}))
    keys = list(variants)
    runs = {k: [] for k in keys}
    errors = {k: [] for k in keys}
    for rep in range(reps):
        order = keys[rep % len(keys):] + keys[:rep % len(keys)]
        for key in order:
            contender, extra = variants[key]
            pin = case["pin"][contender] if isinstance(case["pin"], dict) else case["pin"]
            result, error, elapsed = run_program(
                program, ["--contender", contender, *args, "--pin", str(pin), *extra], timeout,
                env)
            if result is None:
                errors[key].append(error)
                log(f"  {case['workload']} {case['case']} {key}: FAILED ({error})")
            else:
                runs[key].append(result)
                log(f"  {case['workload']} {case['case']} {key} rep {rep + 1}: "
                    f"{elapsed:.1f} s")
    return runs, errors


def problems(key, result):
    """What makes a run's figures unfit: it did not finish, or delivered out of order, or a
    contender that must not lose anything lost something."""
    found = []
    if result.get("complete") is False:
        found.append("incomplete")
    for path in ("misordered", "publisher.subscribers.misordered"):
        if (dig(result, path) or 0) > 0:
            found.append(f"{path}={dig(result, path)}")
    lossless = key in ("velto", "raw", "zmq lossless")
    if lossless and (dig(result, "publisher.subscribers.dropped") or 0) > 0:
        found.append(f"dropped={dig(result, 'publisher.subscribers.dropped')}")
    if (dig(result, "publisher.clients_lost") or 0) > 0:
        found.append(f"clients_lost={dig(result, 'publisher.clients_lost')}")
    return found


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def check(value, op, limit):
    if value is None:
        return None
    return {"<": value < limit, "<=": value <= limit, ">": value > limit,
            ">=": value >= limit}[op]


def evaluate_case(case, runs, errors):
    out = {"workload": case["workload"], "case": case["case"], "program": case["program"],
           "note": case.get("note", ""),
           "args": case["args"], "placement": case["pin"], "metrics": [],
           "errors": {c: e for c, e in errors.items() if e},
           "problems": {k: [p for r in rs for p in problems(k, r)] for k, rs in runs.items()
                        if any(problems(k, r) for r in rs)},
           "runs": {c: r for c, r in runs.items()}}
    for m in case["metrics"]:
        values = {}
        for contender in CONTENDERS:
            if contender not in m["contenders"]:
                continue
            source = m["columns"].get(contender, contender)
            samples = [m["derive"](r) if m["derive"] else dig(r, m["key"])
                       for r in runs.get(source, [])]
            values[contender] = summarize(samples)
        med = {c: (v["median"] if v else None) for c, v in values.items()}
        entry = {"label": m["label"], "unit": m["unit"], "better": m["better"],
                 "headline": m["headline"], "values": values,
                 "ratio_vs_raw": ratio(med.get("velto"), med.get("raw")),
                 "ratio_vs_zmq": ratio(med.get("velto"), med.get("zmq"))}
        target = case["targets"].get(m["label"])
        if target:
            entry["target"] = target["text"]
            if "absolute" in target:
                entry["met"] = check(med.get("velto"), target["absolute"], target["value"])
            else:
                met = check(entry[f"ratio_vs_{target['vs']}"], target["op"], target["value"])
                also = target.get("also")
                if also and met is not None:
                    second = check(entry[f"ratio_vs_{also['vs']}"], also["op"], also["value"])
                    met = None if second is None else (met and second)
                if target.get("zero_drops") and met is not None:
                    drops = [dig(r, "publisher.subscribers.dropped") or 0
                             for r in runs["velto"]]
                    lost = [dig(r, "publisher.clients_lost") or 0 for r in runs["velto"]]
                    met = met and sum(drops) == 0 and sum(lost) == 0
                entry["met"] = met
        out["metrics"].append(entry)
    return out


# case -> (text, ns/item at most or None, ratio to raw at most or None)
MICRO_TARGETS = {
    "framing_64B": ("<= 5 ns/msg, <= 2x raw", 5.0, 2.0),
    "fanout_per_member/1000": ("<= 1.5x raw", None, 1.5),
    "client_create_delete": ("<= 2 us", 2000.0, None),
    "subscription_add_remove_1e5": ("<= 10 ns", 10.0, None),
}


def run_micro(bindir, reps, env, log):
    program = os.path.join(bindir, "velto-bench-micro")
    command = [program, "--benchmark_format=json", f"--benchmark_repetitions={reps}",
               "--benchmark_min_time=0.2", "--benchmark_enable_random_interleaving=true"]
    log("  micro-benchmarks")
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=300, env=env)
        report = json.loads(done.stdout)
    except (subprocess.TimeoutExpired, json.JSONDecodeError) as error:
        return {"error": str(error)}
    # name -> samples of ns per item
    samples = {}
    for bench in report.get("benchmarks", []):
        if bench.get("run_type") != "iteration" or bench.get("error_occurred"):
            continue
        rate = bench.get("items_per_second")
        if rate:
            samples.setdefault(bench["run_name"], []).append(1e9 / rate)
    cases = []
    for name in sorted(samples):
        if not name.endswith("/veltonet") and "/veltonet/" not in name:
            continue
        raw_name = name.replace("/veltonet", "/raw")
        velto = summarize(samples[name])
        base = summarize(samples.get(raw_name, []))
        case = name.replace("/veltonet", "")
        entry = {"case": case, "unit": "ns/item", "values": {"velto": velto, "raw": base},
                 "ratio_vs_raw": ratio(velto and velto["median"], base and base["median"])}
        target = MICRO_TARGETS.get(case)
        if target:
            text, limit, ratio_limit = target
            median = velto and velto["median"]
            entry["target"] = text
            entry["met"] = median is not None and (limit is None or median <= limit) and (
                ratio_limit is None or (entry["ratio_vs_raw"] or math.inf) <= ratio_limit)
        cases.append(entry)
    return {"context": report.get("context", {}), "cases": cases}


# ---- presentation ----

def fmt(value, unit):
    if value is None:
        return "n/a"
    if unit in ("/s",):
        for scale, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
            if abs(value) >= scale:
                return f"{value / scale:.3g}{suffix}"
        return f"{value:.3g}"
    if unit == "B":
        return f"{value / 1024:.3g} KiB" if abs(value) >= 1024 else f"{value:.3g} B"
    if unit == "msgs":
        return f"{value:.0f}"
    return f"{value:.3g}"


def cell(summary, unit):
    if summary is None:
        return "n/a"
    text = fmt(summary["median"], unit)
    if len(summary["samples"]) > 1 and summary["median"]:
        text += f" ±{summary['spread'] * 50:.0f}%"
    return text


def fmt_ratio(value):
    return "n/a" if value is None else f"{value:.2f}"


def table_rows(cases, micro):
    rows = []
    for case in cases:
        for m in case["metrics"]:
            arrow = "↑" if m["better"] == "higher" else "↓"
            v = m["values"]
            met = m.get("met")
            rows.append([case["workload"], case["case"], f"{m['label']} {arrow}",
                         cell(v.get("velto"), m["unit"]), cell(v.get("raw"), m["unit"]),
                         cell(v.get("zmq"), m["unit"]), fmt_ratio(m["ratio_vs_raw"]),
                         fmt_ratio(m["ratio_vs_zmq"]), m.get("target", ""),
                         "" if "target" not in m else ("yes" if met else
                                                       ("n/a" if met is None else "NO"))])
    for entry in micro.get("cases", []):
        v = entry["values"]
        met = entry.get("met")
        rows.append(["micro", entry["case"], "ns/item ↓", cell(v.get("velto"), "ns"),
                     cell(v.get("raw"), "ns"), "n/a", fmt_ratio(entry["ratio_vs_raw"]), "n/a",
                     entry.get("target", ""),
                     "" if "target" not in entry else ("yes" if met else "NO")])
    return rows


def render_table(rows):
    header = ["workload", "case", "metric", "veltonet", "raw", "zmq", "v/raw", "v/zmq",
              "target", "met"]
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    line = "  ".join(h.ljust(w) for h, w in zip(header, widths))
    out = [line, "-" * len(line)]
    for row in rows:
        out.append("  ".join(str(c).ljust(w) for c, w in zip(row, widths)))
    return "\n".join(out)


def notes(cases):
    seen = []
    for case in cases:
        text = f"{case['workload']}: {case['note']}" if case.get("note") else ""
        if text and text not in seen:
            seen.append(text)
    return "\n".join(f"  {text}" for text in seen)


def chart_points(cases, micro):
    """Headline figures as veltonet's relative performance: above 1 means veltonet better."""
    points = []
    for case in cases:
        for m in case["metrics"]:
            if not m["headline"]:
                continue
            rel = []
            for key in ("ratio_vs_raw", "ratio_vs_zmq"):
                r = m[key]
                rel.append(None if r in (None, 0) else (r if m["better"] == "higher" else 1 / r))
            points.append((f"{case['workload']} {case['case']} {m['label']}", rel[0], rel[1]))
    for entry in micro.get("cases", []):
        r = entry["ratio_vs_raw"]
        points.append((f"micro {entry['case']}", None if not r else 1 / r, None))
    return points


def draw_chart(points, outdir):
    data = os.path.join(outdir, "ratios.dat")
    with open(data, "w") as f:
        f.write("# label  vs_raw  vs_zmq  (veltonet relative performance; >1: veltonet better)\n")
        for label, raw, zmq in points:
            f.write(f"\"{label}\" {'?' if raw is None else f'{raw:.4g}'} "
                    f"{'?' if zmq is None else f'{zmq:.4g}'}\n")
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        return None, "gnuplot not found: install gnuplot-nox"
    # The range covers every bar, in whole powers of 4, from at least 1/16 to 16.
    values = [v for _, raw, zmq in points for v in (raw, zmq) if v]
    top = max([16.0] + values)
    bottom = min([1 / 16] + values)
    high = 2 * math.ceil(math.log(top, 4))
    low = 2 * math.floor(math.log(bottom, 4))
    ticks = ", ".join(f'"{2 ** e if e >= 0 else "1/" + str(2 ** -e)}" {2.0 ** e}'
                      for e in range(low, high + 1, 2))
    common = f"""
set datafile missing '?'
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set logscale y 2
set yrange [{2.0 ** low}:{2.0 ** high}]
set ytics ({ticks})
set grid ytics
set key top right
set ylabel "veltonet relative performance (>1: veltonet better)"
"""
    png = os.path.join(outdir, "ratios.png")
    script = common + f"""
set terminal pngcairo noenhanced size 1600,850 font ",10"
set output '{png}'
set title "veltonet vs raw epoll baseline and libzmq: medians of the headline figures"
set xtics rotate by -40 scale 0 font ",9"
set bmargin 15
set rmargin 16
set arrow 1 from graph 0, first 1 to graph 1, first 1 nohead lc rgb "black" lw 1.5 dt 2
plot '{data}' using 2:xtic(1) title "vs raw" lc rgb "#3465a4", '' using 3 title "vs zmq" lc rgb "#f57900"
"""
    done = subprocess.run([gnuplot], input=script, text=True, capture_output=True)
    if done.returncode != 0 or not os.path.exists(png):
        script = script.replace("pngcairo noenhanced size 1600,850 font \",10\"",
                                "png noenhanced size 1600,850")
        done = subprocess.run([gnuplot], input=script, text=True, capture_output=True)
    # The same chart for the terminal, bars numbered like the legend below it.
    numbered = os.path.join(outdir, "ratios-terminal.dat")
    with open(numbered, "w") as f:
        for i, (label, raw, zmq) in enumerate(points, 1):
            f.write(f"{i} {'?' if raw is None else raw} {'?' if zmq is None else zmq}\n")
    dumb = common + f"""
set terminal dumb noenhanced size 120,36 aspect 1,1
set title "veltonet relative performance (log2 scale; A = vs raw, B = vs zmq)"
set xtics scale 0
set key off
unset grid
plot '{numbered}' using 2:xtic(1) title "A", '' using 3 title "B"
"""
    text = subprocess.run([gnuplot], input=dumb, text=True, capture_output=True).stdout
    legend = "\n".join(f"  {i:2d}  {label}" for i, (label, _, _) in enumerate(points, 1))
    return png if os.path.exists(png) else None, text + legend


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True, help="folder of the velto-bench-* programs")
    parser.add_argument("--out", required=True, help="folder for results.json and ratios.png")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--only", default="", help="run only workloads whose name has this")
    parser.add_argument("--render", action="store_true",
                        help="run nothing: table and chart again from OUT/results.json")
    options = parser.parse_args()
    try:
        sys.stdout.reconfigure(encoding="utf-8")
    except AttributeError:
        pass

    if options.render:
        with open(os.path.join(options.out, "results.json")) as f:
            document = json.load(f)
        png, chart_text = draw_chart(chart_points(document["cases"], document["micro"]),
                                     options.out)
        print(render_table(table_rows(document["cases"], document["micro"])))
        print(notes(document["cases"]))
        print()
        print(chart_text)
        print(f"chart: {png}")
        return 0

    # Other work on the machine moves the figures; with the right to, the bench takes a larger
    # share of the CPUs than it (nice -10; every program inherits it). It never spins, so it
    # starves nothing.
    try:
        os.nice(-10)
    except OSError:
        pass
    niceness = os.nice(0)

    os.makedirs(options.out, exist_ok=True)
    logdir = os.path.join(options.out, "logs")
    shutil.rmtree(logdir, ignore_errors=True)
    os.makedirs(logdir)
    env = dict(os.environ, VELTONET_LOG_DIR=os.path.abspath(logdir))
    started = time.time()

    def log(text):
        print(f"[{time.time() - started:6.1f} s]{text}", flush=True)

    machine = {
        "cpus": os.cpu_count(), "kernel": platform.release(), "machine": platform.machine(),
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
        "loadavg_before": open("/proc/loadavg").read().split()[:3], "niceness": niceness,
    }
    try:
        with open("/proc/cpuinfo") as f:
            machine["cpu_model"] = next((l.split(":", 1)[1].strip() for l in f
                                         if l.startswith("model name")), "")
    except OSError:
        pass

    results = []
    for case in all_cases():
        name = f"{case['workload']} {case['case']}"
        if options.only and options.only not in name:
            continue
        log(f" {name}")
        runs, errors = run_case(case, options.bin, options.reps, env, log)
        results.append(evaluate_case(case, runs, errors))
    micro = {}
    if not options.only or options.only in "micro":
        micro = run_micro(options.bin, options.reps, env, log)

    machine["loadavg_after"] = open("/proc/loadavg").read().split()[:3]
    log_records = {}
    log_file = os.path.join(logdir, "SocketErrors.log")
    if os.path.exists(log_file):
        with open(log_file, errors="replace") as f:
            for line in f:
                text = line.split("] ", 1)[-1].split(": ", 1)[-1].strip()
                key = " ".join(text.split()[:3])
                log_records[key] = log_records.get(key, 0) + 1
    rows = table_rows(results, micro)
    points = chart_points(results, micro)
    png, chart_text = draw_chart(points, options.out)
    document = {
        "machine": machine,
        "settings": {"repetitions": options.reps, "contenders": NAMES,
                     "spread": "(max - min) / median over the repetitions; the table shows "
                               "half of it as ±"},
        "cases": results, "micro": micro,
        "library_log_records": dict(sorted(log_records.items(), key=lambda kv: -kv[1])[:20]),
        "elapsed_seconds": time.time() - started,
    }
    with open(os.path.join(options.out, "results.json"), "w") as f:
        json.dump(document, f, indent=1)

    print()
    print(f"veltonet benchmarks: medians of {options.reps} runs (± half the range), "
          f"ratios veltonet/raw and veltonet/zmq of the medians; "
          f"{machine['cpus']} CPUs, load {' '.join(machine['loadavg_before'])} at the start")
    load = float(machine["loadavg_before"][0])
    if load > 1.0:
        print(f"note: other work was running (load {load:.1f} on {machine['cpus']} CPUs); "
              "the spreads show how much it moved the figures")
    print(render_table(rows))
    print(notes(results))
    print()
    print(chart_text)
    print()
    print(f"results: {os.path.join(options.out, 'results.json')}")
    print(f"chart:   {png or 'not drawn (no gnuplot)'}")
    print(f"time:    {time.time() - started:.0f} s")
    failures = sum(len(e) for case in results for e in case["errors"].values())
    if failures:
        print(f"{failures} run(s) failed; see 'errors' in results.json")
    for case in results:
        for key, found in case["problems"].items():
            print(f"check: {case['workload']} {case['case']} {key}: {', '.join(found)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
