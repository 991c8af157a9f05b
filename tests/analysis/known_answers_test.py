# SPDX-License-Identifier: MIT
"""Known answers: `plughost analyze --json` on plug-ins whose response is known in closed form
(tests/analysis/plugins), at two sample rates and two settings each, so that nothing can be
tuned to one case and a forgotten sample-rate change shows. Every expected number is worked out
here with numpy from the plug-in's own definition, never from the analyzer's code."""

import functools
import json
import math
import os
import subprocess
from fractions import Fraction

import numpy as np
import pytest

PLUGHOST = os.environ.get("PLUGHOST", "")
RATES = (44100, 96000)


def plugin_path(name):
    if name == "trimwise":
        return os.environ.get("TRIMWISE_PLUGIN", "")
    return os.environ.get("KNOWN_ANSWER_" + name.upper(), "")


@functools.lru_cache(maxsize=None)
def analyze(name, what, rate, settings):
    """The JSON document of one analyze run; `settings` is a tuple of (name, value) pairs."""
    command = [PLUGHOST, "analyze", plugin_path(name), "--what", what, "--json",
               "--rate", str(rate)]
    for parameter, value in settings:
        command += ["--param", f"{parameter}={value}"]
    run = subprocess.run(command, capture_output=True, text=True, timeout=240)
    assert run.returncode == 0, f"{' '.join(command)}: exit {run.returncode}\n{run.stderr}"
    return json.loads(run.stdout)


def section(doc, name):
    part = doc[name]
    assert part["status"] == "ok", f"{name}: {part.get('status')}: {part.get('reason')}"
    return part


def numbers(values):
    """A JSON list (nulls allowed) as a float array, null as NaN."""
    return np.array([math.nan if v is None else v for v in values], dtype=float)


def db(x):
    with np.errstate(divide="ignore"):
        return 20.0 * np.log10(x)


def wrapped(degrees):
    return (np.asarray(degrees) + 180.0) % 360.0 - 180.0


def report(label, measured, expected):
    """Prints one line of measured against expected (shown by pytest -rA or on failure)."""
    print(f"{label}: measured {measured} expected {expected}")


# ---- The plug-ins' definitions (their host value -> physical value mappings and curves).

def one_pole(cutoff_value, rate, frequencies):
    """H(e^jw) and the group delay in frames of y[n] = y[n-1] + a (x[n] - y[n-1])."""
    cutoff = 20.0 * 1000.0 ** cutoff_value
    a = 1.0 - math.exp(-2.0 * math.pi * cutoff / rate)
    p = 1.0 - a
    w = 2.0 * np.pi * np.asarray(frequencies) / rate
    response = a / (1.0 - p * np.exp(-1j * w))
    group_delay = (p * np.cos(w) - p * p) / (1.0 - 2.0 * p * np.cos(w) + p * p)
    return response, group_delay


def drive(value):
    return 10.0 ** (24.0 * value / 20.0)


CURVES = {
    "clipper": lambda g: (lambda x: np.clip(g * x, -1.0, 1.0)),
    "tanh": lambda g: (lambda x: np.tanh(g * x)),
    "shaper": lambda g: (lambda x: g * x / (1.0 + np.abs(g * x))),
}


@functools.lru_cache(maxsize=None)
def curve_thd_db(curve, drive_value, amplitude, frequency, rate, harmonics):
    """THD of the curve at a sine of this peak from its Fourier coefficients, harmonics
    2..`harmonics` below Nyquist, by integrating one finely sampled period."""
    points = 1 << 16
    shape = CURVES[curve](drive(drive_value))
    theta = 2.0 * np.pi * np.arange(points) / points
    coefficients = np.abs(np.fft.rfft(shape(amplitude * np.sin(theta)))) * 2.0 / points
    orders = [k for k in range(2, harmonics + 1) if k * frequency < rate / 2.0]
    distortion = math.sqrt(sum(coefficients[k] ** 2 for k in orders))
    return float(db(distortion / coefficients[1])) if distortion > 0.0 else -math.inf


@functools.lru_cache(maxsize=None)
def sampled_alias_db(drive_value, amplitude, frequency, rate):
    """Aliasing of the shaper applied to the sampled coherent sine: the power of every bin that
    is neither DC nor a harmonic below Nyquist, against the fundamental's."""
    ratio = Fraction(frequency / rate).limit_denominator(1 << 20)
    cycles, frames = ratio.numerator, ratio.denominator
    assert abs(cycles / frames * rate - frequency) < 1e-6 * frequency, "not a coherent tone"
    shape = CURVES["shaper"](drive(drive_value))
    x = amplitude * np.sin(2.0 * np.pi * cycles * np.arange(frames) / frames)
    power = np.abs(np.fft.rfft(shape(x))) ** 2
    harmonic_bins = [k * cycles for k in range(1, frames) if 2 * k * cycles < frames]
    alias = power.sum() - power[0] - power[harmonic_bins].sum()
    return float(10.0 * np.log10(alias / power[cycles]))


# ---- Checks, one per plug-in; each gets the document, the settings and the rate.

def check_lowpass(delay):
    def check(doc, settings, rate):
        linear = section(doc, "linear")
        latency = section(doc, "latency")
        response, group_delay = one_pole(settings["Cutoff"], rate, linear["frequency_hz"])
        # phase_deg is relative to the measured latency (phase_delay_frames); a slow low-pass may
        # have no dominant peak, and then none is removed.
        removed = linear["phase_delay_frames"]
        w = 2.0 * np.pi * np.asarray(linear["frequency_hz"]) / rate
        phase_expected = np.degrees(np.angle(response) - w * (delay - removed))
        for channel in range(2):
            magnitude = numbers(linear["magnitude_db"][channel])
            error = np.max(np.abs(magnitude - db(np.abs(response))))
            report(f"magnitude[{channel}] max error dB", error, "< 0.1")
            assert error < 0.1
            phase = numbers(linear["phase_deg"][channel])
            error = np.max(np.abs(wrapped(phase - phase_expected)))
            report(f"phase[{channel}] max error deg", error, "< 1")
            assert error < 1.0
            measured = numbers(linear["group_delay_frames"][channel])
            error = np.max(np.abs(measured - (group_delay + delay)))
            report(f"group delay[{channel}] max error frames", error, "< 0.05")
            assert error < 0.05
        report("latency reported/measured/flagged, phase_delay_frames",
               (latency["reported"], latency["measured"], latency["flagged"], removed),
               (delay, f"{delay} or null", False))
        assert latency["reported"] == delay and latency["flagged"] is False
        if latency["measured"] is None:
            assert latency["measured_reason"] and removed == 0
        else:
            assert latency["measured"] == delay and removed == delay
        assert linear["confidence"]["time_variant"] is False
        assert linear["confidence"]["level_dependent"] is False
    return check


def check_delay(doc, settings, rate):
    frames = math.floor(10.0 * settings["Delay"] * rate / 1000.0 + 0.5)
    latency = section(doc, "latency")
    report("latency reported/measured/flagged",
           (latency["reported"], latency["measured"], latency["flagged"]), (0, frames, True))
    assert (latency["reported"], latency["measured"], latency["flagged"]) == (0, frames, True)


def check_saturator(curve):
    def check(doc, settings, rate):
        thd = section(doc, "thd")
        assert thd["points"]
        for point in thd["points"]:
            harmonics = point.get("harmonics", thd["harmonics"])
            expected = curve_thd_db(curve, settings["Drive"], 10.0 ** (point["level_dbfs"] / 20.0),
                                    point["frequency_hz"], rate, harmonics)
            measured = point["thd_db"]
            label = f"thd ch{point['channel']} {point['frequency_hz']:.2f} Hz {point['level_dbfs']} dBFS"
            report(label, measured, expected)
            if expected > -100.0:
                assert measured is not None and abs(measured - expected) <= 0.5, label
            else:
                assert measured is None or measured < -100.0, label
    return check


def check_compressor(doc, settings, rate):
    threshold = -60.0 + 60.0 * settings["Thresh"]
    ratio = 1.0 / (1.0 - settings["Ratio"])
    attack, release = 40.0 * settings["Attack"], 400.0 * settings["Release"]
    dynamics = section(doc, "dynamics")
    level = numbers(dynamics["input_dbfs"])
    expected = np.where(level > threshold, threshold + (level - threshold) / ratio, level)
    for channel, output in enumerate(dynamics["output_dbfs"]):
        error = np.max(np.abs(numbers(output) - expected))
        report(f"transfer curve[{channel}] max error dB", error, "<= 0.3")
        assert error <= 0.3
    for name, value in (("attack_ms", attack), ("release_ms", release)):
        measured = np.atleast_1d(numbers(np.atleast_1d(dynamics[name]).tolist()))
        report(name, measured, value)
        assert np.all(np.abs(measured - value) <= 0.05 * value), name


def check_tremolo(doc, settings, rate):
    confidence = section(doc, "linear")["confidence"]
    report("time_variant", confidence["time_variant"], True)
    assert confidence["time_variant"] is True


def alias_points(doc):
    return section(doc, "aliasing")["points"]


def check_shaper(doc, settings, rate):
    for point in alias_points(doc):
        expected = sampled_alias_db(settings["Drive"], 10.0 ** (point["level_dbfs"] / 20.0),
                                    point["frequency_hz"], rate)
        label = f"alias ch{point['channel']} {point['frequency_hz']:.1f} Hz"
        report(label, point["alias_db"], expected)
        assert point["alias_db"] is not None and abs(point["alias_db"] - expected) <= 1.0, label


def check_oversampled(doc, settings, rate):
    naive = analyze("shaper", "aliasing", rate, tuple(settings.items()))

    def at_10k(points):
        return min(points, key=lambda p: (abs(p["frequency_hz"] - 10000.0), p["channel"]))

    plain, oversampled = at_10k(alias_points(naive)), at_10k(alias_points(doc))
    report("alias at 10 kHz naive/oversampled", (plain["alias_db"], oversampled["alias_db"]),
           "20 dB apart")
    assert plain["alias_db"] is not None
    # Null: nothing left to measure, which is less than anything.
    if oversampled["alias_db"] is not None:
        assert oversampled["alias_db"] <= plain["alias_db"] - 20.0


def check_comb(doc, settings, rate):
    rt60 = max(0.05, 4.0 * settings["Decay"])
    time = section(doc, "time")
    report("tail_s_60db", time["tail_s_60db"], rt60)
    assert time["tail_s_60db"] is not None and abs(time["tail_s_60db"] - rt60) <= 0.05 * rt60
    assert time["tail_reported"] == math.floor(0.25 * rt60 * rate + 0.5)
    assert time["tail_flagged"] is True


def check_trimwise(doc, settings, rate):
    thd = section(doc, "thd")
    assert thd["floor_db"] is not None or thd["floor_db_reason"]
    worst = max((p["thd_db"] for p in thd["points"] if p["thd_db"] is not None), default=None)
    report("worst thd_db / floor_db", worst, thd["floor_db"])
    assert thd["points"] and (worst is None or worst < -140.0)


# ---- The table: plug-in, what to measure, its settings (two or more), the check.

CASES = [
    ("lowpass", "linear", [{"Cutoff": 0.5}, {"Cutoff": 0.75}], check_lowpass(0)),
    ("delayed_lowpass", "linear", [{"Cutoff": 0.5}, {"Cutoff": 0.75}], check_lowpass(37)),
    ("delay", "linear", [{"Delay": 0.25}, {"Delay": 0.75}], check_delay),
    ("clipper", "thd", [{"Drive": 0.25}, {"Drive": 0.5}], check_saturator("clipper")),
    ("tanh", "thd", [{"Drive": 0.25}, {"Drive": 0.5}], check_saturator("tanh")),
    ("compressor", "dynamics",
     [{"Thresh": 0.5, "Ratio": 0.5, "Attack": 0.25, "Release": 0.25},
      {"Thresh": 0.75, "Ratio": 0.75, "Attack": 0.5, "Release": 0.5}], check_compressor),
    ("tremolo", "linear", [{"Rate": 0.25, "Depth": 0.5}, {"Rate": 0.5, "Depth": 1.0}],
     check_tremolo),
    ("shaper", "aliasing", [{"Drive": 0.25}, {"Drive": 0.5}], check_shaper),
    ("shaper_4x", "aliasing", [{"Drive": 0.25}, {"Drive": 0.5}], check_oversampled),
    ("comb", "time", [{"Decay": 0.25}, {"Decay": 0.5}], check_comb),
    ("trimwise", "thd",
     [{"Left Gain": f"{gain}dB", "Right Gain": f"{gain}dB"} for gain in (0, -20, -60)],
     check_trimwise),
]

# Cases whose measurement is known to be wrong: (plug-in, setting index, rate) -> reason.
KNOWN_GAPS = {}


def table():
    for name, what, settings, check in CASES:
        for index, setting in enumerate(settings):
            for rate in RATES:
                label = ",".join(f"{k}={v}" for k, v in setting.items())
                marks = []
                if (name, index, rate) in KNOWN_GAPS:
                    marks.append(pytest.mark.xfail(strict=True,
                                                   reason=KNOWN_GAPS[(name, index, rate)]))
                yield pytest.param(name, what, setting, rate, check, marks=marks,
                                   id=f"{name}-{label}-{rate}")


@pytest.mark.skipif(not os.path.exists(PLUGHOST), reason="PLUGHOST names no plughost")
@pytest.mark.parametrize("name,what,settings,rate,check", list(table()))
def test_known_answer(name, what, settings, rate, check):
    doc = analyze(name, what, rate, tuple(settings.items()))
    assert doc["schema"] == 1
    assert doc["settings"]["sample_rate"] == rate
    check(doc, settings, rate)
