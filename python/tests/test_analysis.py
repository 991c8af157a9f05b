# SPDX-License-Identifier: MIT
# plughost.analyze against the command line's JSON, and the HTML report: drawn from documents
# of every shape, then opened in Debian's chromium (one browser for the module).
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import pytest

import plughost
from analysis_sample import document, failed, instrument

HERE = os.path.dirname(os.path.abspath(__file__))
ARTEFACTS = os.environ.get("PLUGHOST_ARTEFACTS", tempfile.gettempdir())
# A plug-in that reports no latency but delays by some frames, built for the known-answer tests.
LATE_DELAY = os.environ.get("ANALYSIS_LATE_DELAY", "")

# The axis labels every plot of each measurement has, with their units, as text in the page
# (a tuple: one of them).
AXIS_LABELS = {
    "linear": ["Frequency (Hz)", "Magnitude (dB)", "Phase (°)", "Group delay (frames)"],
    "thd": ["Input level (dBFS)", "THD (dB)"],
    "dynamics": ["Input level (dBFS)", "Output level (dBFS)"],
    "aliasing": ["Frequency (Hz)", "Alias power re fundamental (dB)"],
    "time": [("Tail (s)", "Time after the input stops (s)")],
    "cost": ["Block size (frames)", "Real-time factor (×)"],
}


def run_report(document_text, out, extra_path=None):
    environment = dict(os.environ)
    if extra_path:
        environment["PYTHONPATH"] = extra_path + os.pathsep + environment.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-m", "plughost.report", out], input=document_text,
                          capture_output=True, text=True, env=environment)


def real_or_sample():
    """The analysis of the plug-in that misreports its latency where it is built, else the
    made-up document of one."""
    if LATE_DELAY and os.path.exists(LATE_DELAY):
        # Not the cost: it times every block size, and its plot is drawn from a sample below.
        measured = [m for m in AXIS_LABELS if m != "cost"]
        return plughost.analyze(LATE_DELAY, what=measured, sample_rate=48000).json
    return document()


# ---- The report of every kind of document, read as text

@pytest.mark.parametrize("case", ["failures", "instrument", "compare", "collection", "lines"])
def test_report_shapes(case, tmp_path):
    out = tmp_path / "r.html"
    if case == "failures":
        doc = failed(failed(document(), "thd", "failed",
                            "effProcessDoubleReplacing gave NaN on output 1 for a 1 kHz sine"),
                     "aliasing", "crashed", "SIGSEGV in effProcessDoubleReplacing")
        doc = failed(doc, "cost", "not_run", "an earlier measurement crashed the plug-in")
        plughost.report(plughost.Analysis(doc), out)
        page = out.read_text()
        for text in ("Failed: effProcessDoubleReplacing gave NaN", "Crashed: SIGSEGV",
                     "Not run: an earlier"):
            assert text in page
        plotted = {m for m in AXIS_LABELS if f'data-measurement="{m}"><svg' in page}
        assert plotted == {"linear", "dynamics", "time"}
        # Values that could not be measured show their reason, never a number.
        assert "the gain does not change with level" in page
        assert "the output is silent" in page
    elif case == "instrument":
        plughost.report(instrument(), out)
        page = out.read_text()
        assert page.count('<p class="status not_applicable">Not applicable: needs an audio') == 2
        plotted = re.findall(r'data-measurement="(\w+)"><svg', page)
        assert plotted == ["cost", "instrument"] and "Magnitude (dB)" in page
    elif case == "compare":
        a, b = document(["linear", "thd", "dynamics"]), document(["linear", "thd", "dynamics"])
        b["plugin"]["name"] = "Other"
        points = [dict(p, thd_db=1.5) for p in a["thd"]["points"]]
        difference = {"linear": {"frequency_hz": a["linear"]["frequency_hz"],
                                 "magnitude_db": [[0.5] * len(a["linear"]["frequency_hz"])] * 2},
                      "thd": {"points": points, "floor_db": 0.25},
                      "dynamics": None, "dynamics_reason": "measured on different grids"}
        plughost.report({"schema": 1, "compare": {"a": a, "b": b, "difference": difference}},
                        out)
        page = out.read_text()
        assert "Comparison: A Late Delay, B Other" in page
        assert page.count('<figure class="plot"') == 3
        for text in ("Magnitude B − A (dB)", "THD B − A (dB)", "floor_db</th><td>0.250",
                     "No difference: measured on different grids"):
            assert text in page, text
        assert page.count('data-measurement="latency"') == 2  # each side's finding
    elif case == "collection":
        index = {"schema": 1, "collection": [
            {"plugin": "/x/a.so", "name": "A", "report": "r/a.html", "status": "ok",
             "findings": [{"measurement": "latency", "text": "reports 0 but measures 64"}],
             "latency": {"reported": 0, "measured": 64, "flagged": True},
             "tail": {"reported_s": 0.0, "measured_s_60db": None,
                      "measured_s_60db_reason": "no tail"}, "seconds": 2.5,
             "validate": {"result": "passed", "passed": 40, "failed": 0, "checks": []}},
            {"plugin": "/x/crash.so", "name": "crash", "report": None, "status": "crashed",
             "reason": "SIGSEGV in effOpen", "findings": [], "seconds": 0.1,
             "validate": {"result": "failed", "passed": 3, "failed": 1, "checks": [
                 {"name": "open", "status": "fail", "detail": "crashed in effOpen"}]}}]}
        result = run_report(json.dumps(index), str(out))
        assert result.returncode == 0, result.stderr
        page = out.read_text()
        for text in ('<a href="r/a.html">A</a>', "/x/crash.so", "Crashed", "SIGSEGV in effOpen",
                     "reports 0 but measures 64", "0 / 64 <b", "(no tail)",
                     "passed (40 passed, 0 failed)", "open: crashed in effOpen"):
            assert text in page, text
    else:  # JSON lines, as a collection's --json prints them
        lines = "\n".join(json.dumps(d) for d in (document(["time", "cost"]),
                                                    document(["dynamics"])))
        result = run_report(lines, str(out))
        assert result.returncode == 0, result.stderr
        page = out.read_text()
        assert 'href="#part-1"' in page and page.count('<figure class="plot"') == 3
        assert "Real-time factor (×)" in page


