# SPDX-License-Identifier: MIT
"""The HTML report of plughost analyze: one self-contained file, its plots drawn by matplotlib
as inline SVG with the text kept as text. The shapes of the documents it draws are described
in plughost/report.py, its command line."""

from __future__ import annotations

import html
import io
import math
import os
import re
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from ._errors import PluginError, PluginFileError, PluginValueError

__all__ = ["report", "render", "MissingPackage"]

Side = Tuple[str, Mapping[str, Any]]  # ("A", the section) or ("", the section)
Rows = List[Tuple[str, str]]          # (label with unit, value as HTML)


class MissingPackage(PluginError, ImportError):
    """A package the report needs (matplotlib) is not installed."""


def _pyplot():
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as e:
        raise MissingPackage(f"the report needs matplotlib, which cannot be imported ({e})",
                             "install python3-matplotlib") from None
    matplotlib.rcParams.update({"svg.fonttype": "none", "font.size": 9,
                                "axes.grid": True, "grid.alpha": 0.3})
    return matplotlib, plt


# ---- Values as text

def _esc(text: Any) -> str:
    return html.escape(str(text), quote=True)


def _number(value: Any, digits: int = 2) -> str:
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return str(value).replace("-", "−")
    if isinstance(value, float):
        if not math.isfinite(value):
            return "—"
        text = f"{value:.{digits + 1}g}" if abs(value) >= 1e6 else f"{value:.{digits}f}"
        return text.replace("-", "−")
    return _esc(value)


def _value(section: Mapping[str, Any], key: str, digits: int = 2, unit: str = "") -> str:
    """The value of `key` as HTML: the number with its unit, or a dash and the reason it is
    missing; a capped value as "≥ cap"."""
    if key not in section:
        return "—"
    value = section[key]
    if value is None:
        reason = section.get(f"{key}_reason")
        return "—" + (f' <span class="reason">({_esc(reason)})</span>' if reason else "")
    text = _number(value, digits)
    if section.get(f"{key}_capped"):
        text = "≥ " + text
    return text + (f" {unit}" if unit else "")


def _array(values: Any) -> np.ndarray:
    """A JSON list (of lists) of numbers and nulls as floats, nulls as NaN."""
    if values is None:
        return np.array([], dtype=float)
    return np.array([[np.nan if v is None else v for v in row] if isinstance(row, list)
                     else (np.nan if row is None else row) for row in values], dtype=float)


def _channels(values: Any) -> np.ndarray:
    array = _array(values)
    return array.reshape(1, -1) if array.ndim == 1 else array


def _table(rows: Rows, header: Sequence[str] = ()) -> str:
    if not rows:
        return ""
    head = "".join(f"<th>{_esc(h)}</th>" for h in header)
    body = "".join("<tr><th>" + _esc(r[0]) + "</th>" + "".join(f"<td>{v}</td>" for v in r[1:])
                   + "</tr>" for r in rows)
    return f'<table class="numbers">{"<tr>" + head + "</tr>" if head else ""}{body}</table>'


# ---- One plot and one table per measurement

def _line_label(side: str, channel: int, channels: int) -> Optional[str]:
    parts = [side] if side else []
    if channels > 1:
        parts.append(f"out {channel + 1}")
    return " ".join(parts) or None


def _styles(sides: Sequence[Side]) -> List[dict]:
    return [{"linestyle": "-"}, {"linestyle": "--"}][:len(sides)] if len(sides) > 1 \
        else [{"linestyle": "-"}]


def _legend(ax) -> None:
    handles, labels = ax.get_legend_handles_labels()
    if labels:
        ax.legend(fontsize=7, loc="best")


def _least_span(ax, span: float) -> None:
    """At least `span` on the y axis, so that a flat curve shows flat instead of its rounding
    noise magnified."""
    low, high = ax.get_ylim()
    if high - low < span:
        middle = (low + high) / 2
        ax.set_ylim(middle - span / 2, middle + span / 2)


def _frequency_axis(ax, label: bool = True) -> None:
    ax.set_xscale("log")
    if label:
        ax.set_xlabel("Frequency (Hz)")


def _plot_linear(plt, sides: Sequence[Side], difference: Optional[Mapping]):
    rows = [("magnitude_db", "Magnitude (dB)", 2.0), ("phase_deg", "Phase (°)", 20.0),
            ("group_delay_frames", "Group delay (frames)", 2.0)]
    diff = difference and "magnitude_db" in difference
    fig, axes = plt.subplots(len(rows) + bool(diff), 1, figsize=(7.5, 8 + 2 * bool(diff)),
                             sharex=True)
    for (key, ylabel, span), ax in zip(rows, axes):
        for (side, section), style in zip(sides, _styles(sides)):
            ax.set_prop_cycle(None)  # each side's lines in the same colours
            x = _array(section.get("frequency_hz"))
            ys = _channels(section.get(key))
            for c, y in enumerate(ys):
                if len(y) == len(x):
                    ax.plot(x, y, label=_line_label(side, c, len(ys)), **style)
        ax.set_ylabel(ylabel)
        _least_span(ax, span)
        _frequency_axis(ax, label=False)
    if diff:
        x = _array(difference.get("frequency_hz"))
        for c, y in enumerate(_channels(difference["magnitude_db"])):
            ax = axes[-1]
            if len(y) == len(x):
                ax.plot(x, y, label=f"out {c + 1}")
        axes[-1].set_ylabel("Magnitude B − A (dB)")
        _least_span(axes[-1], 2.0)
    axes[-1].set_xlabel("Frequency (Hz)")
    _legend(axes[0])
    fig.tight_layout()
    return fig


