#!/usr/bin/env python3
"""Measures downloads through a USB adapter's latency timer, as korvath-sim --usb-latency-ms T
plays it: a 2048-record download by korvath-cli at T = 16 ms (the usual default) and T = 1 ms,
each beside the reference client (bench/ref_client.c) programming the same image through its
own simulator at the same time, three repetitions each. Also counts the system calls a record
costs each client (strace -c on two image sizes; the difference over the extra records) and
their CPU per record. Prints the table and writes it as the section "USB adapters" of
docs/performance.md. Run through scripts/bench.sh --usb, which builds first.
"""

import argparse
import datetime
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

sys.dont_write_bytecode = True  # nothing written next to the sources
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import korvath_harness as kh  # noqa: E402
import perf  # noqa: E402

SECTION = perf.USB_SECTION
REF_TARGET = 1.004  # korvath-cli / reference client, mean time per record, every repetition
SYSCALL_TARGET = 5  # system calls per record, korvath-cli
CPU_RATIO_TARGET = 1.2  # korvath-cli's CPU per record over the reference client's
STRACE_SIZES = (128, 640)


def log(message):
    print(message, file=sys.stderr, flush=True)


def start_sim(build, work, name, latency_ms):
    return kh.Sim(build / "tools/sim/korvath-sim", work, name,
                  ["--program-ms", "0", "--usb-latency-ms", str(latency_ms)])


def command(build, kind, port, image):
    if kind == "cli":
        return [build / "cli/korvath-cli", "--port", port, image]
    return [build / "bench/korvath_ref_client", "-i", image, port]


def process_cpu_s(pid):
    """CPU time of a running process, all its threads, from the scheduler's own account."""
    try:
        return sum(int((task / "schedstat").read_text().split()[0])
                   for task in Path(f"/proc/{pid}/task").iterdir()) / 1e9
    except (FileNotFoundError, ProcessLookupError):
        return float("nan")


def side_by_side(build, work, image, records, latency_ms, rep):
    """korvath-cli and the reference client at once, each on a simulator of its own."""
    sims = {kind: start_sim(build, work, f"{kind}-{latency_ms}-{rep}", latency_ms)
            for kind in ("cli", "ref")}
    runs = {}
    # korvath-cli's CPU while it programs, without its erase, blank checks and reset wait:
    # sampled when "Programming!" and "Resetting target" appear.
    process = {}
    samples = {}

    def sample(line):
        if line in ("Programming!", "Resetting target") and "cli" in process:
            samples[line] = process_cpu_s(process["cli"].pid)

    def one(kind):
        runs[kind] = kh.run(command(build, kind, sims[kind].path, image),
                            120 + records * 0.2, on_line=sample if kind == "cli" else None,
                            on_start=lambda proc: process.__setitem__(kind, proc))

    threads = [threading.Thread(target=one, args=(kind,)) for kind in sims]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    results = {}
    for kind, sim in sims.items():
        sim.stop()
        times = sim.program_times()
        run = runs[kind]
        if run.exit_code != 0 or len(times) != records:
            raise RuntimeError(f"{kind} at T={latency_ms} failed: exit {run.exit_code}, "
                               f"{len(times)} frames\n{run.stderr}")
        intervals = [b - a for a, b in zip(times, times[1:])]
        cpu_s = run.cpu_seconds
        if kind == "cli":
            cpu_s = samples.get("Resetting target", float("nan")) - \
                samples.get("Programming!", float("nan"))
        results[kind] = {"mean": statistics.fmean(intervals),
                         "median": statistics.median(intervals),
                         "cpu_us": cpu_s / records * 1e6,
                         "seconds": run.seconds}
    log(f"  T={latency_ms:2} ms rep {rep + 1}: cli {results['cli']['mean']:.3f} ms, ref "
        f"{results['ref']['mean']:.3f} ms, ratio {results['cli']['mean'] / results['ref']['mean']:.4f}")
    return results


