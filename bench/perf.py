#!/usr/bin/env python3
"""Measures a built Korvath against its performance targets, prints the table and writes it as
Markdown. Run through scripts/bench.sh --downloads, which builds first.

Downloads go from korvath-cli, from the window driven by korvath_bench_window and from the
reference client (bench/ref_client.c), each through a pseudo-terminal to a korvath-sim of its own
pacing the line at 38400 8N1 with zero programming time. The three run at the same moment, so
that a ratio between two of them compares runs that met the same machine, and what the simulator
and the machine cost is seen apart from what Korvath adds; every ratio is taken within one
repetition and reported as the range over the repetitions.
Each record's time is the interval between consecutive program frames as the simulated
controller logs them (the moment a frame's last byte arrives), so it holds the line time and
everything the client adds, and nothing of the driver's own timing.
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
from dataclasses import dataclass
from pathlib import Path
from statistics import median

sys.dont_write_bytecode = True  # nothing written next to the sources
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
import korvath_harness as kh  # noqa: E402

BAUD_BYTE_MS = 10 * 1000 / 38400  # one byte at 38400 baud, 8N1
PROGRAM_FRAME_BYTES = 73
REPLY_QUIET_MS = 2.0  # a reply is complete after more than this of silence
FLOOR_MS = (PROGRAM_FRAME_BYTES + 1) * BAUD_BYTE_MS + REPLY_QUIET_MS
RECORD_TARGET = 1.10  # within 10 % of the floor
CPU_TARGET = 0.03  # of one core
RATIO_TARGET = 1.02
REFERENCE_TARGET = 1.004  # Korvath's mean time per record over the reference client's
MEMORY_PER_FILE_BYTE = 1.5  # the file's bytes held once, plus its line table
FULL_RECORDS = 8192
# The largest image the pre-scan takes on models 1 and 2: a record for every 64 bytes of flash
# (E00000-E7FFFF), the header and the end line.
LARGE_LINES = FULL_RECORDS + 2
FILL = "Korvath benchmark image. "
SCALE_SECTION = "## Many units at once"  # written by bench/scale.py
USB_SECTION = "## USB adapters"  # written by bench/usb_latency.py
PADDED_SECTION = "## Padded images"  # written by bench/skip_erased.py


@dataclass
class Config:
    build: Path
    out: Path
    quick: bool
    work: Path
    medium_records: int = 512
    repeats: int = 3
    full: bool = True
    silent_limit_s: float | None = None  # None: the whole connect phase
    startup_runs: int = 9
    image_repetitions: int = 5
    peak_runs: int = 5

    def tool(self, relative: str) -> Path:
        return self.build / relative


def arguments(doc, records=None, repeats=None):
    """The options every measurement takes: the configured build folder and the Markdown file to
    write; with `records` and `repeats`, those too with their defaults. Its description is the
    first line of `doc`."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--build", required=True, type=Path, help="the configured build folder")
    parser.add_argument("--out", type=Path, help="Markdown file to write")
    if records is not None:
        parser.add_argument("--records", type=int, default=records)
    if repeats is not None:
        parser.add_argument("--repeats", type=int, default=repeats)
    return parser


def spread(values, fmt="{:.4f}"):
    """Lowest–highest of `values`; a single value as it is."""
    if len(values) < 2:
        return fmt.format(values[0]) if values else ""
    return f"{fmt.format(min(values))}–{fmt.format(max(values))}"


def ratio_text(ratios):
    """A ratio taken in each repetition: lowest–highest, and the mean beside it."""
    return spread(ratios) + (f" (mean {statistics.fmean(ratios):.4f})" if len(ratios) > 1 else "")


def process_cpu_s(pid):
    """CPU time of a running process, all its threads, from the scheduler's own account (in
    nanoseconds, where /proc/PID/stat counts 10 ms ticks); NaN once the process is gone."""
    try:
        return sum(int((task / "schedstat").read_text().split()[0])
                   for task in Path(f"/proc/{pid}/task").iterdir()) / 1e9
    except (FileNotFoundError, ProcessLookupError):
        return float("nan")


def record_stats(intervals):
    """Mean, median and p99 of record times (ms)."""
    return (statistics.fmean(intervals), median(intervals),
            statistics.quantiles(intervals, n=100)[98])


