#!/usr/bin/env python3
"""End-to-end runs of korvath-cli against korvath-sim: clean downloads per device model, the
fault matrix (a faulty controller, then a clean one on the same port) and the bad-file matrix
(nothing may be erased when a file is refused).

  e2e.py --cli PATH --sim PATH --work DIR case NAME...        one or more cases, for ctest
  e2e.py --cli PATH --sim PATH --work DIR report --out FILE   every row, written as Markdown
  e2e.py list                                                 the case names
"""

import argparse
import dataclasses
import datetime
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Optional

sys.dont_write_bytecode = True  # nothing written next to the sources
import harness  # noqa: E402
from harness import PortRelay, Sim, run_cli

# A download of a small image at line rate takes about 20 s: 1 s per sector and the 8 s reset
# wait are part of the procedure.
CLEAN_BOUND_S = 60
FULL_BOUND_S = 150
# A refused file is refused right after the password: a second at line rate.
REFUSAL_BOUND_S = 20
STOP_GRACE_S = 30

STATUS_ORDER_HEAD = ["Idle", "Connecting", "Sending Password", "Erasing external flash"]
STATUS_ORDER_TAIL = ["Programming!", "Resetting target", "Done!"]


@dataclasses.dataclass
class Env:
    cli: Path
    sim: Path
    work: Path

    def image(self, name, lines, end="\r\n"):
        return harness.write_lines(self.work / name, lines, end)


@dataclasses.dataclass
class RowResult:
    """What one row measured, and what was wrong with it (empty: as expected)."""
    key: str
    title: str
    setup: str
    expected: str
    status: str = ""
    exit_code: Optional[int] = None
    reports: str = ""
    seconds: float = 0.0
    bound: float = 0.0
    device: str = ""
    after: str = ""
    problems: list = dataclasses.field(default_factory=list)

    @property
    def passed(self):
        return not self.problems


def shown_message(run, work):
    """What the user sees last: the status text, or for a usage error the message on stderr
    (with the test's own folder left out)."""
    if run.exit_code == 2 or not run.stdout:
        lines = [line for line in run.stderr.splitlines() if line.strip()]
        text = lines[-1].removeprefix("korvath-cli: ") if lines else ""
        return text.replace(str(work) + os.sep, "")
    return run.status


def seconds_text(seconds):
    return "%.1f" % seconds if seconds >= 0.05 else "< 0.1"


def check_run(env, run, status, exit_code, bound, result, reports=None):
    """Compares a run with its expected end; notes problems in `result`."""
    result.status = shown_message(run, env.work)
    result.exit_code = run.exit_code
    result.seconds = run.seconds
    result.bound = bound
    result.reports = "; ".join(sorted(set(run.error_reports)))
    if run.timed_out:
        result.problems.append("still running after %.0f s, killed" % bound)
    elif run.crashed:
        result.problems.append("crashed (exit %d): %s" % (run.exit_code, run.stderr[-400:]))
    if isinstance(status, re.Pattern):
        if not status.search(result.status):
            result.problems.append("message %r, expected /%s/" % (result.status, status.pattern))
    elif result.status != status:
        result.problems.append("message %r, expected %r" % (result.status, status))
    if run.exit_code != exit_code:
        result.problems.append("exit code %d, expected %d" % (run.exit_code, exit_code))
    if run.seconds > bound:
        result.problems.append("took %.1f s, bound %.0f s" % (run.seconds, bound))
    if reports is not None and not any(reports.search(r) for r in run.error_reports):
        result.problems.append("no error report matching /%s/" % reports.pattern)


def clean_status_order(model):
    return (STATUS_ORDER_HEAD + ["Blank external flash S%d" % i
                                 for i in range(harness.SECTORS[model])] + STATUS_ORDER_TAIL)


