"""Runs the real programs against each other: korvath-sim on a pseudo-terminal, korvath-cli on
its port, images made by srec_cat, and the simulator's flash dump compared with the image.
Every wait has a deadline; processes are stopped by their id, never by name."""

import dataclasses
import errno
import os
import re
import select
import signal
import subprocess
import threading
import time
import tty
from pathlib import Path

FLASH_BASE = 0xE00000
SECTOR_SIZE = 0x10000
SECTORS = {1: 8, 2: 8, 3: 9}
LAST_RECORD = 0xE7FFC0
MOVED_LAST_RECORD = 0xE8FFC0

SIM_START_SECONDS = 10
SIM_STOP_SECONDS = 10


class HarnessError(Exception):
    """The test set-up itself failed (not the program under test)."""


# Images -----------------------------------------------------------------------------------------

def srec_cat_lines(blocks, header="E2E"):
    """Lines (no line ends) of an image of 64-byte S2 records, as the production tools make it.
    `blocks` holds (first, end, text) triples: the range [first, end) filled with `text`."""
    command = ["srec_cat"]
    for first, end, text in blocks:
        command += ["-generate", hex(first), hex(end), "-repeat-string", text]
    command += ["-header", header, "-execution-start-address", "0", "-output_block_size=64",
                "-address-length=3", "-disable=data-count", "-o", "-", "-motorola"]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60, check=False)
    if done.returncode != 0:
        raise HarnessError("srec_cat failed: " + done.stderr.strip())
    return done.stdout.splitlines()


def small_image_lines(model):
    """A small image: 64 records from E00000 and the last record at E7FFC0. For model 3 it is of
    kind 2: a first E7FFC0 record in its place, records in the ninth sector, and the last E7FFC0
    record (which the download moves to E8FFC0) directly before the end line."""
    first = srec_cat_lines([(0xE00000, 0xE01000, "Korvath small image, line-rate run. "),
                            (LAST_RECORD, LAST_RECORD + 64, "FIRST LAST RECORD ")]
                           + ([(0xE80000, 0xE80400, "Ninth sector of model three. ")]
                              if model == 3 else []))
    if model != 3:
        return first
    moved = srec_cat_lines([(LAST_RECORD, LAST_RECORD + 64, "MOVED TO E8FFC0 ")])
    return first[:-1] + [line for line in moved if line.startswith("S2")] + [first[-1]]


def full_image_lines():
    """The whole 512 KiB of a model 1 device, E00000 to E7FFC0: 8192 records."""
    # 61 characters: no two neighbouring records hold the same bytes.
    return srec_cat_lines([(0xE00000, 0xE80000,
                            "Full image of a model one device, every sector, every record.")])


def write_lines(path, lines, end="\r\n"):
    Path(path).write_bytes("".join(line + end for line in lines).encode("ascii"))
    return Path(path)


def s_record(kind, address, data):
    """One S1/S2/S3-style record with its checksum; kind 2 takes a 3-byte address."""
    body = bytes([len(data) + 4]) + address.to_bytes(3, "big") + bytes(data)
    checksum = 0xFF - (sum(body) & 0xFF)
    return "S%d%s%02X" % (kind, body.hex().upper(), checksum)


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


def first_difference(actual, expected):
    """None when equal, else a short description of the first difference."""
    if actual == expected:
        return None
    if len(actual) != len(expected):
        return "dump of %d bytes, expected %d" % (len(actual), len(expected))
    at = next(i for i in range(len(actual)) if actual[i] != expected[i])
    return "first difference at %06X: %02X, expected %02X" % (
        FLASH_BASE + at, actual[at], expected[at])


# Reading pipes with a deadline ------------------------------------------------------------------

def read_line(fd, deadline):
    """One line from a pipe, without its end; None at end of file or when the deadline passes."""
    data = b""
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None
        chunk = os.read(fd, 1)
        if not chunk:
            return None
        data += chunk
    return data.decode(errors="replace").rstrip("\r\n")


# The simulated controller -----------------------------------------------------------------------

class Sim:
    """One korvath-sim process: started with `options`, ready once it has printed its port,
    logging every request, writing its flash to a dump file when it ends."""

    REQUEST_KINDS = ("probe", "password", "blank check", "erase", "program", "exit")

    def __init__(self, exe, workdir, name, options):
        self.dump_path = Path(workdir) / (name + ".dump")
        self.log_path = Path(workdir) / (name + ".log")
        self.dump_path.unlink(missing_ok=True)
        self.options = list(options)
        with open(self.log_path, "wb") as log:
            # Standard input is a pipe we hold: if this driver dies, the simulator ends too.
            self.proc = subprocess.Popen([str(exe), *self.options, "--log",
                                          "--dump", str(self.dump_path)],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=log)
        self.path = read_line(self.proc.stdout.fileno(), time.monotonic() + SIM_START_SECONDS)
        if not self.path or not self.path.startswith("/dev/"):
            self.stop()
            raise HarnessError("korvath-sim %s printed no port: %r, log: %s" % (
                " ".join(self.options), self.path, self.log_path.read_text(errors="replace")))
        self.exit_code = None

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        """Stops it (if it still runs) and waits for it; the dump is written on the way out."""
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
        try:
            self.exit_code = self.proc.wait(timeout=SIM_STOP_SECONDS)
        except subprocess.TimeoutExpired:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.exit_code = self.proc.wait()
            raise HarnessError("korvath-sim did not stop on SIGTERM")
        finally:
            for stream in (self.proc.stdin, self.proc.stdout):
                if stream:
                    stream.close()
        return self.exit_code

    def flash(self):
        return self.dump_path.read_bytes() if self.dump_path.exists() else None

    def requests(self):
        """How many requests of each kind the controller answered (or dropped)."""
        counts = dict.fromkeys(self.REQUEST_KINDS, 0)
        for line in self.log_path.read_text(errors="replace").splitlines():
            summary = re.sub(r"^\s*[0-9.]+ ms\s+", "", line)
            for kind in self.REQUEST_KINDS:
                if summary.startswith(kind + " ") or summary == kind:
                    counts[kind] += 1
                    break
        return counts