def stats_text(intervals):
    return "mean {:.3f} ms (median {:.3f}, p99 {:.3f})".format(*record_stats(intervals))


CLIENT_NAMES = {"cli": "korvath-cli", "window": "window", "ref": "reference client"}
CLIENTS = tuple(CLIENT_NAMES)


def log(message):
    print(message, file=sys.stderr, flush=True)


def make_image(path: Path, ranges):
    """An image of 64-byte S2 records over `ranges` ([start, end) pairs)."""
    return kh.write_lines(path, kh.srec_cat_lines([(s, e, FILL) for s, e in ranges], "X"))


def download_image(path: Path, records: int):
    """`records` data lines: from E00000 up, and the last block E7FFC0 before the end line."""
    base, last = 0xE00000, 0xE7FFC0
    return make_image(path, [(base, base + (records - 1) * 64), (last, last + 64)])


def lines_image(path: Path, lines: int):
    """An image of exactly `lines` lines for the image layer alone, its records in flash up to
    the last block E7FFC0."""
    data = lines - 2
    start = 0xE80000 - data * 64
    return make_image(path, [(start, 0xE80000)])


def start_sim(build: Path, work: Path, name: str, options=()):
    """korvath-sim on a pseudo-terminal with no programming time, logging every request."""
    return kh.Sim(build / "tools/sim/korvath-sim", work, name, ["--program-ms", "0", *options])


@dataclass
class Download:
    kind: str
    records: int
    run: kh.Run
    intervals_ms: list
    # From the scheduler between "Programming!" and "Resetting target": the records alone.
    programming_cpu_s: float = float("nan")
    frames: int = 0  # program frames the simulator received

    @property
    def mean_ms(self):
        return statistics.fmean(self.intervals_ms)

    @property
    def wall_s(self):
        return self.run.seconds

    @property
    def cpu_s(self):
        return self.run.cpu_seconds

    @property
    def cpu_share(self):
        return self.run.cpu_share

    @property
    def programming_s(self):
        start, end = self.run.status_time("Programming!"), self.run.status_time("Resetting target")
        return end - start if start is not None and end is not None else float("nan")


WINDOW_ENV = {"QT_QPA_PLATFORM": "offscreen"}


def client_command(build: Path, kind, port, image):
    if kind == "cli":
        return [build / "cli/korvath-cli", "--port", port, image], None
    if kind == "ref":
        return [build / "bench/korvath_ref_client", "-i", image, port], None
    if kind == "skip":
        return [build / "cli/korvath-cli", "--skip-erased", "--port", port, image], None
    return [build / "bench/korvath_bench_window", "--download", port, image], WINDOW_ENV


def together(build: Path, work: Path, kinds, image: Path, records: int, name: str,
             sim_options=(), limit_s=None):
    """Each client of `kinds` downloads `image` through a korvath-sim of its own, all at the
    same moment. Korvath's clients start together; the reference client, which neither erases
    nor resets, starts when the first of them prints "Programming!", so that its records run
    beside theirs. With `records` above 0 every run must program exactly that many.
    Returns {kind: Download}."""
    # Far above the expected time: only a hung run is stopped.
    limit_s = limit_s or 60 + records * FLOOR_MS / 1000 * 3
    sims = {}
    try:
        for kind in kinds:
            sims[kind] = start_sim(build, work, f"{name}-{kind}", sim_options)
        programming = threading.Event()
        if all(kind == "ref" for kind in kinds):
            programming.set()
        processes, samples, runs = {}, {kind: {} for kind in kinds}, {}

        def one(kind):
            def seen(line):
                if line in ("Programming!", "Resetting target"):
                    samples[kind][line] = process_cpu_s(processes[kind].pid)
                    if line == "Programming!":
                        programming.set()

            if kind == "ref":
                programming.wait(limit_s)
            command, env = client_command(build, kind, sims[kind].path, image)
            try:
                runs[kind] = kh.run(command, limit_s, on_line=seen, env=env,
                                    on_start=lambda proc: processes.__setitem__(kind, proc))
            finally:
                # A Korvath client that ends before programming still lets the reference go.
                programming.set()

        threads = [threading.Thread(target=one, args=(kind,)) for kind in kinds]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        for sim in sims.values():
            sim.stop()
    results = {}
    for kind in kinds:
        run, times = runs[kind], sims[kind].program_times()
        if records and (run.exit_code != 0 or len(times) != records):
            raise RuntimeError(f"{kind} download of {records} records failed (exit "
                               f"{run.exit_code}, {len(times)} frames, last status "
                               f"{run.status!r}):\n{run.stderr}")
        marks = samples[kind]
        results[kind] = Download(kind, records, run, [b - a for a, b in zip(times, times[1:])],
                                 marks.get("Resetting target", float("nan"))
                                 - marks.get("Programming!", float("nan")), len(times))
        if records:
            log(f"  {kind:6} {records:5} records: {run.seconds:7.2f} s, "
                f"{results[kind].mean_ms:.3f} ms/record, CPU {run.cpu_share * 100:.2f} %")
    return results


