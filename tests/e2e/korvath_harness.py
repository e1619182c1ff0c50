"""Drives the built programs against each other: korvath-sim on a pseudo-terminal, korvath-cli
or the window on its port, images made by srec_cat. Shared by the end-to-end tests and
bench/perf.py. Every wait has a deadline; processes are stopped by their id, never by name."""

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

SIM_START_SECONDS = 10
SIM_STOP_SECONDS = 10


def private_environment(root):
    """Variables that give child processes a home, configuration and runtime folder of their
    own under `root`, so that nothing they save reaches the user's settings."""
    root = Path(root)
    folders = {"HOME": root / "home", "XDG_CONFIG_HOME": root / "home" / ".config",
               "XDG_RUNTIME_DIR": root / "runtime"}
    for folder in folders.values():
        folder.mkdir(parents=True, exist_ok=True, mode=0o700)
    return {name: str(folder) for name, folder in folders.items()}


def srec_cat_lines(blocks, header="E2E"):
    """Lines (no line ends) of an image of 64-byte S2 records, as the production tools make it.
    `blocks` holds (first, end, text) triples: the range [first, end) filled with `text`."""
    command = ["srec_cat"]
    for first, end, text in blocks:
        command += ["-generate", hex(first), hex(end), "-repeat-string", text]
    command += ["-header", header, "-execution-start-address", "0", "-output_block_size=64",
                "-address-length=3", "-disable=data-count", "-o", "-", "-motorola"]
    return subprocess.run(command, capture_output=True, text=True, timeout=60,
                          check=True).stdout.splitlines()


def write_lines(path, lines, end="\r\n"):
    Path(path).write_bytes("".join(line + end for line in lines).encode("ascii"))
    return Path(path)


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


class Sim:
    """One korvath-sim process: started with `options`, ready once it has printed its port
    (`count` ports with --count: `paths`), logging every request with its time, writing its
    flash to a dump file when it ends (one per port and unit, see flash())."""

    REQUEST_KINDS = ("probe", "password", "blank check", "erase", "program", "exit")

    def __init__(self, exe, workdir, name, options=(), count=1):
        self.dump_path = Path(workdir) / (name + ".dump")
        self.log_path = Path(workdir) / (name + ".log")
        self.dump_path.unlink(missing_ok=True)
        options = [*options, *(["--count", str(count)] if count > 1 else [])]
        with open(self.log_path, "wb") as log:
            # Standard input is a pipe we hold: if this driver dies, the simulator ends too.
            self.proc = subprocess.Popen([str(exe), *options, "--log", "--dump",
                                          str(self.dump_path)],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=log)
        deadline = time.monotonic() + SIM_START_SECONDS
        self.paths = [read_line(self.proc.stdout.fileno(), deadline) for _ in range(count)]
        self.path = self.paths[0]
        if not all(path and path.startswith("/dev/") for path in self.paths):
            self.stop()
            raise RuntimeError("korvath-sim %s printed no port: %r, log: %s" % (
                " ".join(options), self.path, self.log_path.read_text(errors="replace")))

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        """Stops it (if it still runs) and waits for it; the dump is written on the way out."""
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
        try:
            return self.proc.wait(timeout=SIM_STOP_SECONDS)
        except subprocess.TimeoutExpired:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
            raise RuntimeError("korvath-sim did not stop on SIGTERM")
        finally:
            self.proc.stdin.close()
            self.proc.stdout.close()

    def flash(self, tag=""):
        """The dump; `tag` picks one of several ports or units: "P", "U" or "P.U"."""
        path = self.dump_path.with_name(self.dump_path.name + "." + tag) if tag else self.dump_path
        return path.read_bytes() if path.exists() else None

    def log(self, tag=None):
        """(milliseconds, request summary) for each line of its log; with several ports or
        units, only those of `tag` ("P", "U" or "P.U") when it is given."""
        for line in self.log_path.read_text(errors="replace").splitlines():
            found = re.match(r"^\s*(?:([0-9]+(?:\.[0-9]+)?)\s+)?([0-9.]+) ms\s+(.*)$", line)
            if found and (tag is None or found[1] == tag):
                yield float(found[2]), found[3]

    def requests(self, tag=None):
        """How many requests of each kind the controller answered (or dropped)."""
        counts = dict.fromkeys(self.REQUEST_KINDS, 0)
        for _, summary in self.log(tag):
            kind = next((k for k in self.REQUEST_KINDS
                         if summary.startswith(k + " ") or summary == k), None)
            if kind:
                counts[kind] += 1
        return counts

    def program_times(self):
        """Times (ms) at which each program frame had fully arrived, in order."""
        return [ms for ms, summary in self.log() if summary.split(" ", 1)[0] == "program"]


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
        self._closed = False
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
        if self._closed:
            return
        self._closed = True
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