# A port that outlives the controller behind it ---------------------------------------------------

class PortRelay:
    """A pseudo-terminal of our own that the downloader opens, with one simulated controller
    after another plugged in behind it. This keeps the port (its path, its buffers, its lock)
    across a faulty controller and the clean one that follows. When the controller behind it
    goes away by itself (the unplug faults), the relay hangs up its port too, as a USB adapter
    pulled out would."""

    def __init__(self):
        self._master, self._slave = os.openpty()
        # Raw from the start: no echo, no CR/LF translation before the downloader sets it up.
        tty.setraw(self._slave)
        os.set_blocking(self._master, False)
        self.path = os.ttyname(self._slave)
        self._device = None
        self._lock = threading.Lock()
        self._wake_read, self._wake_write = os.pipe()
        self._closing = False
        self.hung_up = False
        self._thread = threading.Thread(target=self._pump, daemon=True)
        self._thread.start()

    def plug(self, device_path):
        device = os.open(device_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        with self._lock:
            self._device = device
        os.write(self._wake_write, b"x")

    def unplug_quietly(self):
        """Takes the controller away without the port noticing (before stopping it)."""
        with self._lock:
            device, self._device = self._device, None
        os.write(self._wake_write, b"x")
        if device is not None:
            os.close(device)

    def close(self):
        with self._lock:
            self._closing = True
        os.write(self._wake_write, b"x")
        self._thread.join(timeout=5)
        self.unplug_quietly()
        for fd in (self._master, self._slave, self._wake_read, self._wake_write):
            try:
                os.close(fd)
            except OSError:
                pass

    @staticmethod
    def _forward(data, fd):
        # Like a line: what the far side does not take in time is lost, and the pump never
        # blocks on a reader that has stopped reading. A far side that has gone shows on the
        # read side.
        try:
            os.write(fd, data)
        except OSError:
            pass

    def _pump(self):
        while True:
            with self._lock:
                if self._closing:
                    return
                device = self._device
            fds = [self._master, self._wake_read] + ([device] if device is not None else [])
            ready = select.select(fds, [], [])[0]
            if self._wake_read in ready:
                os.read(self._wake_read, 64)
                continue
            if self._master in ready:
                try:
                    data = os.read(self._master, 4096)
                except OSError:
                    data = b""
                if data and device is not None:
                    self._forward(data, device)
            if device is not None and device in ready:
                try:
                    data = os.read(device, 4096)
                except OSError as e:
                    data = b"" if e.errno != errno.EAGAIN else None
                if data == b"":
                    with self._lock:
                        if self._device != device:
                            continue  # taken away on purpose meanwhile
                        self._device = None
                    os.close(device)
                    os.close(self._master)
                    self._master = os.open("/dev/null", os.O_RDONLY)
                    self.hung_up = True
                    return
                if data:
                    self._forward(data, self._master)


# The command-line downloader --------------------------------------------------------------------

@dataclasses.dataclass
class CliRun:
    exit_code: int
    stdout: list
    stderr: str
    seconds: float
    timed_out: bool

    @property
    def status(self):
        """The last status text: what the status box would hold."""
        return self.stdout[-1] if self.stdout else ""

    @property
    def error_reports(self):
        return [line for line in self.stderr.splitlines() if re.match(r"^\d+ - ", line)]

    @property
    def crashed(self):
        """A signal, a sanitizer report or a time-out: never a valid outcome."""
        return (self.timed_out or self.exit_code < 0 or "Sanitizer" in self.stderr
                or "runtime error:" in self.stderr)


def run_cli(exe, port, image, timeout, on_line=None, extra_args=()):
    """Runs korvath-cli to its end or until `timeout` seconds have passed (then it is killed).
    `on_line(text)` sees each status line as it is printed."""
    started = time.monotonic()
    deadline = started + timeout
    proc = subprocess.Popen([str(exe), "--port", str(port), *extra_args, str(image)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    out_fd, err_fd = proc.stdout.fileno(), proc.stderr.fileno()
    buffers = {out_fd: b"", err_fd: b""}
    lines = []
    open_fds = [out_fd, err_fd]
    timed_out = False
    while open_fds:
        left = deadline - time.monotonic()
        if left <= 0:
            timed_out = True
            os.kill(proc.pid, signal.SIGKILL)
            break
        for fd in select.select(open_fds, [], [], left)[0]:
            chunk = os.read(fd, 65536)
            if not chunk:
                open_fds.remove(fd)
                continue
            buffers[fd] += chunk
            if fd == out_fd:
                *complete, buffers[fd] = buffers[fd].split(b"\n")
                for raw in complete:
                    text = raw.decode(errors="replace").rstrip("\r")
                    lines.append(text)
                    if on_line:
                        on_line(text)
    exit_code = proc.wait()
    seconds = time.monotonic() - started
    proc.stdout.close()
    proc.stderr.close()
    if buffers[out_fd]:
        lines.append(buffers[out_fd].decode(errors="replace"))
    return CliRun(exit_code, lines, buffers[err_fd].decode(errors="replace"), seconds, timed_out)