def _points_by(points: Sequence[Mapping], key: str, x: str, y: str):
    """The points grouped by `key` (frequency) and channel, each group sorted by `x`."""
    groups: Dict[Tuple[Any, int], List[Tuple[float, float]]] = {}
    for p in points:
        value = p.get(y)
        groups.setdefault((p.get(key), p.get("channel", 0)), []).append(
            (p.get(x), np.nan if value is None else value))
    return {k: sorted(v, key=lambda t: t[0])
            for k, v in sorted(groups.items(), key=lambda kv: (float(kv[0][0] or 0), kv[0][1]))}


def _points_difference(ax, points, key: str, x: str, y: str, xlabel: str, ylabel: str) -> None:
    """The difference of matched points (b minus a), one line per group of `key` and channel."""
    for (group, channel), pts in _points_by(points, key, x, y).items():
        label = f"{group:.0f} Hz" if key == "frequency_hz" else f"out {channel + 1}"
        ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", markersize=3,
                label=label + (f" out {channel + 1}" if key == "frequency_hz" and channel
                               else ""))
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    _least_span(ax, 2.0)
    _legend(ax)


def _plot_thd(plt, sides: Sequence[Side], difference: Optional[Mapping]):
    sweep = [s for s in sides if (s[1].get("sweep") or {}).get("harmonic_db")]
    diff = bool(difference and difference.get("points"))
    count = 1 + bool(sweep) + diff
    fig, axes = plt.subplots(1, count, figsize=(3 + 3.5 * count, 4.2), squeeze=False)
    ax = axes[0][0]
    for (side, section), style in zip(sides, _styles(sides)):
        ax.set_prop_cycle(None)  # each side's lines in the same colours
        for (frequency, channel), pts in _points_by(section.get("points") or [], "frequency_hz",
                                                    "level_dbfs", "thd_db").items():
            label = " ".join(filter(None, [side, f"{frequency:.0f} Hz",
                                           f"out {channel + 1}" if channel else ""]))
            ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", markersize=3,
                    label=label, **style)
        if section.get("floor_db") is not None:
            floor = section["floor_db"]
            label = " ".join(filter(None, [side, f"analyzer floor {_number(floor, 1)} dB"]))
            ax.axhline(floor, color="grey", linewidth=0.8, linestyle=":", label=label)
    ax.set_xlabel("Input level (dBFS)")
    ax.set_ylabel("THD (dB)")
    _least_span(ax, 20.0)
    # A floor far below the plug-in's distortion is named in the legend, not drawn: the axis
    # would squeeze the curves into a line.
    measured = [p.get("thd_db") for _, s in sides for p in s.get("points") or []
                if isinstance(p.get("thd_db"), (int, float))]
    if measured and ax.get_ylim()[0] < min(measured) - 40:
        ax.set_ylim(bottom=min(measured) - 40)
    _legend(ax)
    if sweep:
        ax = axes[0][1]
        for (side, section), style in zip(sweep, _styles(sweep)):
            ax.set_prop_cycle(None)  # each side's lines in the same colours
            data = section["sweep"]
            x = _array(data.get("frequency_hz"))
            for k, y in sorted(data["harmonic_db"].items(), key=lambda kv: int(kv[0])):
                y = _array(y)
                if len(y) == len(x):
                    ax.plot(x, y, label=" ".join(filter(None, [side, f"H{k}"])), **style)
        _frequency_axis(ax)
        ax.set_ylabel("Harmonic level (dB)")
        _legend(ax)
    if diff:
        _points_difference(axes[0][-1], difference["points"], "frequency_hz", "level_dbfs",
                           "thd_db", "Input level (dBFS)", "THD B − A (dB)")
    fig.tight_layout()
    return fig