def syscalls(build, work, kind, image, latency_ms):
    """Every system call of a whole run, all threads, counted by strace -c."""
    sim = start_sim(build, work, f"strace-{kind}-{image.stem}-{latency_ms}", latency_ms)
    out = work / f"strace-{kind}-{image.stem}-{latency_ms}.txt"
    try:
        run = kh.run(["strace", "-f", "-c", "-o", out, *command(build, kind, sim.path, image)],
                     600)
    finally:
        sim.stop()
    if run.exit_code != 0:
        raise RuntimeError(f"{kind} under strace failed:\n{run.stderr}")
    calls = {}
    for line in out.read_text().splitlines():
        fields = line.split()
        # "% time seconds usecs/call calls [errors] syscall"
        if len(fields) >= 5 and re.match(r"^[0-9.]+$", fields[0]) and fields[-1] != "total":
            calls[fields[-1]] = int(fields[3])
    return calls


def per_record(build, work, kind, images, latency_ms):
    small, large = (syscalls(build, work, kind, image, latency_ms) for image in images)
    extra = STRACE_SIZES[1] - STRACE_SIZES[0]
    names = sorted(set(small) | set(large))
    by_call = {name: (large.get(name, 0) - small.get(name, 0)) / extra for name in names}
    return sum(by_call.values()), {n: v for n, v in by_call.items() if v >= 0.05}


def spread(values, fmt="{:.4f}"):
    return f"{fmt.format(min(values))}–{fmt.format(max(values))}"