@dataclasses.dataclass
class Run:
    """One program run: its exit code, each line of standard output with the seconds since the
    start at which it arrived, standard error, and its wall and CPU time (all threads)."""
    exit_code: int
    timed: list
    stderr: str
    seconds: float
    cpu_seconds: float
    timed_out: bool

    @property
    def stdout(self):
        return [text for _, text in self.timed]

    @property
    def status(self):
        """The last status text: what the status box would hold."""
        return self.timed[-1][1] if self.timed else ""

    def status_time(self, text):
        return next((t for t, line in self.timed if line == text), None)

    @property
    def cpu_share(self):
        return self.cpu_seconds / self.seconds if self.seconds > 0 else float("nan")

    @property
    def error_reports(self):
        return [line for line in self.stderr.splitlines() if re.match(r"^\d+ - ", line)]

    @property
    def crashed(self):
        """A signal, a sanitizer report or a time-out: never a valid outcome."""
        return (self.timed_out or self.exit_code < 0 or "Sanitizer" in self.stderr
                or "runtime error:" in self.stderr)


def default_signals():
    """Run in a child before it starts the program: a shell's background job ignores SIGINT
    and SIGQUIT, and nohup SIGHUP; the programs under test start with the defaults."""
    for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)


# Every run of the current test, in order, for the reliability report (tests/e2e/conftest.py).
runs_of_test = []


def shown_message(run, work):
    """What the user sees last: the status text, or for a usage error the message on stderr
    (with the test's own folder `work` left out)."""
    if run.exit_code == 2 or not run.stdout:
        lines = [line for line in run.stderr.splitlines() if line.strip()]
        text = lines[-1].removeprefix("korvath-cli: ") if lines else ""
        return text.replace(str(work) + os.sep, "")
    return run.status


def run(command, limit_s, on_line=None, env=None, on_start=None):
    """Runs `command` to its end or until `limit_s` seconds have passed (then it is killed).
    `on_line(text)` sees each line of standard output as it is printed; `on_start(process)`
    the process once started."""
    started = time.monotonic()
    proc = subprocess.Popen([str(part) for part in command], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env={**os.environ, **(env or {})}, preexec_fn=default_signals)
    if on_start:
        on_start(proc)
    timed, errors = [], []

    def read_out():
        for raw in proc.stdout:
            text = raw.decode(errors="replace").rstrip("\r\n")
            timed.append((time.monotonic() - started, text))
            if on_line:
                on_line(text)

    readers = [threading.Thread(target=read_out, daemon=True),
               threading.Thread(target=lambda: errors.append(proc.stderr.read()), daemon=True)]
    for reader in readers:
        reader.start()
    # Standard output ends when the program does; until it is reaped below its id stays ours.
    readers[0].join(limit_s)
    timed_out = readers[0].is_alive()
    if timed_out:
        os.kill(proc.pid, signal.SIGKILL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    seconds = time.monotonic() - started
    for reader in readers:
        reader.join()
    proc.stdout.close()
    proc.stderr.close()
    result = Run(proc.returncode, timed, b"".join(errors).decode(errors="replace"), seconds,
                 usage.ru_utime + usage.ru_stime, timed_out)
    runs_of_test.append(result)
    return result


def run_cli(exe, port, image, limit_s, on_line=None, extra_args=()):
    return run([exe, "--port", port, *extra_args, image], limit_s, on_line)
