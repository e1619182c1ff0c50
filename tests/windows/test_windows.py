"""korvath-cli.exe, korvath.exe and the setup program under Wine, against korvath-sim through
a COM port mapped to the simulator's pseudo-terminal. The images, the expected flash and the
status order are those of the Linux end-to-end tests."""

import hashlib
import json
import os
import re
import subprocess
import time
import zipfile

import pytest

import korvath_harness as kh
import test_e2e as linux
from conftest import COM_PORT, NUMBERED_PORT, WINE, Wine, stop_process, windows_path

# The simulator skips the blank check's second per sector; the line keeps its timing. The
# download's 8 s wait for the controller's reset stays.
FAST = ["--blank-ms", "0"]
DOWNLOAD_BOUND_S = 45
FAILURE_BOUND_S = 30
WINDOW_BOUND_S = 90
PROBE_S = 30
LOST_BOUND_S = 5
UNINSTALL_S = 60
# Enough for a silent uninstall that is going to remove something to have begun.
UNINSTALL_REFUSED_S = 5
TITLE = "Velbrannic -  Application Downloader   1.0.0"


def cli(wine, paths, port, image, *options, limit=DOWNLOAD_BOUND_S):
    return wine.run([paths.cli, "--port", port, *options, windows_path(image)], limit)


def expect_done(run, sim, lines, model):
    sim.stop()
    assert not run.timed_out and run.exit_code == 0, "exit %d, %r: %s" % (
        run.exit_code, run.status, run.stderr[-400:])
    linux.assert_flash(sim.flash(), lines, model)


def plain_status_order(run, model, work, port):
    order = (linux.STATUS_ORDER_HEAD + ["Blank external flash S%d" % i
                                        for i in range(linux.SECTORS[model])]
             + linux.STATUS_ORDER_TAIL)
    assert run.stdout == order


def json_events(run, model, work, port):
    events = [json.loads(line) for line in run.stdout]
    # Events name the port as it was given; the run's own result comes last and names none.
    assert {event["port"] for event in events[:-1]} == {port}
    assert events[-1]["scope"] == "run" and "port" not in events[-1]
    assert events[-1]["event"] == "result" and events[-1]["result"] == "Done!"
    assert events[-2]["event"] == "result" and events[-2]["model"] == model


def audit_line(run, model, work, port):
    records = [json.loads(line) for line in (work / "audit.jsonl").read_text().splitlines()]
    assert len(records) == 1
    record, image = records[0], (work / "image.shx").read_bytes()
    # BCrypt's SHA-256 under Wine against Python's.
    assert record["image_sha256"] == hashlib.sha256(image).hexdigest()
    assert (record["result"], record["exit"], record["model"]) == ("Done!", 0, model)
    # The run id from BCrypt's random source.
    assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
                        record["run_id"]) and record["unit"] == 1
    assert record["image"].lower() == windows_path(work / "image.shx").lower()
    assert run.status == "Done!"


# One download per device model, each through another way of writing the port's name; one
# image in a folder whose name Windows' old code pages cannot all hold.
MODEL_ROWS = [
    pytest.param(1, COM_PORT, [], "images", plain_status_order, id="model1-COM5"),
    pytest.param(2, COM_PORT.lower(), ["--json"], "images", json_events, id="model2-com5-json"),
    pytest.param(3, "\\\\.\\" + COM_PORT, ["--log", "AUDIT"], "Zähler Прошивка",
                 audit_line, id="model3-device-path-log"),
    # A bare number is that COM port, not a place in the list: COM9 is mapped and not listed.
    pytest.param(1, NUMBERED_PORT[3:], [], "images", plain_status_order, id="model1-bare-number-9"),
]


