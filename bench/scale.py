#!/usr/bin/env python3
"""Measures many units at once: one korvath-cli run each with 1, 8, 32 and 64 ports against one
paced korvath-sim serving them all, and the ideal reference client through the same simulator,
the whole series repeated. Prints the table and writes it as a report of its own.
Run through scripts/bench.sh --scale, which builds first.

One korvath-sim serves max(units) pseudo-terminals for korvath-cli, each with --units successive
controllers: the k-th run that uses a port meets its k-th unit, which arrives --unit-gap-ms after
the one before restarted (longer than korvath-cli's reset wait, so a run never meets the next
unit). Beyond them, a port of its own for each run of the reference client, which programs the
same image at the same time as the single unit: it starts when korvath-cli prints
"Programming!", so both see the same machine. It runs again alongside the 32 units, which shows
what the simulator and the machine lose under that load without Korvath's part. A record's time
is the interval between two consecutive program frames of one unit in the simulator's log; a
run's figures pool the intervals of all its units. Every ratio is taken within one repetition of
the series and reported as the range over the repetitions.
"""

import datetime
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.dont_write_bytecode = True  # nothing written next to the sources
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import korvath_harness as kh  # noqa: E402
import perf  # noqa: E402

SECTION = perf.SCALE_SECTION
SCALE_TARGET = 1.03  # N-unit mean over the single unit's, at 32 units
CLI_CPU_TARGET = 10.0  # % of one core, korvath-cli in total, at 32 units
SIM_CPU_TARGET = 1.0  # % of one core per download
REF_TARGET = 1.004  # korvath-cli / reference, single unit
TARGET_UNITS = 32
# After "Done!" korvath-cli has waited 8 s for the reset and probed once; the next unit on that
# port comes later, so that probe never finds it.
UNIT_GAP_MS = 10000
LOG_LINE = re.compile(r"^(?:(\d+)(?:\.(\d+))? )?\s*(\d+\.\d+) ms  (\S+)")


def log(message):
    print(message, file=sys.stderr, flush=True)


class SimPorts:
    """One korvath-sim serving `count` pseudo-terminals, logging every request to a file."""

    def __init__(self, exe, work, count, units, options):
        self.log_path = Path(work) / "sim.log"
        self.command = [str(exe), "--count", str(count), "--units", str(units),
                        "--unit-gap-ms", str(UNIT_GAP_MS), *options, "--log"]
        with open(self.log_path, "wb") as sink:
            # Standard input is a pipe we hold: if this driver dies, the simulator ends too.
            self.proc = subprocess.Popen(self.command, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=sink)
        deadline = time.monotonic() + kh.SIM_START_SECONDS
        self.paths = []
        while len(self.paths) < count:
            path = kh.read_line(self.proc.stdout.fileno(), deadline)
            if not path or not path.startswith("/dev/"):
                self.stop()
                raise RuntimeError(f"korvath-sim printed {path!r} as port {len(self.paths) + 1}: "
                                   + self.log_path.read_text(errors="replace")[-2000:])
            self.paths.append(path)

    def cpu_s(self):
        return perf.process_cpu_s(self.proc.pid)

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
        try:
            self.proc.wait(timeout=kh.SIM_STOP_SECONDS)
        except subprocess.TimeoutExpired:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        finally:
            self.proc.stdin.close()
            self.proc.stdout.close()

    def program_times(self):
        """{(port, unit): [ms at which each program frame had arrived]}; ports and units 1-based."""
        times = {}
        with open(self.log_path, errors="replace") as lines:
            for line in lines:
                found = LOG_LINE.match(line)
                if found and found[4] == "program":
                    key = (int(found[1] or 1), int(found[2] or 1))
                    times.setdefault(key, []).append(float(found[3]))
        return times