def _plot_dynamics(plt, sides: Sequence[Side], difference: Optional[Mapping]):
    diff = difference and isinstance(difference.get("output_dbfs"), list)
    fig, axes = plt.subplots(1, 2 if diff else 1, figsize=(11 if diff else 6, 5), squeeze=False)
    ax = axes[0][0]
    low, high = 0.0, 0.0
    for (side, section), style in zip(sides, _styles(sides)):
        ax.set_prop_cycle(None)  # each side's lines in the same colours
        x = _array(section.get("input_dbfs"))
        ys = _channels(section.get("output_dbfs"))
        for c, y in enumerate(ys):
            if len(y) == len(x):
                ax.plot(x, y, marker="o", markersize=2, label=_line_label(side, c, len(ys)),
                        **style)
        if len(x):
            low, high = min(low, float(np.nanmin(x))), max(high, float(np.nanmax(x)))
    ax.plot([low, high], [low, high], color="grey", linewidth=0.8, linestyle=":",
            label="unity")
    ax.set_xlabel("Input level (dBFS)")
    ax.set_ylabel("Output level (dBFS)")
    _legend(ax)
    if diff:
        ax = axes[0][1]
        x = _array(difference.get("input_dbfs"))
        ys = _channels(difference["output_dbfs"])
        for c, y in enumerate(ys):
            if len(y) == len(x):
                ax.plot(x, y, marker="o", markersize=2, label=_line_label("", c, len(ys)))
        ax.set_xlabel("Input level (dBFS)")
        ax.set_ylabel("Output B − A (dB)")
        _least_span(ax, 2.0)
        _legend(ax)
    fig.tight_layout()
    return fig


def _plot_aliasing(plt, sides: Sequence[Side], difference: Optional[Mapping]):
    grams = [s for s in sides if (s[1].get("spectrogram") or {}).get("power_db")]
    diff = bool(difference and difference.get("points"))
    count = 1 + len(grams) + diff
    fig, axes = plt.subplots(1, count, figsize=(2.5 + 4 * count, 4.2), squeeze=False)
    ax = axes[0][0]
    for (side, section), style in zip(sides, _styles(sides)):
        ax.set_prop_cycle(None)  # each side's lines in the same colours
        for (_, channel), pts in _points_by(section.get("points") or [], "channel",
                                            "frequency_hz", "alias_db").items():
            label = " ".join(filter(None, [side, f"out {channel + 1}"]))
            ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", markersize=3,
                    label=label, **style)
    _frequency_axis(ax)
    ax.set_ylabel("Alias power re fundamental (dB)")
    _least_span(ax, 20.0)
    _legend(ax)
    for (side, section), ax in zip(grams, axes[0][1:]):
        gram = section["spectrogram"]
        t, f = _array(gram.get("time_s")), _array(gram.get("frequency_hz"))
        power = _channels(gram["power_db"])
        if power.shape == (len(t), len(f)) and len(t) != len(f):
            power = power.T
        extent = [t[0], t[-1], f[0], f[-1]] if len(t) and len(f) else None
        image = ax.imshow(power, origin="lower", aspect="auto", extent=extent, cmap="magma",
                          vmin=np.nanmax(power) - 140 if np.isfinite(power).any() else None)
        ax.set_xlabel("Time (s)")
        ax.set_ylabel("Frequency (Hz)")
        ax.grid(False)
        ax.set_title(" ".join(filter(None, [side, "spectrogram of a high sweep"])), fontsize=9)
        fig.colorbar(image, ax=ax, label="Power (dB)")
    if diff:
        _points_difference(axes[0][-1], difference["points"], "channel", "frequency_hz",
                           "alias_db", "Frequency (Hz)", "Alias B − A (dB)")
        axes[0][-1].set_xscale("log")
    fig.tight_layout()
    return fig


def _plot_time(plt, sides: Sequence[Side], difference: Optional[Mapping]):
    fig, ax = plt.subplots(figsize=(6.5, 3.8))
    decays = [(side, s["decay"]) for side, s in sides if isinstance(s.get("decay"), Mapping)]
    if decays:
        # The decay envelope after the input stops, with the thresholds the tail is read at.
        for (side, decay), style in zip(decays, _styles(decays)):
            ax.set_prop_cycle(None)  # each side's lines in the same colours
            t, level = _array(decay.get("time_s")), _array(decay.get("level_db"))
            if len(t) == len(level):
                ax.plot(t, level, label=side or None, **style)
        for threshold in (-60, -120):
            ax.axhline(threshold, color="grey", linewidth=0.8, linestyle=":")
        ax.set_xlabel("Time after the input stops (s)")
        ax.set_ylabel("Level re before the stop (dB)")
    else:
        # Without the envelope: the measured tails beside the reported one.
        names, values, colors = [], [], []
        for side, section in sides:
            for key, name, color in (("tail_s_60db", "to −60 dB", "C0"),
                                     ("tail_s_120db", "to −120 dB", "C1"),
                                     ("tail_reported_s", "reported", "C3")):
                names.append(" ".join(filter(None, [side, name])))
                value = section.get(key)
                values.append(value if isinstance(value, (int, float)) else 0.0)
                colors.append(color)
        positions = np.arange(len(names))
        ax.barh(positions, values, color=colors)
        ax.set_yticks(positions, names)
        ax.invert_yaxis()
        ax.set_xlabel("Tail (s)")
    _legend(ax)
    fig.tight_layout()
    return fig