def silent_connect(cfg: Config):
    """Both clients at once, each against its own silent controller: the connect phase is all
    waiting, so running them together costs nothing and halves the time."""
    image = download_image(cfg.work / "demo-silent.shx", 4)
    runs = together(cfg.build, cfg.work, ("cli", "window"), image, 0, "silent", ["--silent"],
                    cfg.silent_limit_s or 120)
    for kind, result in runs.items():
        run = result.run
        if cfg.silent_limit_s is None and run.status != "Connection Error":
            raise RuntimeError(f"{kind} against a silent controller ended with "
                               f"{run.status!r}:\n{run.stderr}")
        log(f"  {kind:6} silent connect: {run.seconds:6.2f} s, CPU {run.cpu_share * 100:.3f} %")
    return runs


# The image layer

def image_benchmarks(cfg: Config):
    small = lines_image(cfg.work / "lines-100.shx", 100)
    large = lines_image(cfg.work / f"lines-{LARGE_LINES}.shx", LARGE_LINES)
    exe = str(cfg.tool("bench/korvath_bench_image"))
    out = subprocess.run(
        [exe, "--image", str(small), "--image", str(large),
         f"--benchmark_repetitions={cfg.image_repetitions}", "--benchmark_format=json"],
        check=True, capture_output=True, text=True).stdout
    timing = {}
    for entry in json.loads(out)["benchmarks"]:
        if entry.get("run_type") != "iteration":
            continue
        op, lines = entry["run_name"].split("/lines:")
        timing.setdefault((op, int(lines)), []).append(entry["real_time"])  # ms

    peaks = {}
    for op in ("Prescan", "Convert"):
        for lines, path in ((100, small), (LARGE_LINES, large)):
            afters, growths = [], []
            for _ in range(cfg.peak_runs):
                text = subprocess.run([exe, "--peak", op.lower(), str(path)], check=True,
                                      capture_output=True, text=True).stdout
                values = dict(line.split() for line in text.splitlines())
                after, before = int(values["peak_kib_after"]), int(values["peak_kib_before"])
                afters.append(after)
                growths.append(after - before)
            peaks[(op, lines)] = (afters, growths)
    log("  image layer measured")
    sizes = {100: small.stat().st_size, LARGE_LINES: large.stat().st_size}
    return timing, peaks, sizes


# Start-up