@dataclass
class Stage:
    name: str  # "reference" or "korvath-cli"
    units: int
    ports: list  # (port number, unit number) pairs it used
    rep: int = 0  # which repetition of the series, from 0
    alongside: "Stage | None" = None  # the reference client, run during this one's programming
    wall_s: float = 0.0
    client_cpu_s: float = 0.0
    sim_cpu_s: float = 0.0
    load: tuple = ()
    exit_code: int = 0
    verdicts: dict = field(default_factory=dict)  # port path -> last status
    intervals: list = field(default_factory=list)
    unit_means: list = field(default_factory=list)
    note: str = ""

    @property
    def mean(self):
        return statistics.fmean(self.intervals)

    @property
    def client_cpu_pct(self):
        return self.client_cpu_s / self.wall_s * 100

    @property
    def served_s(self):
        """The download time the simulator served: each unit's whole run, and the reference
        client's when it ran alongside."""
        return self.wall_s * self.units + (self.alongside.wall_s if self.alongside else 0)


def final_statuses(run, paths):
    """The last status line of each port in a several-port run ("PORT: text")."""
    last = {}
    for line in run.stdout:
        for path in paths:
            if line.startswith(path + ": "):
                last[path] = line[len(path) + 2:]
    return last


def run_reference(cfg, sim, stage, image):
    port = sim.paths[stage.ports[0][0] - 1]
    run = kh.run([cfg.build / "bench" / "korvath_ref_client", "-i", image, port],
                 60 + cfg.records * 0.1)
    stage.wall_s, stage.client_cpu_s, stage.exit_code = run.seconds, run.cpu_seconds, run.exit_code
    stage.verdicts = {port: "Done!" if run.exit_code == 0 else run.status}
    stage.note = f"by its own clock: {run.status}"
    return run.stderr


def run_cli(cfg, sim, stage, image):
    """One korvath-cli run with all of the stage's ports; the reference client alongside starts
    when the first port's programming does."""
    paths = [sim.paths[port - 1] for port, _ in stage.ports]
    command = [cfg.build / "cli" / "korvath-cli"]
    for path in paths:
        command += ["--port", path]
    companion = []

    def on_line(text):
        started = text == "Programming!" or text == f"{paths[0]}: Programming!"
        if stage.alongside and not companion and started:
            companion.append(threading.Thread(
                target=lambda: companion.append(
                    run_reference(cfg, sim, stage.alongside, image)), daemon=True))
            companion[0].start()

    run = kh.run([*command, image], 120 + cfg.records * 0.1, on_line)
    stage.wall_s, stage.client_cpu_s, stage.exit_code = run.seconds, run.cpu_seconds, run.exit_code
    stage.verdicts = {paths[0]: run.status} if len(paths) == 1 else final_statuses(run, paths)
    errors = run.stderr + ("\n(timed out)" if run.timed_out else "")
    if stage.alongside:
        if not companion:
            raise RuntimeError(f"korvath-cli never reached \"Programming!\":\n{errors}")
        companion[0].join(60 + cfg.records * 0.1)
        if len(companion) < 2 or stage.alongside.exit_code != 0:
            raise RuntimeError(f"the reference client failed: {stage.alongside.verdicts}\n"
                               + (companion[1] if len(companion) > 1 else ""))
    return errors


def measure(cfg, sim, stage, image):
    load_before = os.getloadavg()[0]
    cpu_before = sim.cpu_s()
    errors = run_cli(cfg, sim, stage, image)
    stage.sim_cpu_s = sim.cpu_s() - cpu_before
    stage.load = (load_before, os.getloadavg()[0])
    failed = {p: s for p, s in stage.verdicts.items() if s != "Done!"}
    if stage.exit_code != 0 or failed or len(stage.verdicts) != stage.units:
        raise RuntimeError(f"{stage.units} units: exit {stage.exit_code}, {len(stage.verdicts)} "
                           f"verdicts, not done: {failed}\n{errors[-4000:]}")
    log(f"  {stage.units:2} units, run {stage.rep + 1}: {stage.wall_s:6.1f} s, korvath-cli CPU "
        f"{stage.client_cpu_pct:.2f} %, simulator CPU {stage.sim_cpu_s:.2f} s")