def _plot_cost(plt, sides: Sequence[Side], difference: Optional[Mapping]):
    ratios = (difference or {}).get("realtime_factor_ratio") or {}
    fig, axes = plt.subplots(1, 2 if ratios else 1, figsize=(11 if ratios else 6.5, 4),
                             squeeze=False)
    ax = axes[0][0]
    for (side, section), style in zip(sides, _styles(sides)):
        ax.set_prop_cycle(None)  # each side's lines in the same colours
        blocks = _array(section.get("block_sizes"))
        spreads = section.get("spread") or {}
        for precision, values in sorted((section.get("realtime_factor") or {}).items()):
            y = _array(values)
            if len(y) != len(blocks):
                continue
            spread = _array(spreads.get(precision)) if precision in spreads else None
            error = y * spread / 2 if spread is not None and len(spread) == len(y) else None
            ax.errorbar(blocks, y, yerr=error, marker="o", markersize=3, capsize=2,
                        label=" ".join(filter(None, [side, f"{precision}-bit"])), **style)
    ax.set_yscale("log")
    ax.set_ylabel("Real-time factor (×)")
    curves = [(ax, sides[0][1].get("block_sizes") or [])]
    if ratios:
        ax = axes[0][1]
        blocks = _array(difference.get("block_sizes"))
        for precision, values in sorted(ratios.items()):
            y = _array(values)
            if len(y) == len(blocks):
                ax.plot(blocks, y, marker="o", markersize=3, label=f"{precision}-bit")
        ax.set_ylabel("Real-time factor B / A")
        curves.append((ax, difference.get("block_sizes") or []))
    for ax, blocks in curves:
        ax.set_xscale("log", base=2)
        ax.set_xticks(blocks, [str(b) for b in blocks])
        ax.set_xlabel("Block size (frames)")
        _legend(ax)
    fig.tight_layout()
    return fig


def _plot_instrument(plt, sides: Sequence[Side], difference: Optional[Mapping]):
    fig, ax = plt.subplots(figsize=(7, 3.8))
    for (side, section), style in zip(sides, _styles(sides)):
        ax.set_prop_cycle(None)  # each side's lines in the same colours
        curve = section.get("spectrum") or {}
        x = _array(curve.get("frequency_hz"))
        ys = _channels(curve.get("magnitude_db"))
        for c, y in enumerate(ys):
            if len(y) == len(x):
                ax.plot(x, y, label=_line_label(side, c, len(ys)), **style)
    _frequency_axis(ax)
    ax.set_ylabel("Magnitude (dB)")
    _legend(ax)
    fig.tight_layout()
    return fig


def _at(x: np.ndarray, y: np.ndarray, target: float) -> float:
    """y at `target`, interpolated between the nearest points of the ascending grid `x`."""
    if not len(x) or len(x) != len(y) or not x[0] <= target <= x[-1]:
        return math.nan
    return float(np.interp(target, x, y))


def _rows_latency(s: Mapping) -> Rows:
    return [("Reported latency", _value(s, "reported", 0, "frames")),
            ("Measured latency", _value(s, "measured", 1, "frames")),
            ("Flagged", _value(s, "flagged"))]


def _rows_linear(s: Mapping) -> Rows:
    x = _array(s.get("frequency_hz"))
    rows = [("Sweep level", _value(s, "level_dbfs", 1, "dBFS")),
            ("Phase delay removed", _value(s, "phase_delay_frames", 1, "frames"))]
    for c, y in enumerate(_channels(s.get("magnitude_db"))):
        if len(y) == len(x) and len(x):
            rows.append((f"Output {c + 1}: magnitude at 1 kHz", _number(_at(x, y, 1000)) + " dB"))
            rows.append((f"Output {c + 1}: magnitude range",
                         f"{_number(float(np.nanmin(y)))} to {_number(float(np.nanmax(y)))} dB"))
    confidence = s.get("confidence") or {}
    rows += [("Time residual", _value(confidence, "time_residual_db", 1, "dB")),
             ("Level residual", _value(confidence, "level_residual_db", 1, "dB")),
             ("Time-variant", _value(confidence, "time_variant")),
             ("Level-dependent", _value(confidence, "level_dependent")),
             ("Confidence", _value(confidence, "value", 2))]
    return rows


