"""End-to-end runs of korvath-cli against korvath-sim: clean downloads per device model, the
faults that take another process (a controller killed mid-erase, a port held or taken by another
program; then a clean controller on the same port) and the bad-file matrix (nothing may be
erased when a file is refused). Rows marked slow run only in the full matrices of
scripts/reliability.sh."""

import dataclasses
import functools
import hashlib
import json
import os
import random
import re
import select
import signal
import threading
from typing import Callable, Optional

from pathlib import Path

import pytest

import korvath_harness as kh
from korvath_harness import run_cli, write_lines

FLASH_BASE = 0xE00000
SECTOR_SIZE = 0x10000
SECTORS = {1: 8, 2: 8, 3: 9}
LAST_RECORD = 0xE7FFC0
MOVED_LAST_RECORD = 0xE8FFC0

# A download of a small image at line rate takes about 20 s: 1 s per sector and the 8 s reset
# wait are part of the procedure.
CLEAN_BOUND_S = 60
# A refused file is refused right after the password: a second at line rate.
REFUSAL_BOUND_S = 20
STOP_GRACE_S = 30

STATUS_ORDER_HEAD = ["Idle", "Connecting", "Sending Password", "Erasing external flash"]
STATUS_ORDER_TAIL = ["Programming!", "Resetting target", "Done!"]


def small_image_lines(model):
    """A small image: 64 records from E00000 and the last record at E7FFC0. For model 3 it is of
    kind 2: a first E7FFC0 record in its place, records in the ninth sector, and the last E7FFC0
    record (which the download moves to E8FFC0) directly before the end line."""
    first = kh.srec_cat_lines([(0xE00000, 0xE01000, "Korvath small image, line-rate run. "),
                               (LAST_RECORD, LAST_RECORD + 64, "FIRST LAST RECORD ")]
                              + ([(0xE80000, 0xE80400, "Ninth sector of model three. ")]
                                 if model == 3 else []))
    if model != 3:
        return first
    moved = kh.srec_cat_lines([(LAST_RECORD, LAST_RECORD + 64, "MOVED TO E8FFC0 ")])
    return first[:-1] + [line for line in moved if line.startswith("S2")] + [first[-1]]


def s_record(kind, address, data):
    """One S1/S2/S3-style record with its checksum; kind 2 takes a 3-byte address."""
    body = bytes([len(data) + 4]) + address.to_bytes(3, "big") + bytes(data)
    return "S%d%s%02X" % (kind, body.hex().upper(), 0xFF - (sum(body) & 0xFF))


def expected_flash(lines, model):
    """The flash of a `model` device after downloading `lines` into an erased one."""
    flash = bytearray(b"\xff" * (SECTORS[model] * SECTOR_SIZE))
    end = next((i for i, line in enumerate(lines) if i > 0 and line.startswith("S8")), len(lines))
    for number, line in enumerate(lines[1:end], start=1):
        address = int(line[4:10], 16)
        if model == 3 and number == end - 1 and line.startswith("S244E7FFC0"):
            address = MOVED_LAST_RECORD
        data = bytes.fromhex(line[10:138])
        flash[address - FLASH_BASE:address - FLASH_BASE + len(data)] = data
    return bytes(flash)


def assert_flash(flash, lines, model, label=""):
    assert flash is not None, label + "no flash dump"
    expected = expected_flash(lines, model)
    assert len(flash) == len(expected), "%sflash: dump of %d bytes, expected %d" % (
        label, len(flash), len(expected))
    at = next((i for i in range(len(flash)) if flash[i] != expected[i]), None)
    assert at is None, "%sflash: first difference at %06X: %02X, expected %02X" % (
        label, FLASH_BASE + at, flash[at], expected[at])


def check_run(run, work, status, exit_code, bound, reports=None):
    """Compares what `run` showed with its expected end."""
    shown = kh.shown_message(run, work)
    assert not run.timed_out, "still running after %.0f s, killed" % bound
    assert not run.crashed, "crashed (exit %d): %s" % (run.exit_code, run.stderr[-400:])
    if isinstance(status, re.Pattern):
        assert status.search(shown), "message %r, expected /%s/" % (shown, status.pattern)
    else:
        assert shown == status, "message %r, expected %r" % (shown, status)
    assert run.exit_code == exit_code, "exit code %d, expected %d" % (run.exit_code, exit_code)
    assert run.seconds <= bound, "took %.1f s, bound %.0f s" % (run.seconds, bound)
    if reports is not None:
        assert any(reports.search(r) for r in run.error_reports), \
            "no error report matching /%s/" % reports.pattern