def collect(runs, times, records):
    """Each run's record intervals from the simulator's log, per unit and pooled."""
    for run in runs:
        for key in run.ports:
            frames = times.get(key, [])
            if len(frames) != records:
                raise RuntimeError(f"port {key[0]} unit {key[1]}: {len(frames)} program frames "
                                   f"in the simulator's log, {records} expected")
            gaps = [b - a for a, b in zip(frames, frames[1:])]
            run.intervals += gaps
            run.unit_means.append(statistics.fmean(gaps))


def units_text(n):
    return f"{n} unit{'s' if n > 1 else ''}"


def rows_of(stages):
    """(measurement, result, target, verdict) rows. Figures of one client pool its runs; a ratio
    is taken within each repetition of the series, and its target is met only when every
    repetition meets it."""
    series = {}  # units -> that run in each repetition
    for s in stages:
        series.setdefault(s.units, []).append(s)
    single = series[1]
    runs_text = f"{len(single)} run{'s' if len(single) > 1 else ''}"
    rows = []
    for n, runs in series.items():
        for who, pooled in ((f"korvath-cli, {units_text(n)}", runs),
                            (f"reference client alongside {units_text(n)}",
                             [s.alongside for s in runs if s.alongside])):
            if not pooled:
                continue
            unit_means = [m for run in pooled for m in run.unit_means]
            spread = (f"; {'unit' if len(pooled[0].unit_means) > 1 else 'run'} means "
                      f"{min(unit_means):.3f}–{max(unit_means):.3f}" if len(unit_means) > 1
                      else "")
            rows.append((f"Time per record, {who}, {runs_text} pooled",
                         perf.stats_text([t for run in pooled for t in run.intervals]) + spread,
                         "—", "reported"))
    for n, runs in series.items():
        if runs[0].alongside:
            ratios = [s.mean / s.alongside.mean for s in runs]
            judged = n == 1
            rows.append((f"Mean time per record, korvath-cli ({units_text(n)}) / reference "
                         f"client alongside, each of {runs_text}", perf.ratio_text(ratios),
                         f"≤ {REF_TARGET}" if judged else "—",
                         perf.verdict(max(ratios) <= REF_TARGET) if judged else "reported"))
    for n, runs in list(series.items())[1:]:
        ratios = [s.mean / one.mean for s, one in zip(runs, single)]
        judged = n == TARGET_UNITS
        rows.append((f"Mean time per record, {n} units / 1 unit, each of {runs_text}",
                     perf.ratio_text(ratios), f"≤ {SCALE_TARGET}" if judged else "—",
                     perf.verdict(max(ratios) <= SCALE_TARGET) if judged else "reported"))
    for n, runs in series.items():
        pcts = [s.client_cpu_pct for s in runs]
        judged = n == TARGET_UNITS
        rows.append((f"CPU of korvath-cli, {units_text(n)}, whole run, median of {runs_text}",
                     f"{statistics.median(pcts):.2f} % of a core "
                     f"({perf.spread(pcts, '{:.2f}')} %)",
                     f"< {CLI_CPU_TARGET:.0f} %" if judged else "—",
                     perf.verdict(statistics.median(pcts) < CLI_CPU_TARGET) if judged
                     else "reported"))
    for n, runs in series.items():
        cpu_s = sum(s.sim_cpu_s for s in runs)
        pct = cpu_s / sum(s.served_s for s in runs) * 100
        rows.append((f"CPU of korvath-sim per download, {units_text(n)}"
                     + (" and the reference client" if runs[0].alongside else "")
                     + f", {runs_text} together",
                     f"{pct:.3f} % of a core ({cpu_s:.2f} s)", f"< {SIM_CPU_TARGET:.0f} %",
                     perf.verdict(pct < SIM_CPU_TARGET)))
    return rows


