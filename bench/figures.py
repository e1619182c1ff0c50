#!/usr/bin/env python3
"""Measures the figures of docs/performance.md and writes them as its one table. Run through
scripts/bench.sh, which builds first.

Every ratio compares clients that ran at the same moment, each on a korvath-sim of its own
(a pseudo-terminal paced at 38400 8N1), so that both met the same machine and the same load;
each is taken within one repetition and given as the range over the repetitions. The machine
may be shared with other work: CPU time per record is what counts, and times are noisy.

- CPU per record: both clients' CPU time (the scheduler's account, all threads) over the same
  window of seconds while both program records, over the frames each one's simulator logged in
  it; start-up, erase, blank checks and the reset wait stay out.
- Time per record: the interval between two consecutive program frames in the simulator's log.
- Many units: one korvath-cli run with 32 ports on one simulator and, at the same moment,
  another with 1 port on a simulator of its own.
- System calls per record: strace -f -c over two image sizes, the difference over the extra
  records (one client after the other: a count does not depend on the load).
- Start-up: wall time of a process from start to exit, median of repeated runs.
"""

import datetime
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.dont_write_bytecode = True  # nothing written next to the sources
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import korvath_harness as kh  # noqa: E402
import perf  # noqa: E402
import scale  # noqa: E402
import skip_erased  # noqa: E402
import usb_latency  # noqa: E402

SECTION = "## Figures"
PACED = ["--program-ms", "0"]
USB_1MS = [*PACED, "--usb-latency-ms", "1"]
UNITS = ["--program-ms", "2"]
CPU_RATIO_TARGET = 1.2
WINDOW_SETTLE_S = 2.0


def log(message):
    print(message, file=sys.stderr, flush=True)


def frames_so_far(sim):
    """Program frames the simulator has logged so far, all ports."""
    with open(sim.log_path, errors="replace") as lines:
        return sum(1 for line in lines if (found := scale.LOG_LINE.match(line))
                   and found[4] == "program")


def cpu_window(procs, sims, window_s):
    """{label: CPU seconds per program frame} of each client over the same `window_s` seconds,
    from the scheduler's account of all its threads and the frames its simulator logged."""
    def sample():
        return {label: (perf.process_cpu_s(proc.pid), frames_so_far(sims[label]))
                for label, proc in procs.items()}
    first = sample()
    time.sleep(window_s)
    last = sample()
    return {label: (last[label][0] - first[label][0]) / (last[label][1] - first[label][1])
            for label in procs}


def at_once(build, work, jobs, image, limit_s, window_s=None):
    """Runs `jobs` ({label: (client, sim options, ports)}) at the same moment, each on a
    korvath-sim of its own; the reference client starts when the first korvath-cli prints
    "Programming!", so that its records run beside those. With `window_s`, also takes each
    client's CPU per record over the same window once all of them are programming. Returns
    {label: (run, intervals)}, the intervals (ms) pooled over the ports, and the CPU per record
    (or None)."""
    sims, runs, procs = {}, {}, {}
    per_record = None
    programming = threading.Event()
    if all(client == "ref" for client, _, _ in jobs.values()):
        programming.set()
    try:
        for label, (_, options, ports) in jobs.items():
            folder = work / label
            folder.mkdir(parents=True, exist_ok=True)
            sims[label] = scale.SimPorts(build / "tools/sim/korvath-sim", folder, ports, 1, options)

        def one(label):
            client, paths = jobs[label][0], sims[label].paths
            if client == "ref":
                programming.wait(limit_s)
                command = [build / "bench/korvath_ref_client", "-i", image, paths[0]]
            else:
                command = [build / "cli/korvath-cli",
                           *(part for path in paths for part in ("--port", path)), image]
            try:
                runs[label] = kh.run(command, limit_s, on_line=lambda line: line ==
                                     "Programming!" and programming.set(),
                                     on_start=lambda proc: procs.__setitem__(label, proc))
            finally:
                programming.set()

        threads = [threading.Thread(target=one, args=(label,)) for label in jobs]
        for thread in threads:
            thread.start()
        if window_s:
            programming.wait(limit_s)
            # The reference client's first records, and every client past its erase.
            time.sleep(WINDOW_SETTLE_S)
            per_record = cpu_window(dict(procs), sims, window_s)
        for thread in threads:
            thread.join()
    finally:
        for sim in sims.values():
            sim.stop()
    results = {}
    for label, run in runs.items():
        if run.exit_code != 0:
            raise RuntimeError(f"{label} failed (exit {run.exit_code}, last status "
                               f"{run.status!r}):\n{run.stderr}")
        times = sims[label].program_times().values()
        results[label] = (run, [b - a for t in times for a, b in zip(t, t[1:])])
    return results, per_record