@pytest.mark.parametrize("model, port, options, folder, check", MODEL_ROWS)
def test_download(wine, paths, tmp_path, start_sim, model, port, options, folder, check):
    lines = linux.small_image_lines(model)
    work = tmp_path / folder
    work.mkdir()
    image = kh.write_lines(work / "image.shx", lines)
    options = [windows_path(work / "audit.jsonl") if o == "AUDIT" else o for o in options]
    sim = start_sim(["--model", str(model), *FAST])
    run = cli(wine, paths, port, image, *options)
    expect_done(run, sim, lines, model)
    check(run, model, work, port)


def nothing_erased(sim, run):
    counts = sim.requests()
    assert (counts["blank check"], counts["erase"], counts["program"]) == (0, 0, 0)
    assert set(sim.flash()) == {0x00}


def lost_at_once(sim, run):
    """The line closed a few records after "Programming!": the port is lost within seconds,
    whatever its reads do once the other end has gone."""
    programming = run.status_time("Programming!")
    assert programming is not None and run.seconds - programming < LOST_BOUND_S, run.timed


FAILURE_ROWS = [
    # key, controller, image, status, exit code, report on stderr, after
    ("refused-image", ["--dirty"], linux.with_record(0xE00010), "Misaligned record", 3, None,
     nothing_erased),
    ("refused-record", ["--nak-program", "5"], linux.valid_lines, "Flash Error", 1, None, None),
    ("line-dead", ["--unplug-after", "10"], linux.valid_lines, "Flash Error", 1,
     re.compile(r"^57 - Port COM5 was lost: "), lost_at_once),
]


@pytest.mark.parametrize("key, options, content, status, exit_code, report, after",
                         FAILURE_ROWS, ids=[row[0] for row in FAILURE_ROWS])
def test_failure(wine, paths, tmp_path, start_sim, key, options, content, status, exit_code,
                 report, after):
    image = kh.write_lines(tmp_path / (key + ".shx"), content())
    sim = start_sim([*options, *FAST])
    run = cli(wine, paths, COM_PORT, image, limit=FAILURE_BOUND_S)
    sim.stop()
    assert not run.timed_out, "still running after %d s" % FAILURE_BOUND_S
    assert (run.status, run.exit_code) == (status, exit_code), run.stderr[-400:]
    if report:
        assert any(report.search(line) for line in run.error_reports), run.stderr[-400:]
    if after:
        after(sim, run)


# A log that is no file on a disk would lose the unit's record after flashing it: refused with
# exit 2 before the port opens, so the controller never sees a frame.
@pytest.mark.parametrize("log, kind", [("NUL", "a device (NUL)"), ("COM6", "a device (COM6)"),
                                       ("aux.jsonl", "a device (AUX)")])
def test_log_not_a_file(wine, paths, tmp_path, start_sim, log, kind):
    image = kh.write_lines(tmp_path / "image.shx", linux.valid_lines())
    sim = start_sim(FAST)
    run = cli(wine, paths, COM_PORT, image, "--log", log, limit=FAILURE_BOUND_S)
    sim.stop()
    assert run.exit_code == 2, run.stderr[-400:]
    assert "is %s, not a regular file" % kind in run.stderr, run.stderr[-400:]
    assert sum(sim.requests().values()) == 0 and run.stdout == []


def test_list_ports(wine, paths, tmp_path, start_sim, port_link):
    """Wine lists a port registered under HKLM\\Software\\Wine\\Ports once its server has
    started again; its number in the list then opens it."""
    added = wine.call([WINE, "reg", "add", r"HKLM\Software\Wine\Ports", "/v", COM_PORT,
                       "/d", str(port_link.path), "/f"], 60)
    assert added.returncode == 0, added.stderr
    wine.restart_server()
    listed = wine.run([paths.cli, "--list-ports"], 30)
    assert listed.exit_code == 0, listed.stderr
    numbers = [found[1] for found in (re.match(r"^\s*(\d+)\s+%s\b" % COM_PORT, line)
                                      for line in listed.stdout) if found]
    assert numbers, listed.stdout
    # A record past model 1's sectors is refused only after the password, by the model that
    # answered: the number reached the controller.
    image = kh.write_lines(tmp_path / "refused.shx", linux.with_record(0xE80000)())
    sim = start_sim(FAST)
    run = cli(wine, paths, numbers[0], image, limit=FAILURE_BOUND_S)
    sim.stop()
    assert (run.status, run.exit_code) == ("Record outside flash", 3), run.stderr[-400:]
    assert sim.requests()["password"] >= 1