def table(rows):
    header = ("Measurement", "Result", "Target", "Verdict")
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in rows])


def runs_table(stages):
    lines = ["| Repetition | Run | Wall s | Client CPU s | Simulator CPU s | Load average (1 min) "
             "before → after | Records timed |", "|---|---|---|---|---|---|---|"]
    for s in stages:
        lines.append(f"| {s.rep + 1} | korvath-cli, {units_text(s.units)} | {s.wall_s:.1f} | "
                     f"{s.client_cpu_s:.2f} | {s.sim_cpu_s:.2f} | "
                     f"{s.load[0]:.2f} → {s.load[1]:.2f} | {len(s.intervals)} |")
        if s.alongside:
            r = s.alongside
            lines.append(f"| {s.rep + 1} | reference client alongside ({r.note}) | "
                         f"{r.wall_s:.1f} | {r.client_cpu_s:.2f} | (above) | | "
                         f"{len(r.intervals)} |")
    return "\n".join(lines)


def section(cfg, info, sim_command, stages, rows, started, minutes, loads):
    return "\n".join([
        SECTION,
        "",
        f"Generated by `scripts/bench.sh --scale{' --quick' if cfg.quick else ''}` on "
        f"{started:%Y-%m-%d %H:%M} UTC ({minutes:.1f} min), commit {info['git']}, "
        f"{info['build_type']} build. Machine: {info['cpu']}, {info['cores']} cores"
        f"{' (virtualised: ' + info['virt'] + ')' if info['virt'] else ''}. Load average "
        f"{loads[0]} at the start, {loads[1]} at the end (other work may share the machine).",
        "",
        table(rows),
        "",
        f"- **Simulator**: one `korvath-sim {' '.join(sim_command[1:])}`, paced at 38400 8N1; "
        f"`--program-ms {cfg.program_ms:g}` is the controller's time to program a record, so a "
        f"record takes at least {cfg.floor_ms:.2f} ms: 73 bytes out, the programming, 1 byte "
        "back and 2 ms of quiet.",
        f"- **Image**: {cfg.records} records of 64 bytes ({cfg.records // 16} KiB, made by "
        "`srec_cat`), the same for every unit. The whole flash (8192 records) would take "
        f"about 3 min a run; {cfg.records} records keep all runs within minutes and still "
        f"give every unit {cfg.records - 1} record intervals, 1 % of them beyond the p99.",
        "- **Runs**, one after the other in that simulator: one `korvath-cli` run each with "
        f"{', '.join(str(n) for n in cfg.units)} ports (`--port` repeated), that series "
        f"{cfg.repeats} times; every unit must end with \"Done!\". The reference client "
        "(`bench/ref_client.c`: probe, password, then each record's frame, its ACK and exactly "
        "2 ms of quiet) programs the same image on a port of its own from the moment the "
        "single unit prints \"Programming!\", so that both meet the same simulator and the "
        f"same machine; again alongside the {TARGET_UNITS} units, to show what the simulator "
        "and the machine lose under that load without Korvath's part. A record's time is the "
        "interval between two consecutive program frames of one unit in the simulator's log "
        "(when each frame's last byte has arrived); a run's mean, median and p99 pool all its "
        "units, and a client's rows pool its runs. A ratio is taken within each repetition "
        "(korvath-cli against the reference client beside it, or against the single unit of "
        "the same series) and given as lowest–highest over the repetitions with their mean; "
        "a ratio's target is met only when every repetition meets it.",
        "- **CPU**: korvath-cli's user + system time (all threads, from `wait4`) over its wall "
        "time. The simulator's from the scheduler (`/proc/PID/task/*/schedstat`) over the same "
        "run, divided by the download time it served (units × wall time, plus the reference "
        "client's); its log of every request is included.",
        "",
        runs_table(stages),
        "",
    ])