# ---- The command line's errors: usage, a bad document, no matplotlib, an output it cannot write

def test_report_command_errors(tmp_path):
    fake = tmp_path / "fake"
    (fake / "matplotlib").mkdir(parents=True)
    (fake / "matplotlib" / "__init__.py").write_text("raise ImportError('not here')\n")
    cases = [([], "{}", None, 2, "usage:"),
             ([str(tmp_path / "r.html")], "not json", None, 2, "no JSON document"),
             ([str(tmp_path / "r.html")], json.dumps(document(["time"])), str(fake), 2,
              "install python3-matplotlib"),
             ([str(tmp_path / "no" / "r.html")], json.dumps(document(["time"])), None, 3,
              "cannot write the report")]
    for args, text, extra, code, message in cases:
        environment = dict(os.environ)
        if extra:
            environment["PYTHONPATH"] = extra + os.pathsep + environment.get("PYTHONPATH", "")
        result = subprocess.run([sys.executable, "-m", "plughost.report", *args], input=text,
                                capture_output=True, text=True, env=environment)
        assert (result.returncode, message in result.stderr) == (code, True), result.stderr
        assert "Warning" not in result.stderr


# ---- The analysis as Python objects

def test_analysis_attributes_follow_the_document():
    doc = document()
    result = plughost.Analysis(doc)
    assert result.json is doc and result.schema == 1
    assert (result.latency.measured, result.latency.flagged) == (64, True)
    assert result.linear.magnitude_db.shape == (2, len(doc["linear"]["frequency_hz"]))
    assert result.linear.magnitude_db.dtype == np.float64
    assert result.linear.confidence.time_variant is False and result.linear.smoothing is None
    assert result.thd.points[0].thd_db is None
    assert result.thd.points[0].why("thd_db") == "no harmonic above the floor"
    assert result.thd.points[1].thd_db == doc["thd"]["points"][1]["thd_db"]
    assert set(result.cost.realtime_factor) == {"32", "64"}
    assert isinstance(result.cost.realtime_factor["64"], np.ndarray)
    assert result.thd.sweep.harmonic_db["2"].shape == (len(doc["thd"]["sweep"]["frequency_hz"]),)
    assert result.findings[0].measurement == "latency"
    assert result.sections() == ["latency", "linear", "thd", "dynamics", "aliasing", "time",
                                 "cost"]
    with pytest.raises(AttributeError, match="has no 'instrument'"):
        result.instrument
    # A null inside a list of numbers is NaN, not an object array.
    ragged = plughost.Analysis({"linear": {"status": "ok", "magnitude_db": [[1.0, None]]}})
    assert np.isnan(ragged.linear.magnitude_db[0, 1])


