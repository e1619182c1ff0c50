"""korvath-cli.exe, korvath.exe and the setup program under Wine, against korvath-sim through
a COM port mapped to the simulator's pseudo-terminal. The images, the expected flash and the
status order are those of the Linux end-to-end tests."""

import hashlib
import json
import re
import subprocess
import time
import zipfile

import pytest

import korvath_harness as kh
import test_e2e as linux
from conftest import COM_PORT, WINE, Wine, windows_path

# The simulator skips the blank check's second per sector; the line keeps its timing. The
# download's 8 s wait for the controller's reset stays.
FAST = ["--blank-ms", "0"]
DOWNLOAD_BOUND_S = 45
FAILURE_BOUND_S = 30
WINDOW_BOUND_S = 90
PROBE_S = 30
UNINSTALL_S = 60
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


def nothing_erased(sim):
    counts = sim.requests()
    assert (counts["blank check"], counts["erase"], counts["program"]) == (0, 0, 0)
    assert set(sim.flash()) == {0x00}


FAILURE_ROWS = [
    # key, controller, image, status, exit code, report on stderr, after
    ("refused-image", ["--dirty"], linux.with_record(0xE00010), "Misaligned record", 3, None,
     nothing_erased),
    ("refused-record", ["--nak-program", "5"], linux.valid_lines, "Flash Error", 1, None, None),
    ("line-dead", ["--unplug-after", "10"], linux.valid_lines, "Flash Error", 1,
     re.compile(r"^57 - "), None),
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
        after(sim)


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
    # A refused image is refused after the password: the number reached the controller.
    image = kh.write_lines(tmp_path / "refused.shx", linux.with_record(0xE00010)())
    sim = start_sim(FAST)
    run = cli(wine, paths, numbers[0], image, limit=FAILURE_BOUND_S)
    sim.stop()
    assert (run.status, run.exit_code) == ("Misaligned record", 3), run.stderr[-400:]
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


def take_picture(wine, path):
    """The window with its frame, as the display shows it."""
    found = subprocess.run(["xdotool", "search", "--name", "^" + re.escape(TITLE) + "$"],
                           env=wine.env, capture_output=True, text=True, timeout=30, check=False)
    assert found.stdout.split(), "xdotool finds no window named %r" % TITLE
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-frame", "-window", found.stdout.split()[0], str(path)],
                   env=wine.env, timeout=30, check=True)


INSTALLED = ["korvath.exe", "korvath-cli.exe", "README.txt", "examples/demo.shx"]


def test_installer(paths, display, port_link, start_sim):
    """The setup program into a new prefix, silently; the installed korvath-cli.exe downloads
    the installed demo image; the silent uninstall leaves nothing."""
    setup = sorted(paths.package.glob("korvath-*-setup.exe"))
    archive = sorted(paths.package.glob("korvath-*-windows-x64.zip"))
    assert setup and archive, "no setup program or zip in %s" % paths.package
    with zipfile.ZipFile(archive[-1]) as z:
        names = sorted(name.split("/", 1)[1] for name in z.namelist() if not name.endswith("/"))
    assert names == sorted(INSTALLED)

    wine = Wine(paths.build / "install-prefix", display, fresh=True)
    try:
        wine.map_port(COM_PORT, port_link.path)
        installed = wine.run([setup[-1], "/S"], 120)
        assert installed.exit_code == 0, installed.stderr
        folder = wine.drive_c("Program Files", "Korvath")
        assert sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file()) == \
            sorted(INSTALLED + ["uninstall.exe"])
        shortcut = wine.drive_c("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                                "Korvath.lnk")
        assert shortcut.is_file()
        key = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvath"
        assert wine.call([WINE, "reg", "query", key], 60).returncode == 0

        demo_lines = (folder / "examples" / "demo.shx").read_text().splitlines()
        sim = start_sim(FAST)
        run = wine.run([r"C:\Program Files\Korvath\korvath-cli.exe", "--port", COM_PORT,
                        r"C:\Program Files\Korvath\examples\demo.shx"], DOWNLOAD_BOUND_S)
        expect_done(run, sim, demo_lines, 1)

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
    finally:
        wine.stop()