def clean_download(env, port, image, lines, model, sim, problems, bound=CLEAN_BOUND_S,
                   fresh=True):
    """Downloads `image` into `sim` (already behind `port`), stops the simulator and checks the
    status texts, the exit code and the flash. Returns the run."""
    run = run_cli(env.cli, port, image, bound + STOP_GRACE_S)
    sim.stop()
    if run.crashed:
        problems.append("crashed: " + run.stderr[-400:])
    if run.exit_code != 0 or run.status != "Done!":
        problems.append("ended with %r, exit %d: %s" % (run.status, run.exit_code,
                                                        run.stderr.strip()[-300:]))
    elif fresh and run.stdout != clean_status_order(model):
        problems.append("status texts %r" % run.stdout)
    if run.seconds > bound:
        problems.append("took %.1f s, bound %.0f s" % (run.seconds, bound))
    flash = sim.flash()
    difference = ("no flash dump" if flash is None
                  else harness.first_difference(flash, harness.expected_flash(lines, model)))
    if difference:
        problems.append("flash: " + difference)
    return run


# Clean downloads ---------------------------------------------------------------------------------

def case_model(env, model):
    lines = harness.small_image_lines(model)
    image = env.image("model%d.shx" % model, lines)
    sim = Sim(env.sim, env.work, "model%d" % model, ["--model", str(model)])
    problems = []
    clean_download(env, sim.path, image, lines, model, sim, problems)
    counts = sim.requests()
    records = sum(1 for line in lines if line.startswith("S2"))
    wanted = {"blank check": harness.SECTORS[model], "erase": 0, "program": records, "exit": 1}
    for kind, number in wanted.items():
        if counts[kind] != number:
            problems.append("%d %s requests, expected %d" % (counts[kind], kind, number))
    return problems


def case_full(env):
    """The whole 512 KiB of a model 1 device, with the line's timing off to keep it short."""
    lines = harness.full_image_lines()
    image = env.image("full.shx", lines)
    sim = Sim(env.sim, env.work, "full", ["--no-pacing", "--program-ms", "0"])
    problems = []
    clean_download(env, sim.path, image, lines, 1, sim, problems, bound=FULL_BOUND_S)
    return problems


# The fault matrix --------------------------------------------------------------------------------

@dataclasses.dataclass
class FaultRow:
    key: str
    title: str
    setup: str  # what the controller does, for the table
    options: list
    status: str
    exit_code: int
    bound: float
    reports: Optional[re.Pattern] = None
    # Called with (context, status line) for each line the downloader prints.
    on_line: Optional[Callable] = None
    # The faulty run itself must leave the image in the flash.
    flash_is_image: bool = False
    # Replaces the plain run on the faulty controller; returns (run, extra problems).
    procedure: Optional[Callable] = None


class RowContext:
    """What a row's hooks can reach while its download runs."""

    def __init__(self, env, relay, sim, image):
        self.env, self.relay, self.sim, self.image = env, relay, sim, image
        self.fired = False
        self.cleanups = []


def pull_plug_on(prefix):
    """Stops the controller (its line closes, like a cable pulled) once a status line begins
    with `prefix`."""
    def hook(context, line):
        if not context.fired and line.startswith(prefix):
            context.fired = True
            os.kill(context.sim.proc.pid, signal.SIGTERM)
    return hook