def cpu_and_time(build, work, image, records, rep, options, name, window_s):
    """korvath-cli and the reference client at the same moment. Returns each one's CPU µs per
    record over the same window and its mean ms per record."""
    runs, per_record = at_once(build, work / f"{name}-{rep}", {"cli": ("cli", options, 1),
                                                              "ref": ("ref", options, 1)},
                               image, 120 + records * 0.2, window_s)
    row = {kind: {"cpu_us": per_record[kind] * 1e6, "ms": statistics.fmean(runs[kind][1])}
           for kind in ("cli", "ref")}
    log(f"  {name} rep {rep + 1}: CPU µs a record cli {row['cli']['cpu_us']:.1f}, ref "
        f"{row['ref']['cpu_us']:.1f}; ms a record cli {row['cli']['ms']:.3f}, ref "
        f"{row['ref']['ms']:.3f}")
    return row


def units(build, work, image, records, rep, count):
    runs, _ = at_once(build, work / f"units-{rep}", {"many": ("cli", UNITS, count),
                                                     "one": ("cli", UNITS, 1)},
                      image, 120 + records * 0.2)
    row = {label: {"ms": statistics.fmean(intervals), "cpu": run.cpu_share * 100,
                   "cpu_us": run.cpu_seconds / (len(intervals) + (count if label == "many" else 1))
                   * 1e6}
           for label, (run, intervals) in runs.items()}
    log(f"  units rep {rep + 1}: {count} units {row['many']['ms']:.3f} ms, 1 unit "
        f"{row['one']['ms']:.3f} ms; CPU {row['many']['cpu']:.2f} % / {row['one']['cpu']:.2f} %")
    return row


def median_ms(command, runs, env=None):
    """Median wall time of `command` from start to exit, after one run to warm the caches."""
    times = []
    for _ in range(runs + 1):
        start = time.perf_counter()
        result = subprocess.run([str(part) for part in command], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env={**os.environ, **(env or {})},
                                timeout=60)
        times.append((time.perf_counter() - start) * 1e3)
        if result.returncode != 0:
            raise RuntimeError(f"{command[0]} ended with {result.returncode}")
    return statistics.median(times[1:]), min(times[1:]), max(times[1:])


def startup(build, work, runs):
    window = build / "bench/korvath_bench_window"
    in_main = []
    for _ in range(runs):
        out = subprocess.run([str(window), "--first-paint"], capture_output=True, text=True,
                             env={**os.environ, **perf.WINDOW_ENV}, timeout=60).stdout
        in_main += [float(line.split()[1]) for line in out.splitlines()
                    if line.startswith("first_paint_ms ")]
    shot = {**perf.WINDOW_ENV, "KORVATH_SCREENSHOT": str(work / "window.png")}
    return {"version": median_ms([build / "cli/korvath-cli", "--version"], runs),
            "paint": (statistics.median(in_main), min(in_main), max(in_main)),
            "window": median_ms([build / "app/korvath"], runs, shot)}


def mean_ratio(reps, pick):
    return perf.ratio_text([pick(r) for r in reps])


def cpu_row(reps, what, options):
    ratios = [r["cli"]["cpu_us"] / r["ref"]["cpu_us"] for r in reps]
    return (f"CPU per record{what}, korvath-cli / reference client",
            f"{perf.spread(ratios, '{:.2f}')}"
            f"{f' (mean {statistics.fmean(ratios):.2f})' if len(ratios) > 1 else ''}; korvath-cli "
            f"{perf.spread([r['cli']['cpu_us'] for r in reps], '{:.0f}')} µs, reference "
            f"{perf.spread([r['ref']['cpu_us'] for r in reps], '{:.0f}')} µs",
            f"≤ {CPU_RATIO_TARGET}", perf.verdict(max(ratios) <= CPU_RATIO_TARGET), options)


def time_row(reps, what, options):
    return (f"Time per record{what}, korvath-cli / reference client",
            f"{mean_ratio(reps, lambda r: r['cli']['ms'] / r['ref']['ms'])}; korvath-cli "
            f"{perf.spread([r['cli']['ms'] for r in reps], '{:.3f}')} ms, reference "
            f"{perf.spread([r['ref']['ms'] for r in reps], '{:.3f}')} ms", "", "", options)


