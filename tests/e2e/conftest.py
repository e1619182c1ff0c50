"""Fixtures of the end-to-end tests, and the reliability report written from the fault and
bad-file rows when --report is given (scripts/reliability.sh)."""

import dataclasses
import datetime
import re
import shutil
import subprocess
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

import korvath_harness as kh


def pytest_addoption(parser):
    parser.addoption("--cli", type=Path, help="the korvath-cli program")
    parser.addoption("--sim", type=Path, help="the korvath-sim program")
    parser.addoption("--window", type=Path, help="the korvath window program (its rows skip "
                     "without it)")
    parser.addoption("--report", type=Path, help="write the fault and bad-file rows here")
    parser.addoption("--fuzz-summary", type=Path, help="scripts/fuzz.sh's summary.tsv")
    parser.addoption("--regressions", type=Path, help="folder of fuzzing regression inputs")


@pytest.fixture(scope="session")
def programs(pytestconfig):
    cli, sim = pytestconfig.getoption("cli"), pytestconfig.getoption("sim")
    if not (cli and sim):
        pytest.fail("--cli and --sim must name the built programs")
    if shutil.which("srec_cat") is None:
        pytest.fail("srec_cat is not installed")
    return SimpleNamespace(cli=cli.resolve(), sim=sim.resolve())


@pytest.fixture(scope="session")
def window_program(pytestconfig):
    window = pytestconfig.getoption("window")
    if not window:
        pytest.skip("--window names no window program")
    return window.resolve()


@pytest.fixture(scope="session", autouse=True)
def private_home(tmp_path_factory):
    """Every program the tests start has a home and configuration of its own."""
    with pytest.MonkeyPatch.context() as patch:
        for name, value in kh.private_environment(tmp_path_factory.mktemp("env")).items():
            patch.setenv(name, value)
        yield


@pytest.fixture(autouse=True)
def runs_of_test(request):
    """The runs of each test start afresh; the report reads them from the test's item."""
    kh.runs_of_test = request.node.runs = []


@pytest.fixture
def start_sim(programs, tmp_path, request):
    """Starts korvath-sim processes in the test's folder; those still running at the end are
    stopped."""
    started = request.node.sims = []

    def start(name, options=(), count=1):
        started.append(kh.Sim(programs.sim, tmp_path, name, options, count))
        return started[-1]
    yield start
    for sim in started:
        if sim.running():
            sim.stop()


@pytest.fixture
def new_relay(request):
    relays = request.node.relays = []

    def make():
        relays.append(kh.PortRelay())
        return relays[-1]
    yield make
    for relay in relays:
        relay.close()


# The reliability report

@dataclasses.dataclass
class Row:
    """What one row of the report showed; `verdict` is set from the test's outcome."""
    title: str
    setup: str
    expected: str
    status: str = ""
    exit_code: object = None
    reports: str = ""
    seconds: float = 0.0
    bound: float = 0.0
    device: str = ""
    after: str = ""
    verdict: str = "**FAIL**: did not finish"


def pytest_configure(config):
    config.report_rows = {"fault": [], "file": []}
    config.started = time.monotonic()


def describe_expected(status, exit_code, reports=None):
    text = status.pattern if isinstance(status, re.Pattern) else status
    extra = ", report /%s/" % reports.pattern.lstrip("^") if reports is not None else ""
    return "%s, exit %d%s" % (text, exit_code, extra)


def report_row(item, passed):
    """The report's row of a fault or bad-file test, from its parameters and what its runs and
    controllers showed; None for any other test."""
    row = getattr(item, "callspec", None) and item.callspec.params.get("row")
    runs, sims = getattr(item, "runs", []), getattr(item, "sims", [])
    if row is None or item.originalname not in ("test_fault", "test_file"):
        return None
    fault = item.originalname == "test_fault"
    seen = Row(row.title, row.setup if fault else row.note,
               describe_expected(row.status, row.exit_code, row.reports if fault else None),
               bound=row.bound)
    if runs:
        run = runs[0]
        seen.status = kh.shown_message(run, item.funcargs["tmp_path"])
        seen.exit_code, seen.seconds = run.exit_code, run.seconds
        seen.reports = "; ".join(sorted(set(run.error_reports)))
    counts = sims[0].requests() if sims else dict.fromkeys(kh.Sim.REQUEST_KINDS, 0)
    if fault:
        seen.device = "erases %d, records %d" % (counts["erase"], counts["program"])
        if passed:
            port = ("port plugged in again" if len(getattr(item, "relays", [])) > 1
                    else "same port")
            seen.after = "%s: %s, exit %d, %.1f s, flash = image" % (
                port, runs[-1].status, runs[-1].exit_code, runs[-1].seconds)
        return seen
    seen.device = "probes %d, erases %d, records %d" % (
        counts["probe"], counts["erase"], counts["program"])
    touched = counts["blank check"] + counts["erase"] + counts["program"]
    flash = sims[0].flash() if sims else None
    if row.refused:
        seen.after = "flash untouched" if not touched and flash and not any(flash) else ""
    elif passed:
        seen.after = "flash = image"
    return seen


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if report.when != "call":
        return
    row = report_row(item, report.passed)
    if row is not None:
        row.verdict = ("pass" if report.passed else
                       "**FAIL**: " + str(call.excinfo.value).strip().splitlines()[0])
        table_name = "fault" if item.originalname == "test_fault" else "file"
        item.config.report_rows[table_name].append(row)


def cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(cell(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


def seconds_text(seconds):
    return "%.1f" % seconds if seconds >= 0.05 else "< 0.1"


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


def pytest_sessionfinish(session):
    config = session.config
    out = config.getoption("report")
    faults, files = config.report_rows["fault"], config.report_rows["file"]
    if not out or not faults + files:
        return
    total = time.monotonic() - config.started

    def git(*args):
        return subprocess.run(["git", *args], capture_output=True, text=True,
                              cwd=Path(__file__).parent, check=False)
    commit = git("rev-parse", "--short", "HEAD").stdout.strip()
    if commit and git("diff", "--quiet", "HEAD").returncode != 0:
        commit += " with local changes"
    version = subprocess.run([str(config.getoption("cli")), "--version"], capture_output=True,
                             text=True, check=False).stdout.strip()
    passed = sum(row.verdict == "pass" for row in faults + files)
    doc = [
        "# Reliability",
        "",
        "Written by `scripts/reliability.sh` from one run of the real `korvath-cli` against the "
        "simulated controller `korvath-sim` over pseudo-terminals; do not edit by hand.",
        "",
        "Run: %s, %s, commit %s; %d rows, %d as expected, %.0f s in all." % (
            datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), version or "korvath-cli",
            commit or "unknown", len(faults) + len(files), passed, total),
        "",
        "## Fault matrix",
        "",
        "The faults of the simulated controller's own options are rows of the in-process fault "
        "matrix (`tests/line`); here are those that take another process. "
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
                r.verdict] for r in faults]),
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
                seconds_text(r.seconds), r.device, r.after, r.setup, r.verdict] for r in files]),
        "",
    ]
    doc += fuzz_section(config.getoption("fuzz_summary"), config.getoption("regressions"))
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("\n".join(doc) + "\n")
    print("\nwrote %s: %d of %d rows as expected, %.0f s" % (
        out, passed, len(faults) + len(files), total))