def steal_port_on(prefix):
    """Once a status line begins with `prefix`, another process opens the same port and reads
    everything that arrives on it, until the row ends."""
    def hook(context, line):
        if context.fired or not line.startswith(prefix):
            return
        context.fired = True
        stop = threading.Event()
        fd = os.open(context.relay.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

        def read_all():
            while not stop.is_set():
                if select.select([fd], [], [], 0.05)[0]:
                    try:
                        os.read(fd, 4096)
                    except BlockingIOError:
                        pass
        thread = threading.Thread(target=read_all, daemon=True)
        thread.start()

        def finish():
            stop.set()
            thread.join(timeout=5)
            os.close(fd)
        context.cleanups.append(finish)
    return hook


def port_in_use(context, row):
    """A second downloader starts on the port while a first one is downloading through it: the
    second must give up at once, the first must not notice."""
    intruder = {}

    def on_line(line):
        if line == "Connecting" and not intruder:
            intruder["run"] = run_cli(context.env.cli, context.relay.path, context.image,
                                      row.bound + STOP_GRACE_S)
    holder = run_cli(context.env.cli, context.relay.path, context.image,
                     CLEAN_BOUND_S + STOP_GRACE_S, on_line)
    problems = []
    if holder.exit_code != 0 or holder.status != "Done!":
        problems.append("the download holding the port ended with %r, exit %d" % (
            holder.status, holder.exit_code))
    if "run" not in intruder:
        problems.append("the second downloader never started")
        return holder, problems
    return intruder["run"], problems


FAULT_ROWS = [
    FaultRow("silent", "Silent controller", "never answers", ["--silent"],
             "Connection Error", 1, 70),
    FaultRow("passwords", "Every password refused", "NAK to every password",
             ["--refuse-passwords"], "Wrong Password", 1, 15),
    FaultRow("nak-record", "NAK on record N", "NAK to the 5th program frame",
             ["--nak-program", "5"], "Flash Error", 1, 30),
    FaultRow("drop", "Every third reply dropped", "no reply to every 3rd request",
             ["--drop-every", "3"], "Flash Error", 1, 60),
    FaultRow("garble", "Garbled replies", "every 3rd reply replaced by random bytes",
             ["--garble-every", "3", "--seed", "7"], "Flash Error", 1, 40),
    FaultRow("babble", "Babbling controller", "after the 20th reply, 0xA5 every 1 ms forever",
             ["--babble-after", "20"], "Flash Error", 1, 30,
             reports=re.compile(r"^9 - .*more than 51")),
    FaultRow("unplug-erase", "Unplugged during erase",
             "every sector written (erase 2 s); line closed at \"Erase external flash S1\"",
             ["--dirty", "--erase-ms", "2000"], "Error erase flash S", 1, 30,
             reports=re.compile(r"^57 - "), on_line=pull_plug_on("Erase external flash S1")),
    FaultRow("unplug-program", "Unplugged during programming",
             "line closed as the 11th program frame arrives", ["--unplug-after", "10"],
             "Flash Error", 1, 30, reports=re.compile(r"^57 - ")),
    FaultRow("erase-refused", "Erase never acknowledged",
             "every sector written; NAK to every erase of sector 12 (index 2)",
             ["--dirty", "--refuse-erase", "12"], "Error erase flash S", 1, 60),
    FaultRow("erase-slow", "Erase taking just under 5 s",
             "every sector written; each erase takes 4.9 s", ["--dirty", "--erase-ms", "4900"],
             "Done!", 0, 90, flash_is_image=True),
    FaultRow("long-reply", "Reply longer than 51 bytes",
             "every 40th reply followed by 60 filler bytes", ["--long-reply-every", "40"],
             "Flash Error", 1, 30, reports=re.compile(r"^9 - .*reply of 61 bytes")),
    FaultRow("port-in-use", "Port held by another process",
             "a second korvath-cli opens the port while a download runs on it", [],
             re.compile(r"cannot open port .*in use"), 2, 10, procedure=port_in_use),
    FaultRow("port-stolen", "Port taken away by another process",
             "at \"Programming!\" another process opens the port and reads all that arrives",
             [], "Flash Error", 1, 30, on_line=steal_port_on("Programming!")),
]


def describe_expected(status, exit_code, reports=None):
    text = status.pattern if isinstance(status, re.Pattern) else status
    extra = ", report /%s/" % reports.pattern.lstrip("^") if reports is not None else ""
    return "%s, exit %d%s" % (text, exit_code, extra)


def run_fault_row(env, row, model=1):
    """The row's download on a faulty controller, then a clean download through the same port
    with a freshly started controller behind it (a new port only when the fault unplugged it)."""
    result = RowResult(row.key, row.title, row.setup,
                       describe_expected(row.status, row.exit_code, row.reports))
    lines = harness.small_image_lines(model)
    image = env.image("fault-%s.shx" % row.key, lines)
    relay = PortRelay()
    sim = Sim(env.sim, env.work, "fault-" + row.key, row.options + ["--model", str(model)])
    try:
        relay.plug(sim.path)
        context = RowContext(env, relay, sim, image)
        if row.procedure:
            run, extra = row.procedure(context, row)
            result.problems += extra
        else:
            hook = (lambda line: row.on_line(context, line)) if row.on_line else None
            run = run_cli(env.cli, relay.path, image, row.bound + STOP_GRACE_S, hook)
        for cleanup in context.cleanups:
            cleanup()
        check_run(env, run, row.status, row.exit_code, row.bound, result, row.reports)
        if not relay.hung_up:
            relay.unplug_quietly()
        sim.stop()
        counts = sim.requests()
        result.device = "erases %d, records %d" % (counts["erase"], counts["program"])
        if row.flash_is_image:
            flash = sim.flash()
            difference = ("no flash dump" if flash is None else
                          harness.first_difference(flash, harness.expected_flash(lines, model)))
            if difference:
                result.problems.append("flash: " + difference)

        port_note = "same port"
        if relay.hung_up:
            relay.close()
            relay = PortRelay()
            port_note = "port plugged in again"
        clean = Sim(env.sim, env.work, "fault-%s-clean" % row.key, ["--model", str(model)])
        relay.plug(clean.path)
        after_problems = []
        # The controller behind it was written by the faulty run only in the other simulator:
        # this one starts erased, so the status texts are those of a fresh device.
        after = clean_download(env, relay.path, image, lines, model, clean, after_problems)
        result.after = "%s: %s, exit %d, %.1f s%s" % (
            port_note, after.status, after.exit_code, after.seconds,
            ", flash = image" if not after_problems else "")
        result.problems += ["clean download after: " + p for p in after_problems]
    finally:
        if sim.running():
            sim.stop()
        relay.close()
    return result


# The bad-file matrix -----------------------------------------------------------------------------

def valid_lines():
    return harness.small_image_lines(1)


def replace_line(lines, index, text):
    return lines[:index] + [text] + lines[index + 1:]


def file_text(name, lines, end="\r\n"):
    return lambda env: (env.image(name, lines, end), lines)


def file_bytes(name, data):
    def make(env):
        path = env.work / name
        path.write_bytes(data)
        return path, None
    return make


def middle(lines):
    return len(lines) // 2


def with_nul_bytes():
    lines = valid_lines()
    line = lines[middle(lines)]
    return replace_line(lines, middle(lines), line[:40] + "\0\0\0\0" + line[44:])


def with_bad_checksum():
    lines = valid_lines()
    line = lines[middle(lines)]
    wrong = "%02X" % ((int(line[-2:], 16) + 1) & 0xFF)
    return replace_line(lines, middle(lines), line[:-2] + wrong)


def with_non_hex():
    lines = valid_lines()
    line = lines[middle(lines)]
    return replace_line(lines, middle(lines), line[:20] + "GZ" + line[22:])


def with_short_line():
    lines = valid_lines()
    return replace_line(lines, middle(lines), lines[middle(lines)][:100])


def without_end_line():
    return valid_lines()[:-1]


def end_line_without_last_record():
    lines = valid_lines()
    return lines[:-2] + lines[-1:]


def ten_megabyte_line():
    lines = valid_lines()
    return [lines[0], "S244E00000" + "0" * (10 * 1024 * 1024)] + lines[1:]


def forty_thousand_lines():
    lines = valid_lines()
    data = [harness.s_record(2, 0xE00000 + 64 * (i % 8000), bytes(range(64)))
            for i in range(40000)]
    return [lines[0]] + data + lines[-2:]


def binary_junk(env):
    generator = random.Random(20240601)
    data = bytes([0x8F]) + bytes(generator.randrange(256) for _ in range(4095))
    return file_bytes("junk.shx", data)(env)


def folder(env):
    path = env.work / "folder.shx"
    path.mkdir(exist_ok=True)
    return path, None


def missing(env):
    path = env.work / "missing.shx"
    path.unlink(missing_ok=True)
    return path, None


@dataclasses.dataclass
class FileRow:
    key: str
    title: str
    make: Callable  # env -> (path, lines or None)
    status: object  # str or re.Pattern
    exit_code: int
    refused: bool = True
    # The file is removed once the downloader is connecting, before the controller answers.
    delete_while_connecting: bool = False
    bound: float = REFUSAL_BOUND_S
    note: str = ""


FILE_ROWS = [
    FileRow("empty", "Empty file", file_bytes("empty.shx", b""), "Empty file", 1),
    FileRow("crlf", "A single CR LF", file_bytes("crlf.shx", b"\r\n"), "Wrong file format", 1),
    FileRow("lower-s0", "\"s0\" in lower case",
            lambda env: file_text("lower.shx", ["s0" + valid_lines()[0][2:]]
                                  + valid_lines()[1:])(env), "Wrong file format", 1),
    FileRow("junk", "Binary junk (4 KiB)", binary_junk, "Wrong file format", 1),
    FileRow("nul", "NUL bytes inside a data line",
            lambda env: file_text("nul.shx", with_nul_bytes())(env), "Checksum Error", 1),
    FileRow("ten-mb-line", "One line of 10 MB",
            lambda env: file_text("long-line.shx", ten_megabyte_line())(env),
            "File too long", 1, note="refused before the port is used"),
    FileRow("forty-k-lines", "40 000 lines",
            lambda env: file_text("many-lines.shx", forty_thousand_lines())(env),
            "File too long", 1, note="refused before the port is used"),
    FileRow("lf-only", "LF-only line ends",
            lambda env: file_text("lf.shx", valid_lines(), "\n")(env), "Done!", 0,
            refused=False, bound=CLEAN_BOUND_S, note="LF ends a line: downloaded"),
    FileRow("cr-only", "CR-only line ends",
            lambda env: file_text("cr.shx", valid_lines(), "\r")(env), "Done!", 0,
            refused=False, bound=CLEAN_BOUND_S, note="CR ends a line: downloaded"),
    FileRow("no-s8", "No S8 line", lambda env: file_text("no-s8.shx", without_end_line())(env),
            "Unexpected end of file", 1),
    FileRow("s8-alone", "S8 line without the E7FFC0 line before it",
            lambda env: file_text("s8-alone.shx", end_line_without_last_record())(env),
            "Sending Password", 1, note="refused without a message of its own"),
    FileRow("bad-checksum", "Bad checksum in the middle",
            lambda env: file_text("bad-sum.shx", with_bad_checksum())(env), "Checksum Error", 1),
    FileRow("non-hex", "Non-hex digits",
            lambda env: file_text("non-hex.shx", with_non_hex())(env), "Checksum Error", 1),
    FileRow("short-line", "A short data line",
            lambda env: file_text("short.shx", with_short_line())(env), "Checksum Error", 1),
    FileRow("bom", "UTF-8 byte-order mark before \"S0\"",
            lambda env: file_bytes("bom.shx", b"\xef\xbb\xbf" + "".join(
                line + "\r\n" for line in valid_lines()).encode())(env),
            "Wrong file format", 1),
    FileRow("folder", "A folder chosen as the file", folder,
            re.compile(r"is a folder"), 2, note="refused before the port is used"),
    FileRow("deleted-before", "File deleted before the download starts", missing,
            re.compile(r"does not exist"), 2, note="refused before the port is used"),
    FileRow("deleted-while-connecting", "File deleted between choosing it and downloading",
            lambda env: file_text("deleted.shx", valid_lines())(env),
            re.compile(r"No such file"), 1, delete_while_connecting=True,
            note="removed while the controller had not yet answered"),
]


def run_file_row(env, row):
    """Downloads the row's file into a controller whose flash is all written (0x00), so that any
    erase shows in its dump."""
    expected = describe_expected(row.status, row.exit_code)
    result = RowResult(row.key, row.title, row.note, expected)
    path, lines = row.make(env)
    relay = PortRelay()
    sim = Sim(env.sim, env.work, "file-" + row.key, ["--dirty"])
    try:
        hook = None
        if row.delete_while_connecting:
            # The controller is plugged in only once the file is gone: the probes go unanswered
            # until then, however fast the downloader is.
            def hook(line):
                if line == "Connecting" and path.exists():
                    path.unlink()
                    relay.plug(sim.path)
        else:
            relay.plug(sim.path)
        run = run_cli(env.cli, relay.path, path, row.bound + STOP_GRACE_S, hook)
        check_run(env, run, row.status, row.exit_code, row.bound, result)
        relay.unplug_quietly()
        sim.stop()
        counts = sim.requests()
        flash = sim.flash()
        result.device = "probes %d, erases %d, records %d" % (
            counts["probe"], counts["erase"], counts["program"])
        if row.refused:
            touched = counts["blank check"] + counts["erase"] + counts["program"]
            if touched or flash is None or flash.count(0) != len(flash):
                result.problems.append("the flash was touched: %s" % result.device)
            result.after = "flash untouched" if not touched and flash and not any(flash) else ""
        else:
            difference = ("no flash dump" if flash is None else
                          harness.first_difference(flash, harness.expected_flash(lines, 1)))
            if difference:
                result.problems.append("flash: " + difference)
            result.after = "flash = image" if not difference else ""
    finally:
        if sim.running():
            sim.stop()
        relay.close()
    return result


# Cases and the report ----------------------------------------------------------------------------

def case_names():
    return (["model1", "model2", "model3", "full", "files"]
            + ["fault:" + row.key for row in FAULT_ROWS]
            + ["file:" + row.key for row in FILE_ROWS])


def run_case(env, name):
    """Problems of one case; an empty list when it went as expected."""
    if name.startswith("model"):
        return case_model(env, int(name[5:]))
    if name == "full":
        return case_full(env)
    if name == "files":
        # Every refused file: quick, since none of them gets past the pre-scan.
        problems = []
        for row in FILE_ROWS:
            if row.refused:
                problems += ["%s: %s" % (row.key, p) for p in run_file_row(env, row).problems]
        return problems
    kind, _, key = name.partition(":")
    rows = {"fault": (FAULT_ROWS, run_fault_row), "file": (FILE_ROWS, run_file_row)}
    if kind in rows:
        table, runner = rows[kind]
        for row in table:
            if row.key == key:
                result = runner(env, row)
                print("%s: %r, exit %s, %.1f s; %s %s" % (
                    name, result.status, result.exit_code, result.seconds, result.device,
                    result.after))
                return result.problems
    raise SystemExit("no case %r; see: e2e.py list" % name)


def cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(cell(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


def verdict(result):
    return "pass" if result.passed else "**FAIL**: " + "; ".join(result.problems)


def fuzz_section(summary, regressions):
    lines = ["## Fuzzing", ""]
    if summary and summary.exists():
        rows = [line.split("\t") for line in summary.read_text().splitlines() if line.strip()]
        lines += ["From `scripts/fuzz.sh` (`%s`):" % summary.name, "",
                  table(["Target", "Seconds", "Inputs run", "Result"],
                        [row + [""] * (4 - len(row)) for row in rows]), ""]
    else:
        lines += ["No fuzzing summary was present for this run (`scripts/fuzz.sh` writes "
                  "`build/fuzz/runs/summary.tsv`).", ""]
    if regressions and regressions.is_dir():
        found = sorted(p for p in regressions.rglob("*") if p.is_file())
        lines.append("Findings fixed, kept as regression inputs that every test run replays "
                     "(`tests/fuzz/regressions`): %d%s" % (
                         len(found), "" if not found else ": " + ", ".join(
                             "`%s`" % p.relative_to(regressions) for p in found)) + ".")
    return lines


def write_report(env, out, summary, regressions):
    started = time.monotonic()
    faults = []
    for row in FAULT_ROWS:
        print("fault row:", row.title, flush=True)
        faults.append(run_fault_row(env, row))
        print("   ", verdict(faults[-1]), "%.1f s" % faults[-1].seconds, flush=True)
    files = []
    for row in FILE_ROWS:
        print("file row:", row.title, flush=True)
        files.append(run_file_row(env, row))
        print("   ", verdict(files[-1]), flush=True)
    total = time.monotonic() - started

    def git(*args):
        return subprocess.run(["git", *args], capture_output=True, text=True,
                              cwd=Path(__file__).parent, check=False)
    commit = git("rev-parse", "--short", "HEAD").stdout.strip()
    if commit and git("diff", "--quiet", "HEAD").returncode != 0:
        commit += " with local changes"
    version = subprocess.run([str(env.cli), "--version"], capture_output=True, text=True,
                             check=False).stdout.strip()
    failed = [r for r in faults + files if not r.passed]
    doc = [
        "# Reliability",
        "",
        "Written by `scripts/reliability.sh` from one run of the real `korvath-cli` against the "
        "simulated controller `korvath-sim` over pseudo-terminals; do not edit by hand.",
        "",
        "Run: %s, %s, commit %s; %d rows, %d as expected, %.0f s in all." % (
            datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), version or "korvath-cli",
            commit or "unknown", len(faults) + len(files), len(faults) + len(files) - len(failed),
            total),
        "",
        "## Fault matrix",
        "",
        "Each row downloads a small image (65 records, model 1, 38400 baud timing) into a "
        "controller with one fault, through a port of the test's own that stays open across "
        "controllers. The controller is then replaced by a fault-free one behind the same port "
        "and a clean download must succeed and leave the image in its flash. \"Time\" is the "
        "faulty run from start to exit; \"Reports\" are the error reports on standard error.",
        "",
        table(["Row", "Controller", "Expected", "Message seen, exit", "Reports", "Time (s)",
               "Bound (s)", "Device saw", "Clean download after", "Result"],
              [[r.title, r.setup, r.expected, "%s, exit %s" % (r.status, r.exit_code),
                r.reports or "-", seconds_text(r.seconds), "%.0f" % r.bound, r.device, r.after,
                verdict(r)] for r in faults]),
        "",
        "## Bad-file matrix",
        "",
        "Each file goes to a controller whose flash is all written (0x00), so that an erase would "
        "show in its dump. A refused file must leave the controller without a single blank "
        "check, erase or program request and its flash unchanged. The message is the last "
        "status text, or for exit code 2 the message on standard error.",
        "",
        table(["File", "Expected", "Message seen, exit", "Time (s)", "Device saw", "Flash",
               "Note", "Result"],
              [[r.title, r.expected, "%s, exit %s" % (r.status, r.exit_code),
                seconds_text(r.seconds), r.device, r.after, r.setup, verdict(r)] for r in files]),
        "",
    ]
    doc += fuzz_section(summary, regressions)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("\n".join(doc) + "\n")
    print("wrote %s: %d of %d rows as expected, %.0f s" % (
        out, len(faults) + len(files) - len(failed), len(faults) + len(files), total))
    return not failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", type=Path)
    parser.add_argument("--sim", type=Path)
    parser.add_argument("--work", type=Path)
    commands = parser.add_subparsers(dest="command", required=True)
    case = commands.add_parser("case")
    case.add_argument("names", nargs="+")
    report = commands.add_parser("report")
    report.add_argument("--out", type=Path, required=True)
    report.add_argument("--fuzz-summary", type=Path)
    report.add_argument("--regressions", type=Path)
    commands.add_parser("list")
    args = parser.parse_args()

    if args.command == "list":
        print("\n".join(case_names()))
        return 0
    if not (args.cli and args.sim and args.work):
        parser.error("--cli, --sim and --work are needed")
    if shutil.which("srec_cat") is None:
        print("srec_cat is not installed", file=sys.stderr)
        return 1
    args.work.mkdir(parents=True, exist_ok=True)
    env = Env(args.cli.resolve(), args.sim.resolve(), args.work.resolve())

    if args.command == "report":
        return 0 if write_report(env, args.out, args.fuzz_summary, args.regressions) else 1
    failed = False
    for name in args.names:
        started = time.monotonic()
        problems = run_case(env, name)
        print("%s: %s (%.1f s)" % (name, "ok" if not problems else "FAILED",
                                   time.monotonic() - started), flush=True)
        for problem in problems:
            print("   ", problem)
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
