"""Fixtures of the Windows end-to-end tests: Wine prefixes of the tests' own under the build
folder, a COM port mapped to korvath-sim's pseudo-terminal, and an X display (Xvfb with a window
manager) for the window. Every Wine step runs under a deadline; processes are stopped by their
id, and a prefix's programs through its own wineserver."""

import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
import korvath_harness as kh  # noqa: E402

WINE = Path("/usr/lib/wine/wine64")
WINESERVER = Path("/usr/lib/wine/wineserver")
PREFIX_SECONDS = 120
STEP_SECONDS = 60
# The port the tests map: COM5 stands for a real adapter's COMn. COM9 is mapped to the same
# simulator and never registered, so no listing shows it: only its number reaches it.
COM_PORT = "COM5"
NUMBERED_PORT = "COM9"


def pytest_addoption(parser):
    parser.addoption("--build", type=Path, help="the windows preset's build folder")
    parser.addoption("--sim", type=Path, help="korvath-sim built for Linux")
    parser.addoption("--package", type=Path, help="the folder with the setup program and zip")
    parser.addoption("--picture", type=Path, help="save the window's picture here")


def windows_path(path):
    """A Linux path as Windows programs under Wine name it (drive Z: is the root)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Wine:
    """One Wine prefix with a wineserver that lives until stop(), so that each program starts
    in tens of milliseconds."""

    def __init__(self, prefix, display, fresh=False):
        self.prefix = Path(prefix)
        if fresh and self.prefix.exists():
            self._server("-k")
            shutil.rmtree(self.prefix)
        self.home = Path(str(self.prefix) + ".home")
        self.home.mkdir(parents=True, exist_ok=True)
        self.env = {**os.environ, "WINEPREFIX": str(self.prefix), "WINEDEBUG": "-all",
                    # No Mono or Gecko installer, no menu entries in the desktop's folders.
                    "WINEDLLOVERRIDES": "mscoree,mshtml,winemenubuilder.exe=",
                    "HOME": str(self.home), "DISPLAY": display,
                    # Names beyond ASCII on the command line reach the program unchanged.
                    "LC_ALL": "C.UTF-8"}
        ready = self.prefix / ".korvath-ready"
        if not ready.exists():
            subprocess.run([str(WINE), "wineboot", "--init"], env=self.env,
                           timeout=PREFIX_SECONDS, check=False, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self._server("-w", PREFIX_SECONDS)
            ready.touch()
        self.start_server()

    def _server(self, option, limit=STEP_SECONDS):
        env = getattr(self, "env", {**os.environ, "WINEPREFIX": str(self.prefix)})
        subprocess.run([str(WINESERVER), option], env=env, timeout=limit, check=False,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def start_server(self):
        """A server that stays until stopped. Its first program starts Wine's services, which
        live as long as the server and hold on to the output they were given: they get none."""
        self._server("-p")
        subprocess.run([str(WINE), "cmd", "/c", "exit", "0"], env=self.env, timeout=STEP_SECONDS,
                       check=False, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def restart_server(self):
        self.stop()
        self.start_server()


    def stop(self):
        self._server("-k")

    def call(self, command, limit):
        return subprocess.run([str(part) for part in command], env=self.env, timeout=limit,
                              check=False, stdin=subprocess.DEVNULL, capture_output=True)

    def status(self, command, limit):
        """The exit code of a Windows program run without pipes: a window program may start
        Wine's desktop process, which keeps the pipes it was given while other programs run."""
        return subprocess.run([str(WINE), *[str(part) for part in command]], env=self.env,
                              timeout=limit, check=False, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode

    def run(self, command, limit, on_line=None):
        """A Windows program to its end (killed after `limit` seconds) as a kh.Run."""
        return kh.run([WINE, *command], limit, on_line, env=self.env)

    def start(self, command):
        # No pipe: a Wine service this program starts would hold it open.
        return subprocess.Popen([str(WINE), *[str(part) for part in command]], env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def drive_c(self, *parts):
        return self.prefix.joinpath("drive_c", *parts)

    def map_port(self, name, target):
        """`name` (COMn) opens `target` from now on."""
        link = self.prefix / "dosdevices" / name.lower()
        link.unlink(missing_ok=True)
        link.symlink_to(target)


class PortLink:
    """A symbolic link of our own that the mapped COM port names, pointed at each new
    simulator's pseudo-terminal: the port's registration stays valid across simulators."""

    def __init__(self, path):
        self.path = Path(path)

    def point_at(self, device):
        self.path.unlink(missing_ok=True)
        self.path.symlink_to(device)


def stop_process(proc, limit=10):
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()


@pytest.fixture(scope="session")
def paths(pytestconfig):
    build, sim = pytestconfig.getoption("build"), pytestconfig.getoption("sim")
    if not (build and sim):
        pytest.fail("--build and --sim must name the windows build folder and korvath-sim")
    build = build.resolve()
    return SimpleNamespace(
        build=build, sim=sim.resolve(),
        cli=build / "cli" / "korvath-cli.exe", window=build / "app" / "windows" / "korvath.exe",
        probe=build / "tests" / "windows" / "window_probe.exe",
        package=(pytestconfig.getoption("package") or build.parent / "package").resolve(),
        picture=pytestconfig.getoption("picture"))


@pytest.fixture(scope="session")
def display(tmp_path_factory):
    """An X display of our own with a window manager, so that windows get their frames."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = kh.read_line(read_end, time.monotonic() + 30)
    os.close(read_end)
    if not number:
        stop_process(xvfb)
        pytest.fail("Xvfb did not start")
    name = ":" + number.strip()
    manager = subprocess.Popen(["openbox", "--sm-disable"], env={**os.environ, "DISPLAY": name},
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    yield name
    stop_process(manager)
    stop_process(xvfb)


@pytest.fixture(scope="session")
def port_link(tmp_path_factory):
    return PortLink(tmp_path_factory.mktemp("port") / "com-device")


@pytest.fixture(scope="session")
def wine(paths, display, port_link):
    """The prefix of the command-line and window tests, kept in the build folder between runs."""
    prefix = Wine(paths.build / "e2e-prefix", display)
    prefix.map_port(COM_PORT, port_link.path)
    prefix.map_port(NUMBERED_PORT, port_link.path)
    yield prefix
    prefix.stop()


@pytest.fixture(scope="session", autouse=True)
def private_home(tmp_path_factory):
    with pytest.MonkeyPatch.context() as patch:
        for name, value in kh.private_environment(tmp_path_factory.mktemp("env")).items():
            patch.setenv(name, value)
        yield


@pytest.fixture
def start_sim(paths, tmp_path, port_link):
    """Starts korvath-sim and points the COM port at it; stops it at the end if still running."""
    started = []

    def start(options=()):
        started.append(kh.Sim(paths.sim, tmp_path, "sim", options))
        port_link.point_at(started[-1].path)
        return started[-1]
    yield start
    for sim in started:
        if sim.running():
            sim.stop()