def rows_of(args, cpu, usb, many, calls, padded, start):
    spread = perf.spread
    paced, usb_options = "`--program-ms 0`, one each", "`--program-ms 0 --usb-latency-ms 1`, one each"
    units_options = f"`--count {args.units} --program-ms 2` and `--program-ms 2`"
    usb_what = " through a 1 ms USB latency timer"
    rows = [
        cpu_row(cpu, "", paced),
        time_row(cpu, "", paced),
        cpu_row(usb, usb_what, usb_options),
        time_row(usb, usb_what, usb_options),
        (f"Time per record, {args.units} units in one korvath-cli / 1 unit in another",
         f"{mean_ratio(many, lambda r: r['many']['ms'] / r['one']['ms'])}; {args.units} units "
         f"{spread([r['many']['ms'] for r in many], '{:.3f}')} ms, 1 unit "
         f"{spread([r['one']['ms'] for r in many], '{:.3f}')} ms", "≤ 1.03",
         perf.verdict(max(r["many"]["ms"] / r["one"]["ms"] for r in many) <= 1.03),
         units_options),
        (f"CPU of korvath-cli over its whole run, {args.units} units / 1 unit",
         f"{spread([r['many']['cpu'] for r in many], '{:.2f}')} % / "
         f"{spread([r['one']['cpu'] for r in many], '{:.2f}')} % of a core; "
         f"{spread([r['many']['cpu_us'] for r in many], '{:.0f}')} / "
         f"{spread([r['one']['cpu_us'] for r in many], '{:.0f}')} µs a record",
         "< 10 % at 32 units", perf.verdict(max(r["many"]["cpu"] for r in many) < 10),
         units_options),
    ]
    for kind, (total, by_call) in calls.items():
        parts = ", ".join(f"{name} {value:.2f}" for name, value in
                          sorted(by_call.items(), key=lambda item: -item[1]))
        rows.append((f"System calls per record, {perf.CLIENT_NAMES[kind]}",
                     f"{total:.2f} ({parts})", "", "", "`--program-ms 0`, one after the other"))
    if padded:
        rows.append(("Records' time of a half-padded image, korvath-cli --skip-erased / without",
                     mean_ratio(padded, lambda r: r["skip"]["programming_s"]
                                / r["cli"]["programming_s"]) + ", flash equal to the image in "
                     f"{sum(r[k]['equal'] for r in padded for k in r)} of "
                     f"{sum(len(r) for r in padded)} downloads", "", "",
                     "`--program-ms 0`, one each (three clients)"))
    rows += [
        ("korvath-cli --version, start to exit",
         "{:.1f} ms ({:.1f}–{:.1f})".format(*start["version"]), "", "", "none"),
        ("Window to first paint (offscreen), from main()",
         "{:.1f} ms ({:.1f}–{:.1f})".format(*start["paint"]), "", "", "none"),
        ("korvath: start, show, grab the window, exit (offscreen)",
         "{:.1f} ms ({:.1f}–{:.1f})".format(*start["window"]), "", "", "none"),
    ]
    return rows