def markdown(rows, calls, started, finished, load, records, repeats, info):
    lines = [
        SECTION,
        "",
        f"Generated by `scripts/bench.sh --usb` on {started:%Y-%m-%d %H:%M} UTC "
        f"({(finished - started).total_seconds() / 60:.1f} min), commit {info['git']}. "
        f"Machine: {info['cpu']}, {info['cores']} cores. Load average {load[0]} at the start, "
        f"{load[1]} at the end. **The machine was shared with other builds and tests while "
        "this ran**: absolute times carry their noise; each ratio compares two clients that "
        "ran at the same moment.",
        "",
        "A USB serial adapter does not hand received bytes to the host as they arrive: it "
        "collects them until its latency timer runs out (16 ms by default for the common "
        "FTDI chips, on Linux and on Windows), so every reply waits up to that long. "
        "`korvath-sim --usb-latency-ms T` plays that timer on its pseudo-terminal: the "
        "controller's bytes reach the client only at whole multiples of T ms. "
        f"Each row is a {records}-record download by korvath-cli and, at the same time, by the "
        "reference client through a simulator of its own; ratios are korvath-cli's mean time "
        "per record over the reference client's, lowest–highest over "
        f"{repeats} repetitions.",
        "",
        "| T | korvath-cli ms a record (mean per run) | reference ms a record | korvath-cli / reference | "
        "CPU µs a record, korvath-cli | CPU µs a record, reference | CPU korvath-cli / reference |",
        "|---|---|---|---|---|---|---|",
    ]
    means = {}
    for latency, reps in rows:
        cli = [r["cli"]["mean"] for r in reps]
        ref = [r["ref"]["mean"] for r in reps]
        means[latency] = statistics.fmean(cli)
        ratio = [c / r for c, r in zip(cli, ref)]
        cpu_ratio = [r["cli"]["cpu_us"] / r["ref"]["cpu_us"] for r in reps]
        lines.append(
            f"| {latency} ms | {spread(cli, '{:.3f}')} | {spread(ref, '{:.3f}')} | "
            f"{spread(ratio)} | {spread([r['cli']['cpu_us'] for r in reps], '{:.0f}')} | "
            f"{spread([r['ref']['cpu_us'] for r in reps], '{:.0f}')} | "
            f"{spread(cpu_ratio, '{:.2f}')} |")
    lines += [
        "",
        "System calls a record (strace -f -c over whole runs of "
        f"{STRACE_SIZES[0]} and {STRACE_SIZES[1]} records; the difference divided by the "
        f"{STRACE_SIZES[1] - STRACE_SIZES[0]} extra records, so start-up, erase and reset cancel "
        "out):",
        "",
        "| T | client | calls a record | of which |",
        "|---|---|---|---|",
    ]
    for (latency, kind), (total, by_call) in calls.items():
        parts = ", ".join(f"{name} {value:.2f}" for name, value in
                          sorted(by_call.items(), key=lambda item: -item[1]))
        lines.append(f"| {latency} ms | {perf.CLIENT_NAMES[kind]} | {total:.2f} | {parts} |")
    lines += [
        "",
        "CPU a record: korvath-cli's from the scheduler (`/proc/PID/task/*/schedstat`) between "
        "its \"Programming!\" and \"Resetting target\" lines, so its erase, blank checks and "
        "reset wait stay out; the reference client's is its whole run (`wait4`: user + system), "
        "which holds only the probe and password rounds besides its records. Both divided by "
        "the records.",
        "",
        "**Lowering the timer.** " + (
            f"Measured above, a record takes {means[16]:.1f} ms at a 16 ms timer against "
            f"{means[1]:.1f} ms at 1 ms (+{(means[16] / means[1] - 1) * 100:.0f} %): each ACK "
            "waits for the next tick, and with a record's frame taking about 19 ms on the line "
            "the exchange settles on two 16 ms ticks. " if 16 in means and 1 in means else "") +
        "korvath-cli asks the driver for low latency "
        "when it opens a port (`ASYNC_LOW_LATENCY`, which the Linux FTDI driver turns into a "
        "1 ms timer), and says once when an adapter's `latency_timer` still reads more than "
        "1 ms. To lower it by hand:",
        "",
        "- Linux, until the adapter is unplugged: "
        "`echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer`",
        "- Linux, for good: a udev rule, e.g. `/etc/udev/rules.d/99-usb-serial-latency.rules` "
        "with `ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", "
        "ATTR{latency_timer}=\"1\"`, then `sudo udevadm control --reload` and plug the adapter "
        "in again.",
        "- Windows: Device Manager, Ports (COM & LPT), the adapter's Properties, Port Settings, "
        "Advanced, Latency Timer (msec): 1.",
        "",
    ]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, type=Path, help="the configured build folder")
    parser.add_argument("--out", type=Path, help="Markdown file to write the section into")
    parser.add_argument("--records", type=int, default=2048)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--latencies", default="16,1", help="T values in ms, comma-separated")
    args = parser.parse_args()
    build = args.build.resolve()
    if shutil.which("strace") is None:
        sys.exit("usb_latency.py: strace is missing (Debian: apt-get install strace)")

    work = Path(tempfile.mkdtemp(prefix="korvath-usb-"))
    os.environ.update(kh.private_environment(work))
    started = datetime.datetime.now(datetime.timezone.utc)
    load_start = " / ".join(f"{v:.2f}" for v in os.getloadavg())
    info = perf.machine()
    info["git"] = perf.git_state(Path(__file__).resolve().parent.parent)
    image = perf.download_image(work / f"records-{args.records}.shx", args.records)
    strace_images = [perf.download_image(work / f"strace-{n}.shx", n) for n in STRACE_SIZES]

    rows, calls = [], {}
    for latency in (int(t) for t in args.latencies.split(",")):
        log(f"T = {latency} ms")
        rows.append((latency, [side_by_side(build, work, image, args.records, latency, rep)
                               for rep in range(args.repeats)]))
        for kind in ("cli", "ref"):
            calls[(latency, kind)] = per_record(build, work, kind, strace_images, latency)
            log(f"  {kind} system calls a record: {calls[(latency, kind)][0]:.2f}")

    finished = datetime.datetime.now(datetime.timezone.utc)
    load = (load_start, " / ".join(f"{v:.2f}" for v in os.getloadavg()))
    text = markdown(rows, calls, started, finished, load, args.records, args.repeats, info)
    print(text)
    if args.out:
        old = args.out.read_text() if args.out.exists() else ""
        args.out.write_text(perf.replace_section(old, SECTION, text))
        print(f"\nWritten: {args.out}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