@dataclass
class Config:
    build: Path
    records: int
    units: list
    program_ms: float
    quick: bool
    repeats: int

    @property
    def floor_ms(self):
        return (73 + 1) * perf.BAUD_BYTE_MS + self.program_ms + perf.REPLY_QUIET_MS


def main():
    parser = perf.arguments(__doc__)
    parser.add_argument("--quick", action="store_true", help="512 records instead of 2048")
    parser.add_argument("--records", type=int, help="records in the image (default 2048)")
    parser.add_argument("--repeats", type=int,
                        help="repetitions of the whole series (default 3, 2 with --quick)")
    parser.add_argument("--units", default="1,8,32,64",
                        help="units of each korvath-cli run, comma-separated, the first 1")
    parser.add_argument("--program-ms", type=float, default=2.0,
                        help="korvath-sim --program-ms (default 2, the simulator's own)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (logs)")
    args = parser.parse_args()
    units = [int(n) for n in args.units.split(",")]
    if units[0] != 1 or not all(1 <= n <= 64 for n in units) or len(set(units)) < len(units):
        parser.error("--units: from 1 to 64 each, each once, the first 1")
    cfg = Config(args.build.resolve(), args.records or (512 if args.quick else 2048), units,
                 args.program_ms, args.quick, args.repeats or (2 if args.quick else 3))
    if not 2 <= cfg.records <= 8192:
        parser.error("--records: from 2 to 8192")
    if cfg.repeats < 1:
        parser.error("--repeats: 1 or more")

    for tool in ("cli/korvath-cli", "tools/sim/korvath-sim", "bench/korvath_ref_client"):
        if not (cfg.build / tool).exists():
            sys.exit(f"scale.py: {cfg.build / tool} is not built")
    work, started, load_start, info = perf.begin("korvath-scale-", cfg.build)

    image = perf.download_image(work / f"records-{cfg.records}.shx", cfg.records)
    # Every korvath-cli port meets one fresh unit per run that uses it; every run of the
    # reference client has a port of its own beyond them (its unit never restarts).
    stages, used, port_count = [], {}, max(units)
    for repetition in range(cfg.repeats):
        for n in units:
            pairs = []
            for port in range(1, n + 1):
                used[port] = used.get(port, 0) + 1
                pairs.append((port, used[port]))
            stage = Stage("korvath-cli", n, pairs, repetition)
            if n in (1, TARGET_UNITS):
                port_count += 1
                stage.alongside = Stage("reference", 1, [(port_count, 1)], repetition)
            stages.append(stage)
    sim = SimPorts(cfg.build / "tools/sim/korvath-sim", work, port_count, max(used.values()),
                   ["--program-ms", f"{cfg.program_ms:g}"])
    log(f"korvath-sim: {len(sim.paths)} ports, {cfg.records}-record image, {cfg.repeats} "
        f"repetitions, work folder {work}")
    try:
        for stage in stages:
            measure(cfg, sim, stage, image)
    finally:
        sim.stop()
    collect([*stages, *(s.alongside for s in stages if s.alongside)], sim.program_times(),
            cfg.records)

    finished = datetime.datetime.now(datetime.timezone.utc)
    loads = (load_start, perf.load_text())
    rows = rows_of(stages)
    print()
    print(f"{info['cpu']}, {info['cores']} cores; load average {loads[0]} at the start, "
          f"{loads[1]} at the end")
    print(f"korvath-sim {' '.join(sim.command[1:])}; {cfg.records}-record image; "
          f"line floor {cfg.floor_ms:.2f} ms a record")
    print(table(rows))
    print()
    print(runs_table(stages))
    if args.out:
        text = section(cfg, info, sim.command, stages, rows, started,
                       (finished - started).total_seconds() / 60, loads)
        old = args.out.read_text() if args.out.exists() else "# Performance\n"
        args.out.write_text(perf.replace_section(old, SECTION, text))
        print(f"\nWritten: {args.out}")
    if args.keep:
        print(f"Work folder kept: {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