# ---- In a real browser

@pytest.fixture(scope="module")
def browser():
    if not (os.path.exists("/usr/bin/chromium") and os.path.exists("/usr/bin/chromedriver")):
        pytest.skip("chromium and chromium-driver are not installed (scripts/setup.sh does)")
    webdriver = pytest.importorskip("selenium.webdriver", reason="python3-selenium is missing")
    profile = tempfile.mkdtemp(prefix="plughost-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    from selenium.webdriver.chrome.service import Service
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    yield driver
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)


# Every src and href of every element (SVG's xlink:href too) that is neither data: nor #.
EXTERNAL = """return Array.from(document.querySelectorAll('*')).flatMap(e =>
    Array.from(e.attributes).filter(a => ['src', 'href'].includes(a.localName) &&
        !a.value.startsWith('data:') && !a.value.startsWith('#')).map(a => a.value));"""


def test_report_in_browser(browser, tmp_path):
    doc = real_or_sample()
    path = os.path.join(ARTEFACTS, "analysis_report.html")
    plughost.report(doc, path)
    browser.get("file://" + path)
    broken = browser.execute_script(
        "return Array.from(document.images).filter(i => !i.complete || !i.naturalWidth)"
        ".map(i => i.src.slice(0, 60));")
    assert broken == []
    # The images inside the plots (the spectrogram's raster) decode to a non-zero width too.
    widths = browser.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "Promise.all(Array.from(document.querySelectorAll('svg image')).map(i =>"
        " new Promise(r => { const m = new Image(); m.onload = () => r(m.naturalWidth);"
        " m.onerror = () => r(0); m.src = i.getAttribute('xlink:href') ||"
        " i.getAttribute('href'); }))).then(done);")
    assert widths and all(widths), widths
    sizes = browser.execute_script(
        "return Array.from(document.querySelectorAll('svg')).map(s => {"
        " const r = s.getBoundingClientRect(); return [r.width, r.height]; });")
    assert sizes and all(w > 0 and h > 0 for w, h in sizes)
    plotted = browser.execute_script(
        "return Array.from(document.querySelectorAll('figure.plot'))"
        ".map(f => f.dataset.measurement);")
    assert sorted(plotted) == sorted(doc["what"])
    for measurement in doc["what"]:
        text = browser.execute_script(
            f"return document.querySelector('figure[data-measurement={measurement}] svg')"
            ".textContent;")
        for label in AXIS_LABELS[measurement]:
            assert any(one in text for one in
                       (label if isinstance(label, tuple) else (label,))), (measurement, label)
    flagged = browser.execute_script(
        "return Array.from(document.querySelectorAll('#findings li'))"
        ".map(li => [li.dataset.measurement, li.textContent]);")
    measured = str(doc["latency"]["measured"])
    assert any(m == "latency" and measured in t for m, t in flagged), flagged
    assert doc["plugin"]["name"] in browser.find_element("css selector", "h1").text
    assert browser.execute_script(EXTERNAL) == []
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert errors == []
    height = browser.execute_script("return document.documentElement.scrollHeight;")
    browser.set_window_size(1200, height + 200)  # the window's frame and bars besides the page
    browser.save_screenshot(os.path.join(ARTEFACTS, "analysis_report.png"))


# ---- Through the command line

TRIMWISE = os.environ.get("TRIMWISE_PLUGIN", "")
HELPER = os.environ.get("PLUGHOST_HELPER", "plughost")