def startup(cfg: Config):
    window = str(cfg.tool("bench/korvath_bench_window"))
    in_process, to_paint = [], []
    for _ in range(cfg.startup_runs):
        run = kh.run([window, "--first-paint"], 30, env=WINDOW_ENV)
        painted = [(t, line) for t, line in run.timed if line.startswith("first_paint_ms ")]
        if run.exit_code != 0 or not painted:
            raise RuntimeError(f"first paint not reported:\n{run.stderr}")
        to_paint.append(painted[0][0] * 1000)
        in_process.append(float(painted[0][1].split()[1]))

    program = []
    shot = cfg.work / "window.png"
    for _ in range(cfg.startup_runs):
        run = kh.run([cfg.tool("app/korvath")], 30,
                     env={**WINDOW_ENV, "KORVATH_SCREENSHOT": str(shot)})
        if run.exit_code != 0:
            raise RuntimeError(f"korvath did not take its picture:\n{run.stderr}")
        program.append(run.seconds * 1000)

    version = []
    for _ in range(cfg.startup_runs):
        run = kh.run([cfg.tool("cli/korvath-cli"), "--version"], 30)
        if run.exit_code != 0:
            raise RuntimeError("korvath-cli --version failed")
        version.append(run.seconds * 1000)

    xvfb = []
    if shutil.which("xvfb-run"):
        # One X server for all runs: its own start-up is not the window's.
        loop = f'for i in $(seq {cfg.startup_runs}); do "{window}" --first-paint; done'
        result = subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", "sh", "-c",
                                 loop], capture_output=True, text=True,
                                env={**os.environ, "QT_QPA_PLATFORM": "xcb"}, timeout=120)
        xvfb = [float(line.split()[1]) for line in result.stdout.splitlines()
                if line.startswith("first_paint_ms ")]
    log("  start-up measured")
    return {"in_process": in_process, "to_paint": to_paint, "program": program,
            "version": version, "xvfb": xvfb}


# The serial port alone, for the breakdown of a record's time

def link_benchmark(cfg: Config):
    exe = cfg.tool("bench/korvath_bench_link")
    if not exe.exists():
        return None
    result = subprocess.run([str(exe), "--benchmark_format=json"], capture_output=True,
                            text=True, timeout=300)
    if result.returncode != 0:
        return None
    figures = {}
    for entry in json.loads(result.stdout)["benchmarks"]:
        if entry.get("error_occurred"):
            log(f"  {entry['name']}: {entry.get('error_message') or 'failed'}")
            continue
        name = entry["name"].split("/")[0]
        figures[name] = {k: v for k, v in entry.items() if isinstance(v, (int, float))}
    log("  serial port measured")
    return figures


# Report

def machine():
    model = "unknown CPU"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    os_name = platform.system()
    release = Path("/etc/os-release")
    if release.exists():
        for line in release.read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                os_name = line.split("=", 1)[1].strip('"')
    virt = subprocess.run(["systemd-detect-virt"], capture_output=True, text=True).stdout.strip() \
        if shutil.which("systemd-detect-virt") else ""
    qt = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libqt6core6"],
                        capture_output=True, text=True).stdout.strip()
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "os": f"{os_name}, Linux {platform.release()}",
        "virt": virt if virt and virt != "none" else "",
        "qt": qt,
    }