def _rows_thd(s: Mapping) -> Rows:
    rows = [("Harmonics (K)", _value(s, "harmonics", 0)),
            ("Analyzer floor", _value(s, "floor_db", 1, "dB"))]
    points = [p for p in s.get("points") or [] if p.get("channel", 0) == 0]
    for frequency in sorted({p.get("frequency_hz") for p in points}, key=float):
        at = [p for p in points if p.get("frequency_hz") == frequency]
        near = min(at, key=lambda p: abs((p.get("level_dbfs") or 0) + 6))
        where = f"{_number(frequency, 0)} Hz, {_number(near.get('level_dbfs'), 0)} dBFS"
        rows.append((f"THD at {where}", _value(near, "thd_db", 1, "dB")))
        rows.append((f"THD+N at {where}", _value(near, "thdn_db", 1, "dB")))
    measured = [p for p in points if isinstance(p.get("thd_db"), (int, float))]
    if measured:
        worst = max(measured, key=lambda p: p["thd_db"])
        rows.append(("Highest THD", f"{_value(worst, 'thd_db', 1, 'dB')} at "
                     f"{_number(worst.get('frequency_hz'), 0)} Hz, "
                     f"{_number(worst.get('level_dbfs'), 0)} dBFS"))
    return rows


def _rows_dynamics(s: Mapping) -> Rows:
    rows = [("Attack (63 %)", _value(s, "attack_ms", 2, "ms")),
            ("Release (63 %)", _value(s, "release_ms", 2, "ms")),
            ("Level step", _value(s, "step_db", 0, "dB")),
            ("Test frequency", _value(s, "frequency_hz", 1, "Hz"))]
    x = _array(s.get("input_dbfs"))
    for c, y in enumerate(_channels(s.get("output_dbfs"))):
        for level in (-20, 0):
            if len(y) == len(x) and len(x):
                rows.append((f"Output {c + 1} at {_number(level)} dBFS in",
                             _number(_at(x, y, level), 1) + " dBFS"))
    return rows


def _rows_aliasing(s: Mapping) -> Rows:
    rows: Rows = []
    for (_, channel), pts in _points_by(s.get("points") or [], "channel", "frequency_hz",
                                        "alias_db").items():
        if channel == 0:
            rows += [(f"Alias at {_number(f, 0)} Hz", _number(a, 1) + " dB") for f, a in pts]
    return rows


def _rows_time(s: Mapping) -> Rows:
    return [("Tail to −60 dB", _value(s, "tail_s_60db", 3, "s")),
            ("Tail to −120 dB", _value(s, "tail_s_120db", 3, "s")),
            ("Reported tail", _value(s, "tail_reported", 0, "frames") + " = "
             + _value(s, "tail_reported_s", 3, "s")),
            ("Tail flagged", _value(s, "tail_flagged")),
            ("Noise floor (silent input)", _value(s, "noise_floor_dbfs", 1, "dBFS")),
            ("DC offset (silent input)", _value(s, "dc_offset", 6))]


def _rows_cost(s: Mapping) -> Rows:
    blocks = s.get("block_sizes") or []
    factors, spreads = s.get("realtime_factor") or {}, s.get("spread") or {}
    rows = []
    for i, block in enumerate(blocks):
        parts = []
        for precision, values in sorted(factors.items()):
            if i < len(values) and values[i] is not None:
                spread = (spreads.get(precision) or [None] * len(blocks))[i]
                parts.append(f"{precision}-bit {_number(values[i], 0)}×"
                             + (f" (spread {_number(100 * spread, 0)} %)" if spread is not None
                                else ""))
        rows.append((f"{block} frames", ", ".join(parts) or "—"))
    rows += [("Runs", _value(s, "runs", 0)), ("Machine loaded", _value(s, "machine_loaded")),
             ("Load average", _value(s, "load_average", 2))]
    return rows


def _rows_instrument(s: Mapping) -> Rows:
    return [("Notes", _esc(", ".join(str(n) for n in s.get("notes") or []))),
            ("Level", _value(s, "level_dbfs", 1, "dBFS")),
            ("Peak", _value(s, "peak_dbfs", 1, "dBFS"))]


def _rows_other(s: Mapping) -> Rows:
    return [(k, _value(s, k)) for k, v in s.items()
            if k != "status" and not k.endswith("_reason") and not isinstance(v, (list, dict))]


# Every section: its title, the plot (None: numbers only) and its key numbers.
_SECTIONS: Dict[str, Tuple[str, Optional[Callable], Callable[[Mapping], Rows]]] = {
    "latency": ("Latency", None, _rows_latency),
    "linear": ("Linear response", _plot_linear, _rows_linear),
    "thd": ("Harmonic distortion", _plot_thd, _rows_thd),
    "dynamics": ("Dynamics", _plot_dynamics, _rows_dynamics),
    "aliasing": ("Aliasing", _plot_aliasing, _rows_aliasing),
    "time": ("Tail and noise", _plot_time, _rows_time),
    "cost": ("Cost", _plot_cost, _rows_cost),
    "instrument": ("Instrument", _plot_instrument, _rows_instrument),
}

_STATUS_TEXT = {"failed": "Failed", "crashed": "Crashed", "timeout": "Timed out",
                "not_applicable": "Not applicable", "not_run": "Not run",
                "not_loadable": "Not loadable"}


# ---- The page

class _Page:
    """An HTML page under construction, drawing its figures as inline SVG."""

    def __init__(self, title: str):
        self.matplotlib, self.plt = _pyplot()
        self.title = title
        self.parts: List[str] = []
        self.figures = 0

    def svg(self, fig) -> str:
        # Ids unique in the page (every figure's are derived from its own salt) and reproducible.
        self.figures += 1
        self.matplotlib.rcParams["svg.hashsalt"] = f"plughost-figure-{self.figures}"
        buffer = io.StringIO()
        fig.savefig(buffer, format="svg", metadata={"Date": None})
        self.plt.close(fig)
        text = buffer.getvalue()
        text = text[text.index("<svg"):]
        return re.sub(r"<metadata>.*?</metadata>", "", text, flags=re.S)

    def html(self) -> str:
        return (f'<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
                f"<title>{_esc(self.title)}</title>\n<style>{_CSS}</style>\n</head>\n<body>\n"
                + "\n".join(self.parts) + "\n</body>\n</html>\n")


_CSS = """
body { font-family: sans-serif; margin: 1.5em auto; max-width: 72em; padding: 0 1em;
       color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; margin: 0.5em 0 1em; }
th, td { text-align: left; padding: 0.15em 0.8em 0.15em 0; vertical-align: top; }
td { font-variant-numeric: tabular-nums; }
.findings li, .flagged { color: #a40000; } .finding-info { color: #555 !important; }
.status { font-weight: bold; color: #a40000; } .reason { color: #666; font-size: 0.9em; }
.status.not_applicable { font-weight: normal; color: #555; }
figure { margin: 0.5em 0; } figure svg { max-width: 100%; height: auto; }
.note { color: #555; }
table.collection { width: 100%; }
.collection td { overflow-wrap: anywhere; font-size: 0.92em; border-top: 1px solid #ddd; }
"""


def _identity(doc: Mapping, side: str = "") -> str:
    plugin, settings = doc.get("plugin") or {}, doc.get("settings") or {}
    uid = plugin.get("unique_id")
    if isinstance(uid, int):
        code = uid.to_bytes(4, "big", signed=uid < 0)
        shown = code.decode("latin-1") if all(32 <= b < 127 for b in code) else ""
        uid_text = f"{uid}" + (f" ('{_esc(shown)}')" if shown else "")
    else:
        uid_text = "—"
    rows = [("Name", _esc(plugin.get("name", "—"))),
            ("Vendor", _esc(plugin.get("vendor", "—"))),
            ("Library", _esc(plugin.get("path", "—"))), ("Unique ID", uid_text),
            ("Inputs / outputs", f"{_number(plugin.get('inputs', '—'))} / "
                                 f"{_number(plugin.get('outputs', '—'))}"),
            ("Instrument", _value(plugin, "instrument")),
            ("Reported latency", _value(plugin, "reported_latency", 0, "frames")),
            ("Reported tail", _value(plugin, "reported_tail", 0, "frames")),
            ("Sample rate", _value(settings, "sample_rate", 0, "Hz")),
            ("Block size", _value(settings, "block_size", 0, "frames")),
            ("Precision", _value(settings, "precision", 0, "bit")),
            ("Measurements", _esc(", ".join(doc.get("what") or [])))]
    out = [f'<h2 id="{side.lower() or "plugin"}-identity">{_esc(side + " ") if side else ""}'
           f"Plug-in and settings</h2>", _table(rows)]
    parameters = settings.get("parameters") or []
    if parameters:
        out.append(_table([(str(p.get("index", i)), _esc(p.get("name", "")),
                            _esc(" ".join(filter(None, [str(p.get("display", "")).strip(),
                                                        str(p.get("label", "")).strip()]))),
                            _number(p.get("value"), 4)) for i, p in enumerate(parameters)],
                          header=("#", "Parameter", "Shown", "Value")))
    return "\n".join(out)


def _findings(sides: Sequence[Tuple[str, Mapping]]) -> str:
    items = []
    for side, doc in sides:
        for finding in doc.get("findings") or []:
            measurement = finding.get("measurement", "")
            info = finding.get("severity") == "info"
            items.append(f'<li class="finding{" finding-info" if info else ""}" '
                         f'data-measurement="{_esc(measurement)}"><b>'
                         f'{_esc(" ".join(filter(None, [side, measurement])))}</b>: '
                         f'{_esc(finding.get("text", ""))}</li>')
    body = f'<ul class="findings">{"".join(items)}</ul>' if items else \
        '<p class="note">Nothing flagged.</p>'
    return f'<section id="findings"><h2>Findings</h2>{body}</section>'


