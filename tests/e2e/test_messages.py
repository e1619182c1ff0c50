"""What korvath-cli tells the user and how it stops: a safe Ctrl-C, SIGTERM, SIGHUP or SIGQUIT
(the exit frame at the next exchange boundary, the port released), strict port texts, a busy
port refused under another name, the help, completion, the wire trace and --quiet."""

import grp
import json
import os
import pwd
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

import korvath_harness as kh

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.shx"
DEMO_RECORDS = 65


def demo_image(folder):
    """The demo image in a folder every user may read."""
    os.chmod(folder, 0o755)
    image = Path(folder) / "demo.shx"
    shutil.copyfile(DEMO, image)
    os.chmod(image, 0o644)
    return image


def as_user(user):
    """The prefix that runs a program as `user`, without root's groups, in the same process
    (so that signals reach the program itself)."""
    return ["setpriv", "--reuid=" + user, "--regid=nogroup", "--clear-groups", "--"]


def start_cli(programs, port, image, stderr=subprocess.PIPE, user=None, options=()):
    command = [str(programs.cli), "--port", port, *map(str, options), str(image)]
    if user:
        command = [*as_user(user), *command]
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=stderr, preexec_fn=kh.default_signals)


def signal_at(proc, line, number, delay_s=0.0, limit_s=90):
    """Sends `number` once standard output shows `line` (after `delay_s`); returns the lines,
    the exit code, the seconds from the signal to the exit and standard error."""
    lines, sent = [], None
    deadline = time.monotonic() + limit_s
    while True:
        text = kh.read_line(proc.stdout.fileno(), deadline)
        if text is None:
            break
        lines.append(text)
        if sent is None and text == line:
            time.sleep(delay_s)
            os.kill(proc.pid, number)
            sent = time.monotonic()
    code = proc.wait(timeout=max(deadline - time.monotonic(), 1))
    stopped = time.monotonic()
    err = proc.stderr.read().decode(errors="replace") if proc.stderr else ""
    assert sent is not None, "never saw %r: %s %s" % (line, lines, err)
    return lines, code, stopped - sent, err


def requests_after_last(sim, kind):
    """The requests the controller saw after the last one of `kind`."""
    log = [summary for _, summary in sim.log()]
    last = max(i for i, summary in enumerate(log) if summary.startswith(kind))
    return [summary.split(" ")[0] for summary in log[last + 1:]]


# Ctrl-C during the erase phase (a 300 ms erase, then a 1000 ms pause) and during programming:
# the download ends after the exchange in flight, the exit frame goes out at once, the pause is
# not sat out, and the user learns the flash is incomplete.
@pytest.mark.parametrize("moment, line, delay_s, bound_s", [
    ("erase", "Erase external flash S1", 0.1, 1.2),
    ("program", "Programming!", 0.4, 0.6),
])
def test_ctrl_c_sends_the_exit_frame_at_the_next_exchange(programs, start_sim, tmp_path,
                                                        moment, line, delay_s, bound_s):
    sim = start_sim("cancel-" + moment, ["--dirty"])
    proc = start_cli(programs, sim.path, demo_image(tmp_path))
    lines, code, seconds, err = signal_at(proc, line, signal.SIGINT, delay_s)
    assert code == 130, (lines, err)
    assert lines[-1] == "Cancelled", lines
    assert seconds < bound_s, "%.2f s from SIGINT to exit" % seconds
    assert "flash is incomplete" in err and "Run the download again" in err, err
    assert "\x1b[K" not in err.rstrip("\r\n").rsplit("\n", 1)[-1].split("\r")[-1], err
    sim.stop()
    requests = sim.requests()
    assert requests["exit"] == 1, requests
    assert requests_after_last(sim, "exit") == []
    if moment == "program":
        assert 0 < requests["program"] < DEMO_RECORDS, requests
    else:
        assert requests["program"] == 0, requests