def markdown(args, rows, info, started, minutes, load):
    lines = [
        SECTION, "",
        f"Measured by `scripts/bench.sh` on {started:%Y-%m-%d %H:%M} UTC ({minutes:.1f} min), "
        f"commit {info['git']}, {info['build_type']} build. Machine: {info['cpu']}, "
        f"{info['cores']} cores; load average {load[0]} at the start, {load[1]} at the end. "
        "The machine is shared with other work (compilers among it): times carry that noise, "
        "CPU time per record is what counts, and every ratio compares clients that ran at the "
        "same moment, so both met the same load. Ranges are lowest–highest over "
        f"{args.repeats} repetitions, with the mean of a ratio beside it.", "",
        "| Measurement | Result | Target | Verdict | Simulator options (korvath-sim) |",
        "|---|---|---|---|---|",
    ]
    lines += [f"| {' | '.join(cell or '—' for cell in row[:4])} | {row[4]} |" for row in rows]
    lines += [
        "",
        f"- **Downloads**: images of {args.records} 64-byte S2 records (E00000 up and the last "
        "block E7FFC0, made by `srec_cat`); the line paced at 38400 8N1 on a pseudo-terminal. "
        "The reference client is `bench/ref_client.c`: probe, password, then each record's "
        "frame, its ACK and exactly 2 ms of quiet; no erase, no reset. It starts when "
        "korvath-cli prints \"Programming!\", so that their records run side by side.",
        "- **CPU per record**: over one window of the same seconds for both clients, from "
        f"{WINDOW_SETTLE_S:.0f} s after the reference client started until 70 % of the records' "
        "line time, each client's CPU from the scheduler (`/proc/PID/task/*/schedstat`, all "
        "threads) over the program frames its simulator logged in that window; erase, blank "
        "checks, start-up and the reset wait stay out.",
        "- **Time per record**: the interval between two consecutive program frames in the "
        f"simulator's log (each frame's last byte), {args.records}-record downloads; with "
        f"several units pooled over them. The units' rows use {args.unit_records}-record "
        "downloads.",
        "- **Start-up**: wall time from starting the process to its exit, median of "
        f"{args.startup_runs} runs after one to warm the caches (lowest–highest in brackets); "
        "the first paint as the window reports it from `main()`. "
        "`korvath` is timed with `KORVATH_SCREENSHOT` set (it shows the window, grabs it "
        "into a PNG and quits).",
        "",
    ]
    return "\n".join(lines)


def measure(args, build):
    """Every measurement; the results are also saved as JSON in the work folder, so that the
    table can be written again from them (--results)."""
    work, started, load_start, info = perf.begin("korvath-figures-", build)
    image = perf.download_image(work / f"records-{args.records}.shx", args.records)
    window_s = args.records * perf.FLOOR_MS / 1000 * 0.7 - WINDOW_SETTLE_S
    unit_image = perf.download_image(work / f"units-{args.unit_records}.shx", args.unit_records)
    if args.padded_records:
        padded_image, lines = skip_erased.padded_image(work / "padded.shx", args.padded_records)
        expected = skip_erased.expected_flash(lines)
    log("start-up")
    start = startup(build, work, args.startup_runs)
    cpu, usb, many, padded = [], [], [], []
    for rep in range(args.repeats):
        cpu.append(cpu_and_time(build, work, image, args.records, rep, PACED, "paced",
                                window_s))
        usb.append(cpu_and_time(build, work, image, args.records, rep, USB_1MS, "usb",
                                window_s))
        many.append(units(build, work, unit_image, args.unit_records, rep, args.units))
        if args.padded_records:
            padded.append(skip_erased.repetition(build, work, padded_image, args.padded_records,
                                                 expected, rep))
    strace_images = [perf.download_image(work / f"strace-{n}.shx", n)
                     for n in usb_latency.STRACE_SIZES]
    calls = {kind: usb_latency.per_record(build, work, kind, strace_images, 0)
             for kind in ("cli", "ref")}
    finished = datetime.datetime.now(datetime.timezone.utc)
    results = {"cpu": cpu, "usb": usb, "many": many, "calls": calls, "padded": padded,
               "start": start}
    minutes, load = (finished - started).total_seconds() / 60, (load_start, perf.load_text())
    (work / "figures.json").write_text(json.dumps(
        {**results, "started": started.isoformat(), "minutes": minutes, "load": load,
         "info": info}))
    log(f"results: {work / 'figures.json'}")
    return results, started, minutes, load, info


def main():
    parser = perf.arguments(__doc__, records=2048, repeats=3)
    parser.add_argument("--unit-records", type=int, default=1024)
    parser.add_argument("--units", type=int, default=32)
    parser.add_argument("--padded-records", type=int, default=512, help="0 leaves that row out")
    parser.add_argument("--startup-runs", type=int, default=15)
    parser.add_argument("--results", type=Path,
                        help="write the table from the JSON results of an earlier run")
    args = parser.parse_args()
    build = args.build.resolve()

    if args.results:
        saved = json.loads(args.results.read_text())
        started = datetime.datetime.fromisoformat(saved.pop("started"))
        minutes, load, info = saved.pop("minutes"), saved.pop("load"), saved.pop("info")
    else:
        saved, started, minutes, load, info = measure(args, build)
    rows = rows_of(args, **saved)
    text = markdown(args, rows, info, started, minutes, load)
    print(text)
    if args.out:
        old = args.out.read_text() if args.out.exists() else ""
        args.out.write_text(perf.replace_section(old, SECTION, text))
        print(f"\nWritten: {args.out}")


if __name__ == "__main__":
    main()