def clean_download(cli, port, image, lines, model, sim, bound=CLEAN_BOUND_S, label="",
                   extra_args=()):
    """Downloads `image` into `sim` (already behind `port`), stops the simulator and checks the
    status texts, the exit code and the flash. Returns the run."""
    run = run_cli(cli, port, image, bound + STOP_GRACE_S, extra_args=extra_args)
    sim.stop()
    assert not run.crashed, label + "crashed: " + run.stderr[-400:]
    assert run.exit_code == 0 and run.status == "Done!", "%sended with %r, exit %d: %s" % (
        label, run.status, run.exit_code, run.stderr.strip()[-300:])
    order = (STATUS_ORDER_HEAD + ["Blank external flash S%d" % i for i in range(SECTORS[model])]
             + STATUS_ORDER_TAIL)
    assert run.stdout == order, label + "status texts %r" % run.stdout
    assert run.seconds <= bound, "%stook %.1f s, bound %.0f s" % (label, run.seconds, bound)
    assert_flash(sim.flash(), lines, model, label)
    return run


# Clean downloads

def padded(lines, first, end):
    """`lines` with the records of lines first..end-1 holding only 0xFF, as padding does."""
    return lines[:first] + [s_record(2, int(line[4:10], 16), b"\xff" * 64)
                            for line in lines[first:end]] + lines[end:]


# With --skip-erased the padding is left out, and the flash still ends equal to the image.
@pytest.mark.parametrize("model,skip", [(1, False), (2, False), (3, False), (1, True)],
                         ids=["1", "2", "3", "1-skip-erased"])
def test_clean_download(programs, tmp_path, start_sim, model, skip):
    lines = small_image_lines(model)
    if skip:
        lines = padded(lines, 1, 33)
    image = write_lines(tmp_path / "image.shx", lines)
    sim = start_sim("sim", ["--model", str(model)])
    clean_download(programs.cli, sim.path, image, lines, model, sim,
                   extra_args=["--skip-erased"] if skip else [])
    counts = sim.requests()
    records = sum(1 for line in lines if line.startswith("S2")) - (32 if skip else 0)
    assert {kind: counts[kind] for kind in ("blank check", "erase", "program", "exit")} == {
        "blank check": SECTORS[model], "erase": 0, "program": records, "exit": 1}


# The fault matrix

@dataclasses.dataclass
class FaultRow:
    key: str
    title: str
    setup: str  # what the controller does, for the table
    options: list
    status: object  # str or re.Pattern
    exit_code: int
    bound: float
    reports: Optional[re.Pattern] = None
    # Called with (context, status line) for each line the downloader prints.
    on_line: Optional[Callable] = None
    # Replaces the plain run on the faulty controller; returns the run to check.
    procedure: Optional[Callable] = None


@dataclasses.dataclass
class RowContext:
    """What a row's hooks can reach while its download runs."""
    cli: object
    relay: kh.PortRelay
    sim: kh.Sim
    image: object
    fired: bool = False
    cleanups: list = dataclasses.field(default_factory=list)


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
    intruder = []

    def on_line(line):
        if line == "Connecting" and not intruder:
            intruder.append(run_cli(context.cli, context.relay.path, context.image,
                                    row.bound + STOP_GRACE_S))
    holder = run_cli(context.cli, context.relay.path, context.image,
                     CLEAN_BOUND_S + STOP_GRACE_S, on_line)
    assert holder.exit_code == 0 and holder.status == "Done!", \
        "the download holding the port ended with %r, exit %d" % (holder.status, holder.exit_code)
    assert intruder, "the second downloader never started"
    return intruder[0]


LOST = re.compile(r"^57 - Port /dev/\S+ was lost: the adapter was unplugged or reset$")

# Each fault option of the simulated controller, with its status, exit code and error report,
# is a row of the in-process fault matrix (tests/line, on the simulated port and the virtual
# clock). Here stay the faults that need the processes and the pseudo-terminal: a controller
# killed mid-erase, a second program on the port.
FAULT_ROWS = [
    FaultRow("unplug-erase", "Unplugged during erase",
             "every sector written (erase 2 s); line closed at \"Erase external flash S1\"",
             ["--dirty", "--erase-ms", "2000"], "Error erase flash S", 1, 30,
             reports=LOST, on_line=pull_plug_on("Erase external flash S1")),
    FaultRow("port-in-use", "Port held by another process",
             "a second korvath-cli opens the port while a download runs on it", [],
             re.compile(r"cannot open port .*: Port /dev/\S+ is busy: another program has it open"),
             2, 10, procedure=port_in_use),
    FaultRow("port-stolen", "Port taken away by another process",
             "at \"Programming!\" another process opens the port and reads all that arrives",
             [], "Flash Error", 1, 30, on_line=steal_port_on("Programming!")),
]
QUICK_FAULTS = {"port-in-use"}