def test_json_agrees_with_python():
    # The same numbers, whether the state comes from a Plugin or the settings from --param.
    with plughost.load(TRIMWISE) as p:
        p.parameters["Left Gain"].set("-6 dB")
        result = plughost.analyze(p, what="linear,thd", sample_rate=44100)
    printed = subprocess.run([HELPER, "analyze", TRIMWISE, "--what", "linear,thd", "--json",
                              "--rate", "44100", "--param", "Left Gain=-6 dB"],
                             capture_output=True, text=True, check=True)
    expected = json.loads(printed.stdout)
    # Only how the settings were given differs: a state, or --param.
    for doc in (result.json, expected):
        for key in ("assignments", "state_bytes"):
            doc["settings"].pop(key, None)
    assert result.json == expected
    assert np.array_equal(result.linear.magnitude_db, np.array(expected["linear"]["magnitude_db"]))
    assert result.settings.sample_rate == 44100
    if result.thd.status == "ok":
        assert [p.thd_db for p in result.thd.points] == \
            [p["thd_db"] for p in expected["thd"]["points"]]


@pytest.mark.parametrize("target, options, error", [
    ("/no/such/plugin.so", {}, plughost.PluginLoadError),
    (TRIMWISE, {"params": {"No Such Parameter": 1}}, plughost.PluginValueError),
    (TRIMWISE, {"what": ["colour"]}, plughost.PluginValueError),
])
def test_analyze_errors(target, options, error):
    with pytest.raises(error) as raised:
        plughost.analyze(target, **options)
    assert raised.value.cause and raised.value.hint


def test_report_from_the_command_line(tmp_path):
    # Drawn through the command line in the collection test below; here what it says when it
    # cannot draw: before any measurement, whose table would come first.
    fake = tmp_path / "fake"
    (fake / "matplotlib").mkdir(parents=True)
    (fake / "matplotlib" / "__init__.py").write_text("raise ImportError('not here')\n")
    out = tmp_path / "r.html"
    install = "hint: install python3-plughost and python3-matplotlib"
    for environment, path, code, hint in (
            ({"PLUGHOST_PYTHON": str(tmp_path / "python3")}, out, 2, install),
            ({"PYTHONPATH": f"{fake}{os.pathsep}{os.environ.get('PYTHONPATH', '')}"}, out, 2,
             install),
            ({}, tmp_path / "no" / "r.html", 3, "hint: choose a folder that exists")):
        result = subprocess.run([HELPER, "analyze", TRIMWISE, "--what", "linear", "--report",
                                 str(path)], capture_output=True, text=True,
                                env={**os.environ, **environment})
        assert result.returncode == code and hint in result.stderr, result.stderr
        assert result.stdout == "" and not path.exists()


def test_collection_report_in_browser(browser, tmp_path):
    # A crash and NaN among good plug-ins: each gets its report, the index shows all three.
    if not os.path.exists(LATE_DELAY):
        pytest.skip("the known-answer plug-ins are not built")
    crash, nan = os.environ["FAULTY_CRASH_IN_PROCESS"], os.environ["FAULTY_NAN"]
    index = tmp_path / "index.html"
    result = subprocess.run([HELPER, "analyze", LATE_DELAY, crash, nan, "--what", "linear",
                             "--precision", "32", "-j", "2", "--report", str(index)],
                            capture_output=True, text=True)
    assert result.returncode == 1, result.stderr  # two plug-ins did not finish
    browser.get(index.as_uri())
    rows = browser.execute_script(
        "return Array.from(document.querySelectorAll('table.collection tr')).slice(1)"
        ".map(r => [r.querySelector('a').getAttribute('href'),"
        " Array.from(r.cells).map(c => c.textContent).join(' | ')]);")
    row = {os.path.basename(p): (link, text) for p in (LATE_DELAY, crash, nan)
           for link, text in rows if p in text}
    assert len(rows) == 3 and len(row) == 3, rows
    assert "flagged" in row[os.path.basename(LATE_DELAY)][1]
    for plugin, status, why in ((crash, "Crashed", "SIGSEGV"), (nan, "Failed", "NaN")):
        text = row[os.path.basename(plugin)][1]
        assert status in text and why in text, text
    for name, (link, _) in row.items():
        browser.get((tmp_path / link).as_uri())
        shown = browser.execute_script(
            "return [document.querySelectorAll('figure.plot').length,"
            " Array.from(document.querySelectorAll('p.status')).map(p => p.textContent)];")
        # The crashed and the failed plug-ins' measurements say why instead of drawing.
        expected = {os.path.basename(crash): "SIGSEGV", os.path.basename(nan): "NaN"}.get(name)
        assert (shown[0] == 0) == bool(expected), (name, shown)
        assert not expected or any(expected in text for text in shown[1]), (name, shown)
    assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []
