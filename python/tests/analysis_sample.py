# SPDX-License-Identifier: MIT
# A document as plughost analyze --json writes it, made up in closed form: a one-pole low-pass
# behind a delay of 64 frames that reports none, with every measurement, for the report's tests
# where no plug-in gives these numbers.
import numpy as np

RATE = 48000
DELAY = 64


def document(what=("linear", "thd", "dynamics", "aliasing", "time", "cost")):
    f = 20 * 2 ** (np.arange(0, np.log2(0.45 * RATE / 20), 1 / 24))
    z = np.exp(-2j * np.pi * f / RATE)
    h = 0.2 / (1 - 0.8 * z)
    magnitude = 20 * np.log10(np.abs(h))
    phase = np.degrees(np.angle(h))
    group = 0.8 * np.cos(2 * np.pi * f / RATE) - 0.64
    group = group / (1 - 1.6 * np.cos(2 * np.pi * f / RATE) + 0.64) + DELAY
    levels = [-40, -30, -20, -12, -6, 0, 6]
    doc = {
        "schema": 1,
        "plugin": {"path": "/tmp/late_delay.so", "name": "Late Delay", "vendor": "Test",
                   "unique_id": 0x4C617465, "inputs": 2, "outputs": 2, "instrument": False,
                   "reported_latency": 0, "reported_tail": 0},
        "settings": {"sample_rate": RATE, "block_size": 512, "precision": 64,
                     "parameters": [{"index": 0, "name": "Delay", "value": 0.25,
                                     "display": "64", "label": "frames"}]},
        "what": list(what),
        "findings": [
            {"measurement": "latency", "text": f"reports 0 frames of latency but measures "
             f"{DELAY}: a host compensating 0 misaligns the track by {DELAY} frames"},
            {"measurement": "time", "text": "reports no tail but rings for 0.02 s"}],
    }
    if "linear" in what:
        doc["latency"] = {"status": "ok", "reported": 0, "measured": DELAY, "flagged": True}
        doc["linear"] = {
            "status": "ok", "level_dbfs": -6, "frequency_hz": f.tolist(),
            "magnitude_db": [magnitude.tolist()] * 2, "phase_deg": [phase.tolist()] * 2,
            "phase_delay_frames": DELAY, "group_delay_frames": [group.tolist()] * 2,
            "confidence": {"time_residual_db": -140.2, "level_residual_db": -138.0,
                           "time_variant": False, "level_dependent": False, "value": 1.0},
            "smoothing": None, "ir_length_frames": 4096}
    if "thd" in what:
        doc["thd"] = {
            "status": "ok", "harmonics": 10, "floor_db": -290.5,
            "points": [{"channel": c, "frequency_hz": fr, "level_dbfs": lv,
                        "thd_db": None if lv == -40 else -150.0 + lv,
                        **({"thd_db_reason": "no harmonic above the floor"} if lv == -40
                           else {}),
                        "thdn_db": -140.0 + lv, "harmonics": 10}
                       for c in (0, 1) for fr in (99.6, 999.76, 4999.2) for lv in levels],
            "sweep": {"frequency_hz": f[::8].tolist(),
                      "harmonic_db": {"2": (-160 + 0 * f[::8]).tolist(),
                                      "3": (-170 + 0 * f[::8]).tolist()}}}
    if "dynamics" in what:
        x = np.arange(-90, 7, 3.0)
        doc["dynamics"] = {"status": "ok", "frequency_hz": 999.76, "input_dbfs": x.tolist(),
                           "output_dbfs": [(x - 14).tolist()] * 2, "attack_ms": None,
                           "attack_ms_reason": "the gain does not change with level",
                           "release_ms": None,
                           "release_ms_reason": "the gain does not change with level",
                           "step_db": 20}
    if "aliasing" in what:
        tones = [2000.3, 5000.1, 10000.1, 15000.4, 20000.2]
        t, fs = np.linspace(0, 2, 40), np.linspace(0, RATE / 2, 64)
        power = -140 + 120 * (np.abs(fs[None, :] - 2000 - 10000 * t[:, None]) < 400)
        doc["aliasing"] = {"status": "ok",
                           "points": [{"channel": c, "frequency_hz": tone, "level_dbfs": -6,
                                       "alias_db": -200.0 + tone / 1000} for c in (0, 1)
                                      for tone in tones],
                           "spectrogram": {"time_s": t.tolist(), "frequency_hz": fs.tolist(),
                                           "power_db": power.tolist()}}
    if "time" in what:
        doc["time"] = {"status": "ok", "tail_s_60db": 0.021, "tail_s_120db": 0.042,
                       "tail_cap_s": 30, "tail_s_60db_capped": False,
                       "tail_s_120db_capped": False, "tail_reported": 0,
                       "tail_reported_s": 0.0, "tail_flagged": True,
                       "noise_floor_dbfs": None, "noise_floor_dbfs_reason": "the output is silent",
                       "dc_offset": 0.0}
    if "cost" in what:
        blocks = [32 << i for i in range(8)]
        doc["cost"] = {"status": "ok", "block_sizes": blocks,
                       "realtime_factor": {"32": [300.0 * (1 + i) for i in range(8)],
                                           "64": [250.0 * (1 + i) for i in range(8)]},
                       "spread": {"32": [0.05] * 8, "64": [0.04] * 8}, "runs": 5,
                       "machine_loaded": True, "load_average": 2.5}
    return doc


def failed(doc, measurement, status, reason):
    """`doc` with `measurement` ended as `status` for `reason`."""
    doc[measurement] = {"status": status, "reason": reason}
    return doc


def instrument():
    """An instrument's document: the audio-input measurements do not apply, its notes do."""
    doc = document(["linear", "cost"])
    doc["plugin"].update(name="Tone", inputs=0, instrument=True)
    for measurement in ("latency", "linear"):
        failed(doc, measurement, "not_applicable",
               "needs an audio input: the plug-in is an instrument without one")
    f = np.geomspace(20, 20000, 200)
    doc["instrument"] = {"status": "ok", "notes": [60, 64, 67], "level_dbfs": -12.0,
                         "peak_dbfs": -3.0,
                         "spectrum": {"frequency_hz": f.tolist(),
                                      "magnitude_db": [(-60 - 10 * np.log10(f)).tolist()]}}
    return doc