def _section(page: _Page, name: str, sides: Sequence[Side],
             difference: Optional[Mapping]) -> str:
    title, plot, rows = _SECTIONS.get(name, (name.capitalize(), None, _rows_other))
    out = [f'<section id="{_esc(name)}" class="measurement"><h2>{_esc(title)}</h2>']
    ok = [(side, s) for side, s in sides if s.get("status", "ok") == "ok"]
    for side, s in sides:
        status = s.get("status", "ok")
        if status != "ok":
            who = f"{side}: " if side else ""
            out.append(f'<p class="status {_esc(status)}">{_esc(who)}'
                       f'{_esc(_STATUS_TEXT.get(status, status))}: {_esc(s.get("reason", ""))}'
                       "</p>")
    if name == "cost" and any(s.get("machine_loaded") for _, s in ok):
        out.append('<p class="note">The machine was loaded while the cost was measured '
                   "(see the load average): the factors may be low.</p>")
    if ok and plot is not None:
        figure = plot(page.plt, ok, difference)
        out.append(f'<figure class="plot" data-measurement="{_esc(name)}">'
                   f"{page.svg(figure)}</figure>")
    if ok:
        tables = [rows(s) for _, s in ok]
        if len(ok) == 1:
            out.append(_table(tables[0]))
        else:
            # Side by side where both sides give the same rows; else one after the other.
            labels = [r[0] for r in tables[0]]
            if all([r[0] for r in t] == labels for t in tables):
                merged = [(label,) + tuple(t[i][1] for t in tables)
                          for i, label in enumerate(labels)]
                out.append(_table(merged, header=("",) + tuple(side for side, _ in ok)))
            else:
                out += [f"<h3>{_esc(side)}</h3>" + _table(t) for (side, _), t in zip(ok, tables)]
    if difference:
        rows = [(key, _value(difference, key, 3)) for key, value in difference.items()
                if not key.endswith("_reason") and not isinstance(value, (list, dict))]
        if rows:
            out.append("<h3>Difference B − A</h3>" + _table(rows))
    out.append("</section>")
    return "\n".join(out)


def _sections_of(doc: Mapping) -> List[str]:
    return [k for k, v in doc.items() if isinstance(v, Mapping) and "status" in v]


def _analysis_body(page: _Page, doc: Mapping) -> None:
    name = (doc.get("plugin") or {}).get("name") or "plug-in"
    page.parts.append(f"<h1>Analysis of {_esc(name)}</h1>")
    status = doc.get("status", "ok")
    if status != "ok":
        # The analysis ended before its sections: a plug-in that cannot be loaded, or a crash.
        page.parts.append(f'<p class="status {_esc(status)}">'
                          f'{_esc(_STATUS_TEXT.get(status, status))}: '
                          f'{_esc(doc.get("reason", ""))}</p>')
        if doc.get("hint"):
            page.parts.append(f'<p class="note">hint: {_esc(doc["hint"])}</p>')
    page.parts.append(_findings([("", doc)]))
    page.parts.append(_identity(doc))
    for section in _sections_of(doc):
        page.parts.append(_section(page, section, [("", doc[section])], None))


def _compare_body(page: _Page, compare: Mapping) -> None:
    a, b = compare.get("a") or {}, compare.get("b") or {}
    names = [(d.get("plugin") or {}).get("name", "?") for d in (a, b)]
    page.parts.append(f"<h1>Comparison: A {_esc(names[0])}, B {_esc(names[1])}</h1>")
    page.parts.append(_findings([("A", a), ("B", b)]))
    page.parts.append(_identity(a, "A"))
    page.parts.append(_identity(b, "B"))
    difference = compare.get("difference") or {}
    order = _sections_of(a) + [s for s in _sections_of(b) if s not in a]
    for section in order:
        sides = [(side, d[section]) for side, d in (("A", a), ("B", b)) if section in d]
        part = _section(page, section, sides, difference.get(section))
        reason = difference.get(f"{section}_reason")
        if reason:
            part = part.replace("</section>", f'<p class="note">No difference: {_esc(reason)}'
                                "</p></section>")
        page.parts.append(part)


def _flag(flagged: Any) -> str:
    return ' <b class="flagged">flagged</b>' if flagged else ""


def _validate_cell(record: Any) -> str:
    if not isinstance(record, Mapping):
        return _esc(record) if record is not None else "—"
    if record.get("problem"):
        return _esc(f"{record.get('result', 'not loadable')}: {record['problem']}")
    counts = ", ".join(f"{record[k]} {k}" for k in ("passed", "warned", "failed", "skipped")
                       if isinstance(record.get(k), int))
    failing = [f"{c.get('name')}: {c.get('detail', '')}" for c in record.get("checks") or []
               if isinstance(c, Mapping) and c.get("status") in ("fail", "failed")]
    text = " ".join(filter(None, [str(record.get("result", record.get("status", ""))),
                                  f"({counts})" if counts else ""]))
    return _esc(text) + "".join(f'<br><span class="reason">{_esc(f)}</span>' for f in failing)