# SIGHUP (the terminal of an ssh session closed) and SIGQUIT stop a download as Ctrl-C does:
# after the exchange in flight, with the exit frame as the last request, the audit line written
# and no lock file left; exit 128 + the signal. The later phases run in-process (LineRun).
@pytest.mark.parametrize("number", [signal.SIGHUP, signal.SIGQUIT], ids=["SIGHUP", "SIGQUIT"])
@pytest.mark.parametrize("moment, line, delay_s, flash", [
    ("password", "Sending Password", 0.0, "flash is unchanged"),
    ("erase", "Erase external flash S1", 0.1, "flash is incomplete"),
])
def test_hang_up_and_quit_stop_like_ctrl_c(programs, start_sim, tmp_path, number, moment, line,
                                           delay_s, flash):
    sim = start_sim("%s-%s" % (number.name, moment), ["--dirty"])
    assert sim.path.startswith("/dev/")
    log = tmp_path / "units.jsonl"
    proc = start_cli(programs, sim.path, demo_image(tmp_path), options=["--log", log])
    lines, code, seconds, err = signal_at(proc, line, number, delay_s)
    assert code == 128 + number, (lines, err)
    assert lines[-1] == "Cancelled", lines
    assert seconds < 6, "%.2f s from the signal to the exit" % seconds
    assert flash in err, err
    assert lock_files_of(sim.path) == []
    (entry,) = [json.loads(text) for text in log.read_text().splitlines()]
    assert (entry["result"], entry["exit"]) == ("Cancelled", 128 + number), entry
    sim.stop()
    requests = sim.requests()
    # Before the password round passed nothing is owed; after it, the exit frame comes last.
    assert requests["exit"] == (entry["model"] is not None), (requests, entry)
    if requests["exit"]:
        assert requests_after_last(sim, "exit") == []


def catches(pid, number):
    """True when process `pid` has a handler for signal `number`."""
    try:
        status = Path("/proc/%d/status" % pid).read_text()
    except OSError:
        return False
    caught = int(re.search(r"^SigCgt:\s*([0-9a-f]+)", status, re.M).group(1), 16)
    return bool(caught >> (number - 1) & 1)


# SIGTERM, SIGHUP and Ctrl-C close the window (headless here), which refuses no stop signal:
# exit 128 + the signal, soon.
@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT],
                         ids=["SIGTERM", "SIGHUP", "SIGINT"])