class Window:
    """korvath.exe under Wine, driven through window_probe.exe (control ids from 100 in the
    order of ui_win32/layout.h's Control)."""

    PORT_BOX, OPEN_PORT, CLOSE_PORT, CHOOSE_FILE, DOWNLOAD = 100, 101, 102, 103, 104
    STATUS, FILE_NAME = 107, 109

    def __init__(self, wine, paths, *arguments):
        self.wine, self.paths = wine, paths
        self.proc = wine.start([paths.window, *arguments])

    def probe(self, *arguments, limit=PROBE_S):
        return self.wine.run([self.paths.probe, *arguments], limit)

    def close(self):
        self.probe("close")
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise


def test_window_downloads(wine, paths, start_sim):
    # Without opening a window, to the output of whoever started it.
    version = wine.run([paths.window, "--version"], PROBE_S)
    assert (version.exit_code, version.stdout) == (0, ["korvath 1.0.0"]), version.stderr

    # Where a technician keeps images, so that the picture shows a plain path.
    lines = linux.small_image_lines(1)
    folder = wine.drive_c("images")
    folder.mkdir(exist_ok=True)
    kh.write_lines(folder / "app.shx", lines)
    sim = start_sim(FAST)
    window = Window(wine, paths, r"C:\images\app.shx")
    try:
        found = window.probe("find", "x", "30")
        assert found.exit_code == 0, "no window: " + found.stderr
        size, title = found.stdout[0].split(" ", 1)
        width, height = map(int, size.split("x"))
        # The design's 419 x 146 at 96 dpi; the details line (the file's path) adds below.
        assert (width, title) == (419, TITLE) and height >= 146, found.stdout
        assert window.probe("text", str(Window.FILE_NAME)).stdout == ["app.shx"]
        window.probe("set", str(Window.PORT_BOX), COM_PORT)
        window.probe("click", str(Window.OPEN_PORT))
        opened = window.probe("wait-enabled", str(Window.DOWNLOAD), "20")
        assert opened.exit_code == 0, window.probe("boxes").stdout
        window.probe("click", str(Window.DOWNLOAD))
        done = window.probe("wait-text", str(Window.STATUS), "Done!", str(WINDOW_BOUND_S),
                            limit=WINDOW_BOUND_S + 10)
        assert done.exit_code == 0, done.stdout
        if paths.picture:
            take_picture(wine, paths.picture)
        # Downloading again finds the controller restarted into its application, silent: the
        # button reads Stop meanwhile, and Stop ends the connect phase as "Cancelled".
        window.probe("click", str(Window.DOWNLOAD))
        assert window.probe("wait-text", str(Window.DOWNLOAD), "Stop", "10").exit_code == 0
        window.probe("click", str(Window.DOWNLOAD))
        cancelled = window.probe("wait-text", str(Window.STATUS), "Cancelled", "20")
        assert cancelled.exit_code == 0, cancelled.stdout
        assert window.probe("text", str(Window.DOWNLOAD)).stdout == ["&Download"]
    finally:
        window.close()
    sim.stop()
    linux.assert_flash(sim.flash(), lines, 1)