def git_state(root: Path):
    head = subprocess.run(["git", "-C", str(root), "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True).stdout.strip()
    dirty = subprocess.run(["git", "-C", str(root), "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    return head + (" with uncommitted changes" if dirty else "")


def load_text():
    return " / ".join(f"{v:.2f}" for v in os.getloadavg())


def begin(prefix: str, build: Path):
    """What every measurement starts with: a work folder of its own that is also the programs'
    HOME, the moment, the load average, and the machine, commit and build type for the report.
    Returns (work, started, load, info)."""
    work = Path(tempfile.mkdtemp(prefix=prefix))
    os.environ.update(kh.private_environment(work))
    started = datetime.datetime.now(datetime.timezone.utc)
    load = load_text()
    info = machine()
    info["git"] = git_state(Path(__file__).resolve().parent.parent)
    cache = build / "CMakeCache.txt"
    info["build_type"] = next((line.split("=", 1)[1] for line in cache.read_text().splitlines()
                               if line.startswith("CMAKE_BUILD_TYPE:")), "?")
    return work, started, load, info


def section_bounds(text, heading):
    """Where the Markdown section under `heading` starts and ends in `text` (at the next "## "
    heading or the end), or None when there is none."""
    start = text.find("\n" + heading + "\n")
    if start < 0:
        return None
    after = text.find("\n## ", start + 1)
    return start + 1, after + 1 if after >= 0 else len(text)


def replace_section(text, heading, new):
    """`text` with the section `new` in place of the one under `heading` (or at the end when
    there is none)."""
    bounds = section_bounds(text, heading)
    if bounds is None:
        return text.rstrip("\n") + "\n\n" + new
    rest = text[bounds[1]:]
    return text[:bounds[0]] + new + ("\n" + rest if rest else "")


def verdict(ok):
    return "met" if ok else "**missed**"


def build_report(cfg, info, results):
    rows = []  # (part, what, result, target, verdict)
    medium, full = results["medium"], results["full"]
    floor_target = FLOOR_MS * RECORD_TARGET

    # Each repetition ran the three clients at the same moment: a ratio is taken within one
    # repetition, and its target is met only when every repetition meets it.
    groups = [(f"{cfg.medium_records}-record image", medium)]
    if full:
        groups.append((f"{FULL_RECORDS}-record image", full))

    # 1. Record throughput: every record of a client's runs pooled.
    for label, reps in groups:
        for kind in CLIENTS:
            intervals = [t for rep in reps for t in rep[kind].intervals_ms]
            m = statistics.fmean(intervals)
            ours = kind != "ref"
            rows.append(("1", f"Time per record, {CLIENT_NAMES[kind]}, {label}, {len(reps)} "
                              "runs pooled",
                         f"{stats_text(intervals)}; floor {FLOOR_MS:.2f} ms, "
                         f"+{(m / FLOOR_MS - 1) * 100:.1f} %",
                         f"≤ {floor_target:.2f} ms" if ours else "—",
                         verdict(m <= floor_target) if ours else "reported"))
        for kind in ("cli", "window"):
            ratios = [rep[kind].mean_ms / rep["ref"].mean_ms for rep in reps]
            rows.append(("1", f"Mean time per record, {CLIENT_NAMES[kind]} / reference client, "
                              f"{label}, each of {len(reps)} runs",
                         ratio_text(ratios), f"≤ {REFERENCE_TARGET}",
                         verdict(max(ratios) <= REFERENCE_TARGET)))

    # 2. CPU, on the largest image measured. The reference client's share shows what a wake-up
    # costs on this machine in these runs.
    label, reps = groups[-1]
    for kind in CLIENTS:
        shares = [rep[kind].cpu_share * 100 for rep in reps]
        seconds = [rep[kind].cpu_s for rep in reps]
        ours = kind != "ref"
        rows.append(("2", f"CPU, whole {label.removesuffix(' image')} download, "
                          f"{CLIENT_NAMES[kind]}, median of {len(reps)} runs",
                     f"{median(shares):.2f} % ({spread(shares, '{:.2f}')}; "
                     f"{median(seconds):.2f} s CPU in "
                     f"{median(rep[kind].wall_s for rep in reps):.1f} s)",
                     "< 3 %" if ours else "—",
                     verdict(median(shares) < CPU_TARGET * 100) if ours else "reported"))
    for kind, run in results["silent"].items():
        rows.append(("2", f"CPU, silent controller's connect phase, "
                          f"{'korvath-cli' if kind == 'cli' else 'window'}",
                     f"{run.cpu_share * 100:.3f} % ({run.cpu_s:.3f} s CPU in {run.wall_s:.1f} s)",
                     "< 3 %", verdict(run.cpu_share < CPU_TARGET)))

    # 3. Image layer
    timing, peaks, sizes = results["image"]
    # The image is read into memory once and everything works on those bytes: memory may grow
    # with the file by its own size and the line table, no more.
    file_growth_kib = (sizes[LARGE_LINES] - sizes[100]) / 1024
    memory_bound_kib = MEMORY_PER_FILE_BYTE * file_growth_kib + 64
    for op, label in (("Prescan", "Read and pre-scan"), ("Convert", "Record conversion")):
        for lines in (100, LARGE_LINES):
            times = timing[(op, lines)]
            # The pre-scan checks every line; the conversion sends every data line.
            count, unit = (lines, "line") if op == "Prescan" else (lines - 2, "record")
            rows.append(("3", f"{label}, {lines}-line image, time",
                         f"{median(times):.3f} ms ({spread(times, '{:.3f}')}), "
                         f"{median(times) * 1e6 / count:.0f} ns a {unit}", "—", "reported"))
        small_after, small_growth = peaks[(op, 100)]
        large_after, large_growth = peaks[(op, LARGE_LINES)]
        grew = median(large_growth) - median(small_growth)
        rows.append(("3", f"{label}, peak memory, 100 vs {LARGE_LINES} lines",
                     f"{median(small_after)} vs {median(large_after)} KiB peak RSS; "
                     f"growth while running {median(small_growth)} vs {median(large_growth)} KiB; "
                     f"the files differ by {file_growth_kib:.0f} KiB",
                     f"growth ≤ {MEMORY_PER_FILE_BYTE:g} × the file",
                     verdict(grew <= memory_bound_kib)))

    # 4. Window overhead, window and korvath-cli side by side in each repetition
    for label, reps in groups:
        ratios = [rep["window"].wall_s / rep["cli"].wall_s for rep in reps]
        phase = [rep["window"].programming_s / rep["cli"].programming_s for rep in reps]
        rows.append(("4", f"Window / korvath-cli, total time, {label}, each of {len(reps)} runs",
                     ratio_text(ratios), f"≤ {RATIO_TARGET}",
                     verdict(max(ratios) <= RATIO_TARGET)))
        rows.append(("4", f"Window / korvath-cli, programming phase only, {label}, same runs",
                     ratio_text(phase), "—", "reported"))

    # 5. Start-up
    s = results["startup"]
    rows.append(("5", "Window to first paint (offscreen), from main()",
                 f"{median(s['in_process']):.1f} ms ({spread(s['in_process'], '{:.1f}')})",
                 "—", "reported"))
    rows.append(("5", "Window to first paint (offscreen), from process start",
                 f"{median(s['to_paint']):.1f} ms ({spread(s['to_paint'], '{:.1f}')})",
                 "—", "reported"))
    if s["xvfb"]:
        rows.append(("5", "Window to first paint (X server, Xvfb), from main()",
                     f"{median(s['xvfb']):.1f} ms ({spread(s['xvfb'], '{:.1f}')})", "—",
                     "reported"))
    rows.append(("5", "korvath: start, show, grab the window, exit (offscreen)",
                 f"{median(s['program']):.1f} ms ({spread(s['program'], '{:.1f}')})", "—",
                 "reported"))
    rows.append(("5", "korvath-cli --version, start to exit",
                 f"{median(s['version']):.1f} ms ({spread(s['version'], '{:.1f}')})", "—",
                 "reported"))
    return rows


def table(rows):
    header = ("#", "Measurement", "Result", "Target", "Verdict")
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def runs_table(*images):
    """A row for each client of each repetition of each image (lists of {kind: Download})."""
    lines = ["| Run | Client | Records | Total s | Programming s | ms a record: mean (median, "
             "p99) | CPU s | CPU % |", "|---|---|---|---|---|---|---|---|"]
    for number, runs in (pair for reps in images for pair in enumerate(reps, 1)):
        for r in runs.values():
            programming = "—" if r.kind == "ref" else f"{r.programming_s:.2f}"
            lines.append(
                f"| {number} | {CLIENT_NAMES[r.kind]} | {r.records} | {r.wall_s:.2f} | "
                f"{programming} | "
                "{:.3f} ({:.3f}, {:.3f})".format(*record_stats(r.intervals_ms))
                + f" | {r.cpu_s:.3f} | {r.cpu_share * 100:.3f} |")
    return "\n".join(lines)


def markdown(cfg, info, results, rows, started, finished, load):
    link = results.get("link")
    parts = [
        "# Performance",
        "",
        f"Generated by `scripts/bench.sh --downloads{' --quick' if cfg.quick else ''}` on "
        f"{started:%Y-%m-%d %H:%M} UTC ({(finished - started).total_seconds() / 60:.1f} min), "
        f"commit {info['git']}, {info['build_type']} build.",
        "",
        f"Machine: {info['cpu']}, {info['cores']} cores"
        f"{' (virtualised: ' + info['virt'] + ')' if info['virt'] else ''}; {info['os']}; "
        f"Qt {info['qt']}. Load average {load[0]} at the start, {load[1]} at the end "
        "(other work may share the machine; medians and spreads are given for that reason).",
        "",
        table(rows),
        "",
        "Times per record pool every record interval of a client's runs. A ratio is taken "
        "within each repetition, where its two clients ran at the same moment, and given as "
        "lowest–highest over the repetitions with their mean; a ratio's target is met only "
        "when every repetition meets it. Spread elsewhere is lowest–highest over the repeated "
        "runs.",
        "",
        "## How it is measured",
        "",
        f"- **Line floor** of one record: {PROGRAM_FRAME_BYTES} bytes out and 1 byte back at 10 "
        f"bits a byte ({(PROGRAM_FRAME_BYTES + 1) * BAUD_BYTE_MS:.2f} ms at 38400 baud), plus the "
        f"quiet period of more than {REPLY_QUIET_MS:.0f} ms that ends every reply: "
        f"{FLOOR_MS:.2f} ms.",
        "- **Downloads**: `korvath-sim --program-ms 0 --log` on a pseudo-terminal paces both "
        "directions at 38400 8N1 and logs when each request's last byte has arrived. A record's "
        "time is the interval between two consecutive program frames in that log. Images are "
        "made with `srec_cat` (64-byte S2 records from E00000 up, plus the last block E7FFC0). "
        "Every run also pauses 1 s per sector (8 sectors) and 8 s for the reset, by design. "
        f"Each image is downloaded in {cfg.repeats} repetitions. In each, korvath-cli, the "
        "window and the reference client (`bench/ref_client.c`: probe, password, then each "
        "record's frame, its ACK and exactly 2 ms of quiet; no erase, no reset) program the "
        "same image at the same moment, each through a simulator of its own: korvath-cli and "
        "the window start together, the reference client when the first of them prints "
        "\"Programming!\", so that the three programming phases overlap and what the "
        "simulator and the machine cost at that moment shows in the reference client's "
        "figures as well as in ours.",
        "- **Window**: `korvath_bench_window --download` builds the program's window, port "
        "opener and download thread, types the port, clicks Open, picks the image through the "
        "file command and clicks Download (Qt offscreen platform, so the window still paints "
        "every progress step).",
        "- **CPU**: user + system time of the whole process (all threads) from `wait4`, divided "
        "by its wall time. The silent connect phase is 50 probes against `korvath-sim --silent`, "
        "each waiting its 1000 ms time-out; both clients run it at the same time, each against "
        "its own controller."
        + (f" (Quick run: stopped after {cfg.silent_limit_s:.0f} s.)" if cfg.silent_limit_s
           else ""),
        "- **Image layer**: `korvath_bench_image` (Google Benchmark, "
        f"{cfg.image_repetitions} repetitions) reads an image into memory and pre-scans it, "
        "and runs the programming loop's work on every record of the image as read (take the "
        "line, build the frame, send it to a port that acknowledges at once on a clock that "
        "never sleeps). The large image is the largest the pre-scan takes on models 1 and 2: "
        "a record for every 64 bytes of flash. Peak memory is the peak resident size (`VmHWM`) "
        f"of a separate process doing only that one job (read included), {cfg.peak_runs} runs "
        "each; growth is "
        "that peak minus the resident size just before the job (the peak is reset there through "
        "`/proc/self/clear_refs`; `ru_maxrss` would carry the parent's peak across fork and "
        "exec).",
        "- **Start-up**: `korvath_bench_window --first-paint` reports the time from `main()` to "
        "the end of the window's first paint; the driver also times it from starting the "
        "process to reading that line. `korvath` itself is timed from start to exit with "
        "`KORVATH_SCREENSHOT` set (it shows the window, grabs it into a PNG and quits).",
        "",
        "## Downloads, run by run",
        "",
        runs_table(results["medium"], results["full"]),
        "",
    ]
    trip = (link or {}).get("BM_FrameRoundTripOnPort", {}).get("median_ms")
    exchange = (link or {}).get("BM_FrameExchange", {}).get("median_ms")
    silent = (link or {}).get("BM_SilentExchange", {}).get("cpu_ms_per_wait")
    if None not in (trip, exchange, silent):
        per_record = statistics.fmean(
            [t for rep in results["medium"] for t in rep["cli"].intervals_ms])
        ref_records = [t for rep in results["medium"] for t in rep["ref"].intervals_ms]
        ref_text = (f" The reference client's record takes {statistics.fmean(ref_records):.2f} ms "
                    "on the same line at the same moments.")
        line_ms = (PROGRAM_FRAME_BYTES + 1) * BAUD_BYTE_MS
        parts += [
            "## Where a record's time goes",
            "",
            "From `korvath_bench_link` (an unpaced pseudo-terminal device that answers every "
            "73-byte frame with an ACK at once):",
            "",
            f"- frame out and ACK back through the serial port alone: {trip:.3f} ms (median of "
            "200)",
            f"- the same through `Link::exchangeFrame`, which adds the quiet period: "
            f"{exchange:.3f} ms, so the quiet wait itself lasts {exchange - trip:.3f} ms "
            f"against the {REPLY_QUIET_MS:.0f} ms the protocol asks for",
            f"- a silent 1000 ms reply wait costs {silent:.3f} ms of CPU",
            "",
            f"On the paced line a record of korvath-cli takes {per_record:.2f} ms on average: "
            f"{line_ms:.2f} ms of line time and {per_record - line_ms:.2f} ms of reply wait, the "
            f"simulator's own delay and our work, against the {REPLY_QUIET_MS:.0f} ms quiet "
            f"period the protocol asks for.{ref_text}",
            "",
        ]
    return "\n".join(parts)



def main():
    parser = arguments(__doc__)
    parser.add_argument("--quick", action="store_true",
                        help="small images, fewer runs, no full image (a few minutes)")
    args = parser.parse_args()

    build = args.build.resolve()
    for tool in ("cli/korvath-cli", "tools/sim/korvath-sim", "app/korvath",
                 "bench/korvath_bench_window", "bench/korvath_bench_image",
                 "bench/korvath_ref_client"):
        if not (build / tool).exists():
            sys.exit(f"perf.py: {build / tool} is not built")
    work, started, load_start, info = begin("korvath-bench-", build)
    cfg = Config(build=build, out=args.out, quick=args.quick, work=work)
    if args.quick:
        cfg.medium_records, cfg.repeats, cfg.full = 128, 2, False
        cfg.silent_limit_s, cfg.startup_runs, cfg.image_repetitions, cfg.peak_runs = 10, 3, 3, 3


    results = {}
    log("Start-up")
    results["startup"] = startup(cfg)
    log("Image layer")
    results["image"] = image_benchmarks(cfg)
    log("Serial port")
    results["link"] = link_benchmark(cfg)
    log("Silent controller")
    results["silent"] = silent_connect(cfg)

    medium_image = download_image(work / f"records-{cfg.medium_records}.shx", cfg.medium_records)
    results["medium"], results["full"] = [], []
    for rep in range(cfg.repeats):
        log(f"Downloads of {cfg.medium_records} records, all three clients at once, repetition "
            f"{rep + 1} of {cfg.repeats}")
        results["medium"].append(together(cfg.build, work, CLIENTS, medium_image,
                                          cfg.medium_records, f"{cfg.medium_records}-{rep + 1}"))
    if cfg.full:
        full_image = make_image(work / "full.shx", [(0xE00000, 0xE80000)])
        for rep in range(cfg.repeats):
            log(f"Downloads of the full {FULL_RECORDS}-record image, all three clients at once, "
                f"repetition {rep + 1} of {cfg.repeats}")
            results["full"].append(together(cfg.build, work, CLIENTS, full_image, FULL_RECORDS,
                                             f"full-{rep + 1}"))

    finished = datetime.datetime.now(datetime.timezone.utc)
    load = (load_start, load_text())
    rows = build_report(cfg, info, results)
    print()
    print(f"{info['cpu']}, {info['cores']} cores; {info['os']}")
    print(table(rows))
    if cfg.out:
        cfg.out.parent.mkdir(parents=True, exist_ok=True)
        text = markdown(cfg, info, results, rows, started, finished, load)
        # bench/scale.py (bench.sh --scale), bench/usb_latency.py (bench.sh --usb) and
        # bench/skip_erased.py (bench.sh --skip-erased) write sections of their own; they stay
        # as they are.
        old = cfg.out.read_text() if cfg.out.exists() else ""
        for section in (SCALE_SECTION, USB_SECTION, PADDED_SECTION):
            if bounds := section_bounds(old, section):
                text = text.rstrip("\n") + "\n\n" + old[bounds[0]:bounds[1]]
        cfg.out.write_text(text)
        print(f"\nWritten: {cfg.out}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