def test_a_stop_signal_closes_the_window(window_program, number):
    proc = subprocess.Popen([str(window_program)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            env={**os.environ, "QT_QPA_PLATFORM": "offscreen"},
                            preexec_fn=kh.default_signals)
    try:
        # Once the window catches the signal (the kernel's list of caught signals says so).
        deadline = time.monotonic() + 30
        while not catches(proc.pid, number):
            assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
            time.sleep(0.05)
        os.kill(proc.pid, number)
        assert proc.wait(timeout=10) == 128 + number
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stderr.close()


# Without a display the window says where to go instead, in one line, and exits 2.
def test_without_a_display_the_window_names_the_command_line(window_program):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    done = subprocess.run([str(window_program)], env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 2
    assert done.stdout == ""
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and "graphical session" in lines[0] and "korvath-cli" in lines[0]


def start_x_server():
    """An Xvfb on a free display; (process, display name)."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                               "800x600x24", "-nolisten", "tcp"], pass_fds=(write_end,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = kh.read_line(read_end, time.monotonic() + 30)
    os.close(read_end)
    assert number and number.isdigit(), "Xvfb gave no display"
    return server, ":" + number


def xdotool(display, *args):
    return subprocess.run(["xdotool", *args], env={**os.environ, "DISPLAY": display},
                          capture_output=True, text=True, timeout=30)


# A lost display is a stop: the window's X connection killed during programming (as xkill or
# xdotool windowkill do), or the X server gone, ends the download at its next exchange with
# the exit frame, and the process non-zero, soon.
@pytest.mark.parametrize("how", ["windowkill", "server"])
def test_a_lost_display_stops_the_download(window_program, start_sim, tmp_path, how):
    if not shutil.which("Xvfb") or not shutil.which("xdotool"):
        pytest.skip("Xvfb and xdotool are not installed (scripts/setup.sh installs them)")
    sim = start_sim("display-" + how)
    config = tmp_path / "config"
    (config / "korvath").mkdir(parents=True)
    (config / "korvath" / "korvath.conf").write_text("[port]\ntext=%s\n" % sim.path)
    server, display = start_x_server()
    env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env.update(DISPLAY=display, XDG_CONFIG_HOME=str(config))
    proc = subprocess.Popen([str(window_program), str(demo_image(tmp_path))], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, preexec_fn=kh.default_signals)
    try:
        found = xdotool(display, "search", "--sync", "--name", "Velbrannic")
        window = found.stdout.split()[0]
        xdotool(display, "windowfocus", "--sync", window)
        deadline = time.monotonic() + 30
        # Open and Download until the first probe shows that the download started: keys sent
        # before the window takes them are lost, and either button is disabled (deaf to its
        # key) once its work is done.
        while sim.requests()["probe"] == 0:
            assert time.monotonic() < deadline, "the download did not start"
            time.sleep(0.5)
            xdotool(display, "key", "--window", window, "alt+o")
            time.sleep(0.5)
            if sim.requests()["probe"] == 0:
                xdotool(display, "key", "--window", window, "alt+d")
        deadline = time.monotonic() + 60
        while sim.requests()["program"] == 0:
            assert proc.poll() is None and time.monotonic() < deadline, "no programming"
            time.sleep(0.05)
        if how == "windowkill":
            xdotool(display, "windowkill", window)
        else:
            server.terminate()
        assert proc.wait(timeout=20) != 0
        requests = sim.requests()
        assert requests["exit"] == 1, requests
        assert requests["program"] < DEMO_RECORDS, "the download was not stopped"
        assert [s for _, s in sim.log()][-1].startswith("exit "), "a request after the exit frame"
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stderr.close()
        server.terminate()
        server.wait(timeout=10)


# A closed standard output (the reader of a pipe went away) ends the download the same way:
# at the next exchange, with the exit frame, exit 141.
def test_a_closed_output_cancels_like_ctrl_c(programs, start_sim):
    sim = start_sim("sigpipe", ["--no-pacing"])
    proc = start_cli(programs, sim.path, DEMO)
    deadline = time.monotonic() + 30
    assert kh.read_line(proc.stdout.fileno(), deadline) == "Idle"
    assert kh.read_line(proc.stdout.fileno(), deadline) == "Connecting"
    proc.stdout.close()
    code = proc.wait(timeout=30)
    err = proc.stderr.read().decode(errors="replace")
    assert code == 141, err
    assert "flash is unchanged" in err or "flash is incomplete" in err, err
    sim.stop()
    # "Sending Password" is the first line that meets the closed pipe; the stop lands before or
    # after the password round, and the exit frame goes out exactly when the round had passed.
    unlocked = "left programming mode" in err
    assert sim.requests()["exit"] == (1 if unlocked else 0), err
    if unlocked:
        assert requests_after_last(sim, "exit") == []


def lock_files_of(device):
    """Lock files in the usual lock folders that name `device` (there should be none)."""
    name = device[len("/dev/"):].replace("/", "_")
    return [path for folder in ("/run/lock", "/var/lock", "/tmp")
            for path in Path(folder).glob("LCK..*") if path.name == "LCK.." + name]


# Standard output on a full disk: the run stops as after Ctrl-C, before the password on the
# built-in controller, and exits 1 instead of reporting a success nobody saw.
@pytest.mark.parametrize("options", [[], ["--json"], ["--json", "--log", "units.jsonl"],
                                     ["--check"]], ids=["text", "json", "log", "check"])
def test_an_unwritable_output_fails_the_run(programs, tmp_path, options):
    port = [] if "--check" in options else ["--port", "sim"]
    with open("/dev/full", "w") as full:
        run = subprocess.run([str(programs.cli), *options, *port, str(DEMO)], cwd=tmp_path,
                             stdin=subprocess.DEVNULL, stdout=full, stderr=subprocess.PIPE,
                             timeout=30)
    err = run.stderr.decode(errors="replace")
    assert run.returncode == 1, err
    assert "standard output could not be written" in err, err
    if "--log" in options:
        entry = json.loads((tmp_path / "units.jsonl").read_text())
        assert (entry["result"], entry["exit"]) == ("Cancelled", 1), entry


# A second Ctrl-C during the wind-down (the erase in flight runs 3 s) ends the run at once, as
# does SIGKILL. The port is held by the kernel, not by a lock file: nothing is left behind, and
# the port opens again at once.
@pytest.mark.parametrize("ending", ["second-ctrl-c", "sigkill"])
def test_an_abrupt_end_leaves_the_port_free(programs, start_sim, tmp_path, ending):
    sim = start_sim(ending, ["--dirty", "--erase-ms", "3000"])
    assert sim.path.startswith("/dev/")
    proc = start_cli(programs, sim.path, demo_image(tmp_path))
    deadline = time.monotonic() + 60
    lines = []
    while not lines or lines[-1] not in ("Erase external flash S1", None):
        lines.append(kh.read_line(proc.stdout.fileno(), deadline))
    assert lines[-1] is not None, lines
    time.sleep(0.2)
    assert lock_files_of(sim.path) == []
    if ending == "sigkill":
        os.kill(proc.pid, signal.SIGKILL)
        sent = time.monotonic()
        assert proc.wait(timeout=10) == -signal.SIGKILL
    else:
        os.kill(proc.pid, signal.SIGINT)
        time.sleep(0.2)
        assert proc.poll() is None, "the first Ctrl-C ended the run before the erase's reply"
        os.kill(proc.pid, signal.SIGINT)
        sent = time.monotonic()
        assert proc.wait(timeout=10) == 130
    assert time.monotonic() - sent < 0.5
    assert lock_files_of(sim.path) == []
    # The next run gets the port at once: it reaches the controller instead of exiting 2.
    after = start_cli(programs, sim.path, demo_image(tmp_path))
    try:
        assert kh.read_line(after.stdout.fileno(), time.monotonic() + 20) == "Idle"
        assert kh.read_line(after.stdout.fileno(), time.monotonic() + 20) == "Connecting"
    finally:
        os.kill(after.pid, signal.SIGINT)
        after.wait(timeout=30)


# A SIGTERM-ed run releases the port: a user without root rights opens it right after (the
# pseudo-terminal is made theirs to open). While they may not, they are told who may: the
# dialout group only for a device of that group, otherwise its owner, group and mode.
@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                    reason="needs root to run as another user")
def test_after_sigterm_another_user_opens_the_port(programs, start_sim):
    sim = start_sim("sigterm", ["--units", "2", "--unit-gap-ms", "0"])
    folder = Path(tempfile.mkdtemp(prefix="korvath-e2e-"))
    try:
        image = demo_image(folder)
        lines, code, _, err = signal_at(start_cli(programs, sim.path, image), "Programming!",
                                        signal.SIGTERM, 0.2)
        assert code == 143, (lines, err)
        assert lines[-1] == "Cancelled"

        os.chmod(sim.path, 0o600)
        refused = subprocess.run([*as_user("nobody"), programs.cli, "--port", sim.path, image],
                                 capture_output=True, text=True, timeout=30)
        assert refused.returncode == 2
        assert "Permission denied on %s" % sim.path in refused.stderr, refused.stderr
        group = grp.getgrgid(os.stat(sim.path).st_gid).gr_name
        if group == "dialout":
            assert "dialout group" in refused.stderr, refused.stderr
        else:
            owner = pwd.getpwuid(os.stat(sim.path).st_uid).pw_name
            assert "belongs to user %s and group %s with mode crw-------" % (owner, group) \
                in refused.stderr, refused.stderr
            assert "dialout" not in refused.stderr, refused.stderr

        os.chmod(sim.path, 0o666)
        proc = start_cli(programs, sim.path, image, user="nobody")
        lines, code, _, err = signal_at(proc, "Erasing external flash", signal.SIGINT)
        assert code == 130, (lines, err)
        assert "Sending Password" in lines
    finally:
        shutil.rmtree(folder)


# Every text that is not a whole positive number, a name, a path or sim[:N] is refused with
# exit 2 and the text quoted; none reaches a port.
@pytest.mark.parametrize("text, says", [
    ("1e3", '"1e3" is not a port'),
    ("1.5", '"1.5" is not a port'),
    ("12abc", '"12abc" is not a port'),
    ("-1", '"-1" is not a port'),
    ("0", 'Port numbers start at 1, not "0"'),
    ("", "No port given"),
    ("99999", 'Port number "99999" is too large'),
    ("sim:4", 'Unknown simulated controller "sim:4"'),
    ("/dev/korvath-no-such-port", "does not exist"),
])
def test_refused_port_texts(programs, text, says):
    result = subprocess.run([programs.cli, str(DEMO), "--port", text], capture_output=True,
                            text=True, timeout=30)
    assert result.returncode == 2, result
    assert says in result.stderr, result.stderr
    assert result.stdout == ""


# Help fits 80 columns off a terminal and speaks the programs' words, not the parser's; each
# program names itself in --version.
@pytest.mark.parametrize("program", ["cli", "sim"])
def test_help_fits_eighty_columns_and_version_names_the_program(programs, program):
    path = getattr(programs, program)
    shown = subprocess.run([path, "--help"], capture_output=True, text=True, timeout=30)
    assert shown.returncode == 0, shown
    long_lines = [line for line in shown.stdout.splitlines() if len(line) > 80]
    assert long_lines == []
    for clutter in ("Excludes", " TEXT", "INT:", "Needs:"):
        assert clutter not in shown.stdout
    for flag in ("--version", "-V") if program == "cli" else ("--version",):
        version = subprocess.run([path, flag], capture_output=True, text=True, timeout=30)
        assert version.stdout.startswith("korvath-%s " % program), version.stdout
    if program == "cli":
        # The exit codes are a table: one code a line, none wrapped into another's row.
        codes = re.findall(r"^   (\d+) +\S", shown.stdout, re.M)
        assert codes == ["0", "1", "2", "3", "129", "130", "131", "141", "143"], shown.stdout
        typo = subprocess.run([path, "--prot", "sim", "x.shx"], capture_output=True, text=True,
                              timeout=30)
        assert typo.returncode == 2 and "did you mean --port?" in typo.stderr, typo


# Completion for bash, zsh and fish offers every long option the help lists.
def test_completion_covers_every_option(programs):
    shown = subprocess.run([programs.cli, "--help"], capture_output=True, text=True, timeout=30)
    options = set(re.findall(r"^  (?:-\w,)?--([a-z-]+)", shown.stdout, re.M))
    assert {"port", "log", "trace", "quiet"} <= options
    dist = Path(__file__).resolve().parents[2] / "dist"
    files = {"bash": (dist / "korvath-cli.bash-completion", r"--%s(?![\w-])"),
             "zsh": (dist / "korvath-cli.zsh-completion", r"--%s(?![\w-])"),
             "fish": (dist / "korvath-cli.fish", r"-l %s(?![\w-])")}
    for shell, (path, form) in files.items():
        text = path.read_text()
        missing = sorted(o for o in options if not re.search(form % re.escape(o), text))
        assert missing == [], shell


def s2_line(address, byte):
    """A data line of 64 bytes `byte` at `address`, with its checksum."""
    body = bytes([0x44]) + address.to_bytes(3, "big") + bytes([byte] * 64)
    return b"S2" + (body + bytes([~sum(body) & 0xFF])).hex().upper().encode()


# --trace shows each frame and reply on standard error; --quiet leaves only the failure. A
# damaged image is refused before the port is opened, in every mode: nothing goes on the wire.
# A record beyond model 1's flash is refused by that model's rules, right after the password.
@pytest.mark.parametrize("option, damage, stdout", [
    ("--trace", "checksum", "Checksum Error\n"),
    ("--quiet", "checksum", "Checksum Error\n"),
    ("--trace", "ninth-sector", "Idle\nConnecting\nSending Password\nRecord outside flash\n"),
    ("--quiet", "ninth-sector", "Record outside flash\n"),
])
def test_trace_and_quiet(programs, tmp_path, option, damage, stdout):
    lines = DEMO.read_bytes().split(b"\r\n")
    if damage == "checksum":
        lines[4] = lines[4][:-1] + (b"0" if lines[4][-1:] != b"0" else b"1")
    else:
        lines.insert(2, s2_line(0xE80000, 0x11))
    image = tmp_path / "bad.shx"
    image.write_bytes(b"\r\n".join(lines))
    result = subprocess.run([programs.cli, option, "--port", "sim", str(image)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 3, result
    assert result.stdout == stdout
    traced = re.findall(r"^ *[0-9]+\.[0-9]{3} ms  (\w+) +([<>]) (.*)$", result.stderr, re.M)
    if option == "--quiet" or damage == "checksum":
        assert traced == []
        return
    assert traced[:2] == [("connect", ">", "90"), ("connect", "<", "06")]
    assert ("password", ">", "1B 7E 00 04 9D 80") == traced[-2]
    assert traced[-1] == ("password", "<", "06")


# A symbolic link to a port in use (as /dev/serial/by-id gives) is the same port: refused,
# and the message names the device.
def test_a_busy_port_is_refused_under_a_symbolic_link(programs, start_sim, tmp_path):
    sim = start_sim("busy")
    link = tmp_path / "by-id-link"
    link.symlink_to(sim.path)
    holder = start_cli(programs, sim.path, DEMO)
    try:
        assert kh.read_line(holder.stdout.fileno(), time.monotonic() + 20) == "Idle"
        second = subprocess.run([programs.cli, "--port", str(link), str(DEMO)],
                                capture_output=True, text=True, timeout=30)
        assert second.returncode == 2, second
        assert "Port %s is busy: another program has it open" % sim.path in second.stderr, \
            second.stderr
    finally:
        os.kill(holder.pid, signal.SIGINT)
        holder.wait(timeout=30)
    # The same device twice in one run, by its path and by the link: refused before opening,
    # naming both texts, and the controller never hears of it.
    before = sum(sim.requests().values())
    twice = subprocess.run([programs.cli, "--station", "--port", sim.path, "--port", str(link),
                            str(DEMO)], capture_output=True, text=True, timeout=30)
    assert twice.returncode == 2 and twice.stdout == "", twice
    assert "ports %s and %s are the same device" % (sim.path, link) in twice.stderr, twice.stderr
    # A second device node of the same pseudo-terminal is the same device by its number.
    if os.geteuid() == 0:
        node = tmp_path / "second-node"
        os.mknod(node, 0o600 | stat.S_IFCHR, os.stat(sim.path).st_rdev)
        again = subprocess.run([programs.cli, "--port", sim.path, "--port", str(node),
                                str(DEMO)], capture_output=True, text=True, timeout=30)
        assert again.returncode == 2 and "are the same device" in again.stderr, again
    sim.stop()
    assert sum(sim.requests().values()) == before