def test_window_scales_with_dpi(wine, paths):
    """At 150 % (144 dpi) the design's client area is 629 x 219; nothing remembered, so that
    no details line adds to it."""
    desktop = r"HKCU\Control Panel\Desktop"
    wine.call([WINE, "reg", "delete", r"HKCU\Software\Korvath", "/f"], PROBE_S)
    wine.call([WINE, "reg", "add", desktop, "/v", "LogPixels", "/t", "REG_DWORD", "/d", "144",
               "/f"], PROBE_S)
    wine.restart_server()
    try:
        window = Window(wine, paths)
        try:
            found = window.probe("find", "x", "30")
        finally:
            window.close()
        assert found.stdout == ["629x219 " + TITLE]
    finally:
        wine.call([WINE, "reg", "delete", desktop, "/v", "LogPixels", "/f"], PROBE_S)
        wine.restart_server()


def test_window_opens_centred_then_where_left(wine, paths):
    """Nothing remembered: centred on its monitor's work area; moved and closed, it opens
    again where it was left."""
    wine.call([WINE, "reg", "delete", r"HKCU\Software\Korvath", "/f"], PROBE_S)

    def place():
        window = Window(wine, paths)
        try:
            assert window.probe("find", "x", "30").exit_code == 0
            return window, [int(n) for n in window.probe("place").stdout[0].split()]
        except BaseException:
            window.close()
            raise

    window, (left, top, width, height, *work) = place()
    try:
        assert abs(left - (work[0] + (work[2] - width) // 2)) <= 1, (left, width, work)
        assert abs(top - (work[1] + (work[3] - height) // 2)) <= 1, (top, height, work)
        assert window.probe("move", str(work[0] + 40), str(work[1] + 30)).exit_code == 0
        time.sleep(0.5)
    finally:
        window.close()
    window, (left, top, *_) = place()
    window.close()
    assert (left, top) == (work[0] + 40, work[1] + 30)


def take_picture(wine, path):
    """The window with its frame, as the display shows it."""
    found = subprocess.run(["xdotool", "search", "--name", "^" + re.escape(TITLE) + "$"],
                           env=wine.env, capture_output=True, text=True, timeout=30, check=False)
    assert found.stdout.split(), "xdotool finds no window named %r" % TITLE
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-frame", "-window", found.stdout.split()[0], str(path)],
                   env=wine.env, timeout=30, check=True)


INSTALLED = ["korvath.exe", "korvath-cli.exe", "README.txt", "examples/demo.shx"]


ENVIRONMENT = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
ASSOCIATION = r"HKLM\Software\Classes\.shx"
INSTALLED_CLI = r"C:\Program Files\Korvath\korvath-cli.exe"
INSTALLED_FOLDER = r"C:\Program Files\Korvath"


def reg_value(wine, key, *value):
    """What `reg query` prints for the key (or its value), or None when it is not there."""
    found = wine.call([WINE, "reg", "query", key, *value], 60)
    return found.stdout.decode(errors="replace") if found.returncode == 0 else None


def test_installer(paths, display, port_link, start_sim):
    """The setup program into a new prefix, silently, with /PATH=1; the installed korvath-cli.exe
    downloads the installed demo image; a running korvath-cli.exe stops a second setup and an
    uninstall, which change nothing; the silent uninstall then leaves nothing."""
    setup = sorted(paths.package.glob("korvath-*-setup.exe"))
    archive = sorted(paths.package.glob("korvath-*-windows-x64.zip"))
    assert setup and archive, "no setup program or zip in %s" % paths.package
    with zipfile.ZipFile(archive[-1]) as z:
        names = sorted(name.split("/", 1)[1] for name in z.namelist() if not name.endswith("/"))
    assert names == sorted(INSTALLED)

    wine = Wine(paths.build / "install-prefix", display, fresh=True)
    try:
        wine.map_port(COM_PORT, port_link.path)
        installed = wine.run([setup[-1], "/S", "/PATH=1"], 120)
        assert installed.exit_code == 0, installed.stderr
        folder = wine.drive_c("Program Files", "Korvath")
        assert sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file()) == \
            sorted(INSTALLED + ["uninstall.exe"])
        shortcut = wine.drive_c("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                                "Korvath.lnk")
        assert shortcut.is_file()
        key = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvath"
        assert wine.call([WINE, "reg", "query", key], 60).returncode == 0
        assert "Korvath.Image" in (reg_value(wine, ASSOCIATION, "/ve") or "")
        opens = reg_value(wine, r"HKLM\Software\Classes\Korvath.Image\shell\open\command", "/ve")
        assert opens and r'"C:\Program Files\Korvath\korvath.exe" "%1"' in opens, opens
        assert INSTALLED_FOLDER in (reg_value(wine, ENVIRONMENT, "/v", "Path") or ""), \
            reg_value(wine, ENVIRONMENT, "/v", "Path")
        assert reg_value(wine, r"HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths"
                         r"\korvath-cli.exe", "/ve")
        ca = os.environ.get("KORVATH_SIGN_CA")
        if ca:
            for program in ("korvath.exe", "korvath-cli.exe", "uninstall.exe"):
                verified = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in",
                                           str(folder / program)], capture_output=True,
                                          timeout=60, check=False)
                assert verified.returncode == 0, (program, verified.stdout[-400:])

        demo_lines = (folder / "examples" / "demo.shx").read_text().splitlines()
        sim = start_sim(FAST)
        run = wine.run([INSTALLED_CLI, "--port", COM_PORT,
                        r"C:\Program Files\Korvath\examples\demo.shx"], DOWNLOAD_BOUND_S)
        expect_done(run, sim, demo_lines, 1)

        # A station waiting for a port that never comes: korvath-cli.exe runs until stopped.
        before = {p.name: p.read_bytes() for p in folder.iterdir() if p.is_file()}
        running = wine.start([INSTALLED_CLI, "--station", "--port", "COM8",
                              r"C:\Program Files\Korvath\examples\demo.shx"])
        try:
            time.sleep(3)
            assert running.poll() is None, "korvath-cli.exe did not keep running"
            assert wine.status([setup[-1], "/S"], 120) != 0, \
                "a second setup replaced a running program"
            # The uninstaller goes on from a copy of itself, whose exit code nobody sees: what
            # it leaves is the answer.
            wine.status([r"C:\Program Files\Korvath\uninstall.exe", "/S"], 60)
            time.sleep(UNINSTALL_REFUSED_S)
            assert {p.name: p.read_bytes() for p in folder.iterdir() if p.is_file()} == before
            assert wine.call([WINE, "reg", "query", key], 60).returncode == 0, \
                "the uninstall entry went with a program still there"
        finally:
            stop_process(running)

        # The user's settings: a silent uninstall keeps them.
        settings = r"HKCU\Software\Korvath\Window"
        assert wine.call([WINE, "reg", "add", settings, "/v", "PortText", "/d", COM_PORT, "/f"],
                         60).returncode == 0
        removed = wine.run([r"C:\Program Files\Korvath\uninstall.exe", "/S"], 60)
        assert removed.exit_code == 0, removed.stderr

        # The uninstaller runs on from a copy of itself after the program started has ended.
        def gone():
            return (not folder.exists() and not shortcut.exists()
                    and wine.call([WINE, "reg", "query", key], 60).returncode != 0)
        deadline = time.monotonic() + UNINSTALL_S
        while not gone() and time.monotonic() < deadline:
            time.sleep(0.2)
        assert not folder.exists(), sorted(str(p) for p in folder.rglob("*"))
        assert not shortcut.exists()
        assert gone(), "the uninstall entry is still there"
        assert "Korvath.Image" not in (reg_value(wine, ASSOCIATION, "/ve") or "")
        assert reg_value(wine, r"HKLM\Software\Classes\Korvath.Image") is None
        assert INSTALLED_FOLDER not in (reg_value(wine, ENVIRONMENT, "/v", "Path") or "")
        assert COM_PORT in (reg_value(wine, settings, "/v", "PortText") or "")
    finally:
        wine.stop()