@pytest.mark.parametrize("row", [
    pytest.param(row, id=row.key, marks=() if row.key in QUICK_FAULTS else pytest.mark.slow)
    for row in FAULT_ROWS])
def test_fault(programs, tmp_path, start_sim, new_relay, row):
    """The row's download on a faulty controller, then a clean download through the same port
    with a freshly started controller behind it (a new port only when the fault unplugged it)."""
    lines = small_image_lines(1)
    image = write_lines(tmp_path / "image.shx", lines)
    relay = new_relay()
    sim = start_sim("faulty", row.options + ["--model", "1"])
    relay.plug(sim.path)
    context = RowContext(programs.cli, relay, sim, image)
    if row.procedure:
        run = row.procedure(context, row)
    else:
        hook = (lambda line: row.on_line(context, line)) if row.on_line else None
        run = run_cli(programs.cli, relay.path, image, row.bound + STOP_GRACE_S, hook)
    for cleanup in context.cleanups:
        cleanup()
    if not relay.hung_up:
        relay.unplug_quietly()
    sim.stop()
    check_run(run, tmp_path, row.status, row.exit_code, row.bound, row.reports)

    if relay.hung_up:
        relay.close()
        relay = new_relay()
    clean = start_sim("clean", ["--model", "1"])
    relay.plug(clean.path)
    # The faulty run wrote only into the other simulator: this one starts erased, so the status
    # texts are those of a fresh device.
    clean_download(programs.cli, relay.path, image, lines, 1, clean,
                   label="clean download after: ")


# The bad-file matrix

@functools.lru_cache(maxsize=None)
def _valid_lines():
    return tuple(small_image_lines(1))


def valid_lines():
    return list(_valid_lines())