def _collection_body(page: _Page, entries: Sequence[Mapping]) -> None:
    page.parts.append(f"<h1>Analysis of {len(entries)} plug-ins</h1>")
    summary_keys: List[str] = []
    for entry in entries:
        for key in entry.get("summary") or {}:
            if key not in summary_keys:
                summary_keys.append(key)
    has = {key: any(key in e for e in entries) for key in ("latency", "tail", "seconds",
                                                          "validate")}
    header = (["Plug-in", "Status", "Findings"]
              + ["Latency (frames): reported / measured"] * has["latency"]
              + ["Tail (s): reported / to −60 dB"] * has["tail"]
              + summary_keys + ["Time (s)"] * has["seconds"] + ["Validate"] * has["validate"])
    rows = []
    for entry in entries:
        plugin = entry.get("plugin")
        plugin = plugin if isinstance(plugin, Mapping) else {"path": plugin}
        name = _esc(entry.get("name") or plugin.get("name")
                    or os.path.basename(str(plugin.get("path", "?"))))
        link = entry.get("report")
        cells = [(f'<a href="{_esc(link)}">{name}</a>' if link else name)
                 + f'<br><span class="reason">{_esc(plugin.get("path", ""))}</span>']
        status = entry.get("status", "ok")
        findings = [f.get("text", "") if isinstance(f, Mapping) else str(f)
                    for f in entry.get("findings") or []]
        reason = entry.get("reason")
        # The reason once: beside the status unless the findings already say it.
        cells.append(_esc(_STATUS_TEXT.get(status, status)) + (
            f' <span class="reason">({_esc(reason)})</span>' if reason and reason not in findings
            else ""))
        cells.append("<br>".join(_esc(f) for f in findings) or "—")
        if has["latency"]:
            latency = entry.get("latency") or {}
            cells.append(f"{_value(latency, 'reported', 0)} / {_value(latency, 'measured', 1)}"
                         + _flag(latency.get("flagged")) if latency else "—")
        if has["tail"]:
            tail = entry.get("tail") or {}
            cells.append(f"{_value(tail, 'reported_s', 3)} / {_value(tail, 'measured_s_60db', 3)}"
                         + _flag(tail.get("flagged")) if tail else "—")
        summary = entry.get("summary") or {}
        cells += [_value(summary, key, 2) for key in summary_keys]
        if has["seconds"]:
            cells.append(_value(entry, "seconds", 1))
        if has["validate"]:
            cells.append(_validate_cell(entry.get("validate")))
        rows.append("<tr>" + "".join(f"<td>{c}</td>" for c in cells) + "</tr>")
    page.parts.append('<table class="collection"><tr>'
                      + "".join(f"<th>{_esc(h)}</th>" for h in header) + "</tr>"
                      + "".join(rows) + "</table>")


def _document(results: Any) -> Any:
    json = getattr(results, "json", None)
    return json if json is not None else results


def render(results: Any) -> str:
    """The report as HTML text: of one analysis (an Analysis or its JSON document), a comparison
    ({"compare": ...}), a collection index ({"collection": [...]}), or a list of analyses (one
    page, one part each)."""
    doc = _document(results)
    if isinstance(doc, Mapping) and "compare" in doc:
        a = (doc["compare"].get("a") or {}).get("plugin", {}).get("name", "?")
        b = (doc["compare"].get("b") or {}).get("plugin", {}).get("name", "?")
        page = _Page(f"Comparison of {a} and {b}")
        _compare_body(page, doc["compare"])
    elif isinstance(doc, Mapping) and "collection" in doc:
        page = _Page("plughost analyze: collection")
        _collection_body(page, doc["collection"])
    elif isinstance(doc, Mapping):
        page = _Page(f"Analysis of {(doc.get('plugin') or {}).get('name', 'a plug-in')}")
        _analysis_body(page, doc)
    elif isinstance(doc, Sequence) and not isinstance(doc, str) and doc:
        docs = [_document(d) for d in doc]
        page = _Page(f"Analysis of {len(docs)} plug-ins")
        names = [(d.get("plugin") or {}).get("name", "?") for d in docs]
        page.parts.append("<nav><ul>" + "".join(f'<li><a href="#part-{i}">{_esc(n)}</a></li>'
                                                for i, n in enumerate(names)) + "</ul></nav>")
        for i, d in enumerate(docs):
            page.parts.append(f'<article id="part-{i}">')
            _analysis_body(page, d)
            page.parts.append("</article>")
    else:
        raise PluginValueError("there is nothing to report",
                               "give an Analysis, its JSON document or a list of them")
    return page.html()


def report(results: Any, path: Union[str, os.PathLike]) -> None:
    """Write the HTML report of `results` (see render()) to `path`: one file that loads
    nothing from elsewhere."""
    text = render(results)
    try:
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
    except OSError as e:
        raise PluginFileError(f"cannot write the report '{os.fspath(path)}': {e.strerror}",
                              "choose a folder that exists and can be written") from None