def middle_line_changed(change):
    def content():
        lines = valid_lines()
        lines[len(lines) // 2] = change(lines[len(lines) // 2])
        return lines
    return content


def binary_junk():
    generator = random.Random(20240601)
    return bytes([0x8F]) + bytes(generator.randrange(256) for _ in range(4095))


def forty_thousand_lines():
    lines = valid_lines()
    data = [s_record(2, 0xE00000 + 64 * (i % 8000), bytes(range(64))) for i in range(40000)]
    return [lines[0]] + data + lines[-2:]


FOLDER = "folder"
FIFO = "fifo"
SPARSE = "sparse"


def with_record(address, at=1):
    """The valid image with one more record at `address`, as line `at` + 1."""
    def content():
        lines = valid_lines()
        lines.insert(at, s_record(2, address, bytes(range(64))))
        return lines
    return content


def two_images():
    """Two images one after the other; the first ends without its last record."""
    lines = valid_lines()
    return lines[:-2] + lines[-1:] + lines


def lower_case_last_address():
    lines = valid_lines()
    lines[-2] = lines[-2][:4] + lines[-2][4:10].lower() + lines[-2][10:]
    return lines


@dataclasses.dataclass
class FileRow:
    key: str
    title: str
    # () -> the file's lines (ended by `end`), its bytes, FOLDER, FIFO, SPARSE, a Path to use
    # as it is, or None for no file at all.
    content: Callable
    status: object  # str or re.Pattern
    exit_code: int
    end: str = "\r\n"
    refused: bool = True
    # The file is removed once the downloader is connecting, before the controller answers.
    delete_while_connecting: bool = False
    bound: float = REFUSAL_BOUND_S
    note: str = ""


BEFORE_PORT = "refused before the port is used"
NOT_REGULAR = re.compile(r"is not a regular file")

FILE_ROWS = [
    FileRow("empty", "Empty file", lambda: b"", "Empty file", 3),
    FileRow("crlf", "A single CR LF", lambda: b"\r\n", "Wrong file format", 3),
    FileRow("lower-s0", "\"s0\" in lower case",
            lambda: ["s0" + valid_lines()[0][2:]] + valid_lines()[1:], "Wrong file format", 3),
    FileRow("junk", "Binary junk (4 KiB)", binary_junk, "Wrong file format", 3),
    FileRow("nul", "NUL bytes inside a data line",
            middle_line_changed(lambda line: line[:40] + "\0\0\0\0" + line[44:]),
            "Checksum Error", 3),
    FileRow("ten-mb-line", "One line of 10 MB",
            lambda: valid_lines()[:1] + ["S244E00000" + "0" * (10 * 1024 * 1024)]
            + valid_lines()[1:], "File too long", 3, note=BEFORE_PORT),
    FileRow("forty-k-lines", "40 000 lines", forty_thousand_lines, "File too long", 3,
            note=BEFORE_PORT),
    FileRow("sparse", "A sparse file of 2 GB", lambda: SPARSE, "File too long", 3, bound=5,
            note=BEFORE_PORT + ", without reading it"),
    FileRow("lf-only", "LF-only line ends", valid_lines, "Done!", 0, end="\n", refused=False,
            bound=CLEAN_BOUND_S, note="LF ends a line: downloaded"),
    FileRow("cr-only", "CR-only line ends", valid_lines, "Done!", 0, end="\r", refused=False,
            bound=CLEAN_BOUND_S, note="CR ends a line: downloaded"),
    FileRow("no-s8", "No S8 line", lambda: valid_lines()[:-1], "Unexpected end of file", 3),
    FileRow("s8-alone", "S8 line without the E7FFC0 line before it",
            lambda: valid_lines()[:-2] + valid_lines()[-1:], "No last record E7FFC0", 3),
    FileRow("two-images", "Two images, the first without its E7FFC0 line", two_images,
            "No last record E7FFC0", 3, note="the second image's last record is never sent"),
    FileRow("lower-hex", "Last record's address in lower case", lower_case_last_address,
            "No last record E7FFC0", 3),
    FileRow("misaligned", "A record at E00010", with_record(0xE00010), "Misaligned record", 3),
    FileRow("past-end", "A record at E7FFE0", with_record(0xE7FFE0), "Misaligned record", 3),
    FileRow("at-zero", "A record at 000000", with_record(0x000000), "Record outside flash", 3),
    FileRow("below-flash", "A record at DFFFC0", with_record(0xDFFFC0), "Record outside flash",
            3),
    FileRow("ninth-sector", "A record at E80000 for model 1", with_record(0xE80000),
            "Record outside flash", 3),
    FileRow("duplicate", "The same address twice", with_record(0xE00040, at=3),
            "Duplicate address", 3),
    FileRow("bad-checksum", "Bad checksum in the middle",
            middle_line_changed(lambda line: line[:-2] + "%02X" % ((int(line[-2:], 16) + 1)
                                                                   & 0xFF)),
            "Checksum Error", 3),
    FileRow("non-hex", "Non-hex digits",
            middle_line_changed(lambda line: line[:20] + "GZ" + line[22:]), "Checksum Error", 3),
    FileRow("short-line", "A short data line", middle_line_changed(lambda line: line[:100]),
            "Checksum Error", 3),
    FileRow("bom", "UTF-8 byte-order mark before \"S0\"",
            lambda: b"\xef\xbb\xbf" + "".join(line + "\r\n" for line in valid_lines()).encode(),
            "Wrong file format", 3),
    FileRow("folder", "A folder chosen as the file", lambda: FOLDER, re.compile(r"is a folder"),
            2, note=BEFORE_PORT),
    FileRow("fifo", "A named pipe chosen as the file", lambda: FIFO, NOT_REGULAR, 2,
            note=BEFORE_PORT + ", without opening it"),
    FileRow("dev-zero", "/dev/zero chosen as the file", lambda: Path("/dev/zero"), NOT_REGULAR,
            2, note=BEFORE_PORT),
    FileRow("missing", "File deleted before the download starts", lambda: None,
            re.compile(r"does not exist"), 2, note=BEFORE_PORT),
    FileRow("deleted", "File deleted between choosing it and downloading", valid_lines,
            "Done!", 0, refused=False, delete_while_connecting=True, bound=CLEAN_BOUND_S,
            note="read before connecting: the image as read is downloaded"),
]


def make_file(directory, row):
    """Writes the row's file; returns its path and its lines when it is made of lines."""
    path, content = directory / (row.key + ".shx"), row.content()
    if isinstance(content, Path):
        return content, None
    if content == FOLDER:
        path.mkdir()
    elif content == FIFO:
        os.mkfifo(path)
    elif content == SPARSE:
        with open(path, "wb") as sparse:
            sparse.truncate(2 * 1000 ** 3)
    elif isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        write_lines(path, content, row.end)
        return path, content
    return path, None


@pytest.mark.parametrize("row", [
    pytest.param(row, id=row.key, marks=() if row.refused else pytest.mark.slow)
    for row in FILE_ROWS])
def test_file(programs, tmp_path, start_sim, new_relay, row):
    """Downloads the row's file into a controller whose flash is all written (0x00), so that any
    erase shows in its dump."""
    path, lines = make_file(tmp_path, row)
    relay = new_relay()
    sim = start_sim("sim", ["--dirty"])
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
    run = run_cli(programs.cli, relay.path, path, row.bound + STOP_GRACE_S, hook)
    relay.unplug_quietly()
    sim.stop()
    counts, flash = sim.requests(), sim.flash()
    touched = counts["blank check"] + counts["erase"] + counts["program"]
    check_run(run, tmp_path, row.status, row.exit_code, row.bound)
    if row.refused:
        assert not touched and flash is not None and flash.count(0) == len(flash), \
            "the flash was touched: %s" % counts
    else:
        assert_flash(flash, lines, 1)


# The production line: several ports in one run, station mode, the audit log, JSON events

LOG_KEYS = {"started", "finished", "host", "port", "image", "image_sha256", "records", "model",
            "result", "exit", "seconds", "errors", "version", "advice", "tags", "run_id", "unit"}
RUN_ID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
ISO_UTC = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z$")


def log_lines(path, image, lines, ports, station=False):
    """The audit log's objects, each checked for its keys and the image's facts."""
    objects = [json.loads(text) for text in path.read_text().splitlines()]
    records = sum(1 for line in lines if line.startswith("S2"))
    # One run id a run; with the port and the unit (1 outside station mode) it names one line.
    assert len({entry["run_id"] for entry in objects}) == 1 and RUN_ID.match(objects[0]["run_id"])
    assert len({(entry["port"], entry["unit"]) for entry in objects}) == len(objects)
    for entry in objects:
        assert set(entry) == LOG_KEYS, sorted(entry)
        assert station or entry["unit"] == 1
        assert ISO_UTC.match(entry["started"]) and ISO_UTC.match(entry["finished"]), entry
        assert entry["started"] <= entry["finished"]
        assert entry["port"] in ports and entry["image"] == str(image.resolve())
        assert entry["image_sha256"] == hashlib.sha256(image.read_bytes()).hexdigest()
        assert entry["records"] == records and entry["host"] and entry["version"]
        assert isinstance(entry["errors"], list) and entry["seconds"] > 0
    return objects


def test_line_two_ports(programs, tmp_path, start_sim):
    """Two controllers of one simulator at once, the second through a link named like a
    /dev/serial/by-id entry: both flashes equal the image, every status line names its port as
    given, and the log holds one complete line per unit."""
    lines = small_image_lines(1)
    image = write_lines(tmp_path / "image.shx", lines)
    sim = start_sim("pair", count=2)
    by_id = tmp_path / "usb-FTDI_FT232R_USB_UART_A10K2X9Q-if00-port0"
    by_id.symlink_to(sim.paths[1])
    ports = [sim.paths[0], str(by_id)]
    log = tmp_path / "units.jsonl"
    run = kh.run([programs.cli, "--port", ports[0], "--port", ports[1], "--log", log, image],
                 CLEAN_BOUND_S + STOP_GRACE_S)
    sim.stop()
    assert not run.crashed and run.exit_code == 0, run.stderr[-400:]
    for port in ports:
        own = [text.split(": ", 1)[1] for text in run.stdout if text.startswith(port + ": ")]
        assert own[:3] == ["Idle", "Connecting", "Sending Password"] and own[-1] == "Done!", own
        assert any(re.match(r"^%s\s+Done!\s+\d\d:\d\d$" % re.escape(port), text)
                   for text in run.stdout), "no summary row for %s" % port
    for number in (1, 2):
        assert_flash(sim.flash(str(number)), lines, 1, "port %d: " % number)
    objects = log_lines(log, image, lines, ports)
    assert sorted(entry["port"] for entry in objects) == sorted(ports)
    assert all(entry["result"] == "Done!" and entry["exit"] == 0 and entry["model"] == 1
               for entry in objects)


# Every ending that comes before a download, and Ctrl-C in one: the events end with a result
# (the run's, after the unit's when a port was opened), every event has its time, and no name
# reaches standard output or standard error with a raw control character.
ENDING_ROWS = [
    ("refused-image", 3, {"result": "Checksum Error", "line": 6}),
    ("refused-for-model", 3, {"result": "Failed", "passed": 0, "failed": 1}),
    ("unreadable-image", 2, {"result": "Image not read"}),
    ("port-error", 2, {"result": "Failed"}),
    ("log-is-a-fifo", 2, {"result": "Log not writable"}),
    ("empty-log-name", 2, {"result": "Log not writable"}),
    ("bad-tag", 2, {"result": "Usage error"}),
    ("cancelled", 130, {"result": "Cancelled", "passed": 0, "failed": 1}),
    ("no-serial-number", 2, {"result": "Failed", "passed": 0, "failed": 0}),
]


@pytest.mark.parametrize("kind,exit_code,fields", ENDING_ROWS, ids=[r[0] for r in ENDING_ROWS])
def test_line_json_endings(programs, tmp_path, kind, exit_code, fields):
    name = os.fsencode(tmp_path) + b"/x\nresult: accepted\x1b[2J\xff.shx"
    image = Path(os.fsdecode(name))
    write_lines(image, check_lines({"refused-image": "corrupt",
                                    "refused-for-model": "kind-2"}.get(kind, "good")))
    port, log, extra = "sim", [], []
    if kind == "unreadable-image":
        image.unlink()
    elif kind == "port-error":
        port = "/dev/null\x1b[31m"
    elif kind == "log-is-a-fifo":
        os.mkfifo(tmp_path / "fifo")
        log = ["--log", tmp_path / "fifo"]
    elif kind == "empty-log-name":
        log = ["--log", ""]
    elif kind == "bad-tag":
        extra = ["--tag", "no equals\x1b"]
    elif kind == "no-serial-number":
        extra = ["--ask-serial"]  # standard input is empty
    seen = {}

    def on_line(text):
        if kind == "cancelled" and '"event":"progress"' in text and "sent" not in seen:
            seen["sent"] = os.kill(seen["process"].pid, signal.SIGINT) or True

    run = kh.run([programs.cli, "--json", "--port", port, *log, *extra, image], REFUSAL_BOUND_S,
                 on_line, on_start=lambda process: seen.update(process=process))
    assert not run.crashed and run.exit_code == exit_code, (run.exit_code, run.stderr)
    events = [json.loads(text) for text in run.stdout]
    assert events and all(ISO_UTC.match(event["time"]) for event in events), events
    assert events[-1] == {**events[-1], "event": "result", "scope": "run", "exit": exit_code,
                          **fields}, events[-1]
    if kind in ("port-error", "cancelled", "refused-for-model"):
        assert events[-2]["event"] == "result" and events[-2]["scope"] == "unit"
        assert events[-2]["exit"] == exit_code and events[-2]["port"] == port, events[-2]
    if kind == "port-error":
        assert events[-2]["reason"], events[-2]
    if kind == "refused-for-model":
        assert events[-2]["refusal"]["reason"] and events[-2]["refusal"]["line"] >= 0, events[-2]
    assert "\x1b" not in run.stderr and "\nresult: accepted" not in run.stderr, run.stderr
    if kind in ("refused-image", "unreadable-image"):
        assert "x\\nresult: accepted\\x1b[2J\\xff.shx" in run.stderr, run.stderr
    if kind == "refused-image":
        check = kh.run([programs.cli, "--check", image], REFUSAL_BOUND_S)
        assert check.exit_code == 3 and "\x1b" not in "".join(check.stdout) + check.stderr
        assert [text for text in check.stdout if text.startswith("result:")] == [
            "result: refused"], check.stdout


# A plain run reads and checks its image before it opens the port: a damaged file against a
# controller that never answers is refused at once, untouched. --quiet keeps the audit log:
# the quiet production run prints its final status only and records the unit.
@pytest.mark.parametrize("kind", ["damaged-image-silent-port", "quiet-log"])
def test_line_plain_image_first_and_quiet_log(programs, tmp_path, start_sim, kind):
    damaged = kind == "damaged-image-silent-port"
    lines = check_lines("corrupt") if damaged else small_image_lines(1)
    image = write_lines(tmp_path / "image.shx", lines)
    sim = start_sim("sim", ["--silent"] if damaged else [])
    log = tmp_path / "units.jsonl"
    options = [] if damaged else ["--quiet", "--log", log]
    run = kh.run([programs.cli, "--port", sim.path, *options, image],
                 (2 if damaged else CLEAN_BOUND_S) + STOP_GRACE_S)
    sim.stop()
    assert not run.crashed, run.stderr[-400:]
    if damaged:
        assert (run.exit_code, run.stdout) == (3, ["Checksum Error"]), (run.exit_code, run.stdout)
        assert run.seconds < 2, "took %.1f s" % run.seconds
        assert "line 6" in run.stderr, run.stderr
        assert not any(sim.requests().values()), sim.requests()
        return
    assert (run.exit_code, run.stdout) == (0, ["Done!"]), (run.exit_code, run.stderr[-400:])
    entries = log_lines(log, image, lines, [sim.path])
    assert [(entry["result"], entry["exit"]) for entry in entries] == [("Done!", 0)], entries


@pytest.mark.parametrize("number, line", [(signal.SIGHUP, "Programming!"),
                                          (signal.SIGQUIT, "Resetting target")],
                         ids=["SIGHUP-programming", "SIGQUIT-resetting"])
def test_line_station_stopped_by_signal(programs, tmp_path, start_sim, number, line):
    """SIGHUP or SIGQUIT in the middle of a station's unit stops it as Ctrl-C does: the exit
    frame is the last request, the unit is logged "Cancelled" with 128 + the signal, and the
    totals end the run with that exit status."""
    image = write_lines(tmp_path / "image.shx", small_image_lines(1))
    sim = start_sim("station-" + number.name)
    log = tmp_path / "station.jsonl"
    seen = {}

    def on_line(text):
        if text == line and "sent" not in seen:
            seen["sent"] = True
            os.kill(seen["process"].pid, number)

    run = kh.run([programs.cli, "--station", "--port", sim.path, "--log", log, image],
                 CLEAN_BOUND_S + STOP_GRACE_S, on_line,
                 on_start=lambda process: seen.update(process=process))
    sim.stop()
    assert not run.crashed and run.exit_code == 128 + number, (run.exit_code, run.stderr[-400:])
    assert run.stdout[-4] == "Cancelled", run.stdout[-5:]
    assert "Station: 0 units passed, 1 failed" in run.stdout[-1], run.stdout[-3:]
    (entry,) = [json.loads(text) for text in log.read_text().splitlines()]
    assert (entry["unit"], entry["result"], entry["exit"]) == (1, "Cancelled", 128 + number)
    assert [summary for _, summary in sim.log()][-1].startswith("exit")


def test_line_station_waits_for_its_port(programs, tmp_path, start_sim):
    """A station started before its adapter is plugged in (a link that appears 3 s later) says
    which port it waits for, programs the first unit once the port is there, and ends on SIGQUIT
    with the totals, exit 131."""
    lines = small_image_lines(1)
    image = write_lines(tmp_path / "image.shx", lines)
    sim = start_sim("later")
    port = tmp_path / "usb-FTDI_FT232R_USB_UART_B77-if00-port0"
    log = tmp_path / "station.jsonl"
    seen = {}

    def on_line(text):
        if text == "Waiting for the next unit":
            os.kill(seen["process"].pid, signal.SIGQUIT)

    plug_in = threading.Timer(3, lambda: port.symlink_to(sim.path))
    plug_in.start()
    try:
        run = kh.run([programs.cli, "--station", "--port", port, "--log", log, image],
                     3 + CLEAN_BOUND_S + STOP_GRACE_S, on_line,
                     on_start=lambda process: seen.update(process=process))
    finally:
        plug_in.cancel()
    sim.stop()
    assert not run.crashed and run.exit_code == 131, (run.exit_code, run.stderr[-400:])
    waiting = "Waiting for port %s" % port
    assert waiting in run.stdout and "does not exist" in run.stderr, run.stdout[:4]
    assert run.stdout.index(waiting) < run.stdout.index("Done!")
    assert "Station: 1 units passed, 0 failed" in run.stdout[-1], run.stdout[-3:]
    (entry,) = log_lines(log, image, lines, [str(port)], station=True)
    assert (entry["unit"], entry["result"], entry["errors"]) == (1, "Done!", [])
    assert_flash(sim.flash(), lines, 1)


# The image check without a controller

def check_lines(kind):
    lines = valid_lines()
    if kind == "corrupt":
        lines[5] = lines[5][:-2] + "%02X" % ((int(lines[5][-2:], 16) + 1) & 0xFF)
    elif kind == "no-e7ffc0":
        del lines[-2]
    elif kind == "kind-2":
        # A second last record: the one before the end line goes to E8FFC0 on model 3.
        lines = lines[:-1] + [s_record(2, 0xE7FF80, bytes(64)), lines[-2], lines[-1]]
    elif kind == "misaligned":
        lines.insert(1, s_record(2, 0xE00010, bytes(64)))
    elif kind == "duplicate":
        lines.insert(3, lines[1])
    elif kind == "padded":
        # The last record too: it is always sent, so it is not counted.
        lines = padded(lines, 10, len(lines) - 1)
    return lines


CHECK_ROWS = [
    ("good", 0, None),
    ("corrupt", 3, "Checksum Error (line 6: its checksum is"),
    ("no-e7ffc0", 3, "No last record E7FFC0 (line 66: the first end line follows the record at"),
    ("kind-2", 0, None),
    ("padded", 0, None),
    ("misaligned", 3, "Misaligned record (line 2: the record at E00010 does not begin on a "
                      "64-byte boundary)"),
    ("duplicate", 3, "Duplicate address (line 4: the record at E00000 was already written by "
                     "line 2)"),
    ("too-long", 3, "refused: File too long (more than 4620217 bytes)"),
    ("folder", 2, "is a folder"),
]


@pytest.mark.parametrize("kind,exit_code,reason", CHECK_ROWS, ids=[r[0] for r in CHECK_ROWS])
def test_check(programs, tmp_path, kind, exit_code, reason):
    """korvath-cli --check IMAGE: the facts one "key: value" a line, exit 0 or 3 (2 when the
    file cannot be read), the reason on standard error; no port is named or opened."""
    path = tmp_path / (kind + ".shx")
    if kind == "too-long":
        write_lines(path, forty_thousand_lines())
    elif kind == "folder":
        path.mkdir()
    else:
        write_lines(path, check_lines(kind))
    run = kh.run([programs.cli, "--check", path], 30)
    assert not run.crashed, run.stderr
    assert run.exit_code == exit_code, (run.exit_code, run.stdout, run.stderr)
    facts = dict(line.split(": ", 1) for line in run.stdout)
    if reason is not None:
        assert reason in run.stderr, run.stderr
    # The same facts as one JSON object.
    as_json = kh.run([programs.cli, "--check", "--json", path], 30)
    assert as_json.exit_code == exit_code and len(as_json.stdout) == 1, as_json.stdout
    verdict = json.loads(as_json.stdout[0])
    assert ISO_UTC.match(verdict["time"]) and verdict["exit"] == exit_code, verdict
    assert verdict["result"] == {0: "accepted", 2: "unreadable", 3: "refused"}[exit_code]
    if kind == "too-long":
        # Refused unread: its size and the limit it passes.
        assert facts == {"image": str(path), "bytes": str(path.stat().st_size),
                         "result": "refused"}, facts
        assert (verdict["bytes"], verdict["status"]) == (path.stat().st_size, "File too long")
        return
    if kind == "folder":
        assert facts == {}
        return
    assert {key: str(verdict[key]) for key in ("records", "lines", "sha256")} == {
        key: facts[key] for key in ("records", "lines", "sha256")}
    assert facts["sha256"] == hashlib.sha256(path.read_bytes()).hexdigest()
    assert facts["result"] == ("accepted" if exit_code == 0 else "refused")
    lines = check_lines(kind)
    end = next(i for i, line in enumerate(lines) if i > 0 and line.startswith("S8"))
    assert int(facts["records"]) == end - 1
    assert int(facts["lines"]) == len(lines)
    if kind == "good":
        assert (facts["lowest"], facts["highest"], facts["kind"], facts["models"]) == (
            "E00000", "E7FFC0", "1", "1 2 3")
        assert abs(float(facts["line_seconds"]) - 65 * (74 * 10 / 38400 + 0.002)) < 0.1
        assert run.stderr == ""
    if kind == "kind-2":
        assert (facts["kind"], facts["models"]) == ("2", "3")
    erased = {"padded": end - 11, "corrupt": 0, "good": 0}.get(kind)
    if erased is not None:
        assert facts["erased_records"] == "%d of %d records are erased-state (0xFF) and would " \
            "be left out with --skip-erased" % (erased, end - 1)
        assert verdict["erased_records"] == erased
