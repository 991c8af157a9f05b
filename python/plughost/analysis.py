# SPDX-License-Identifier: MIT
"""What a plug-in does to sound, measured by ``plughost analyze``: its linear response and
latency, harmonic distortion, dynamics, aliasing, tail and noise, and its cost.

    result = plughost.analyze(p, what=["linear", "thd"])
    result.latency.measured              # frames, or None where it cannot be measured
    result.linear.magnitude_db           # numpy array (output channels, points)
    result.thd.points[0].thd_db

The measuring is the command line's own (the plughost executable, run with ``--json``); this
module only turns its JSON document into attributes named like the document's keys. Lists of
numbers become float64 numpy arrays (a JSON null inside one is NaN), lists of objects lists of
records, and a null value None with a sibling ``<name>_reason`` saying why.
"""

from __future__ import annotations

import json
import keyword
import os
import subprocess
import tempfile
from typing import Any, Dict, List, Mapping, Optional, Sequence, Union

import numpy as np

from ._errors import PluginError, PluginFileError, PluginLoadError, PluginValueError

__all__ = ["analyze", "Analysis", "Record", "helper_path"]

# plughost's exit codes and the exceptions they become.
_EXIT_ERRORS = {2: PluginValueError, 3: PluginFileError, 4: PluginLoadError}


def helper_path() -> str:
    """The plughost executable: $PLUGHOST_HELPER, else the one installed beside this module,
    as the isolated sessions find their helper."""
    from . import _plughost
    return _plughost.default_helper()


class Record:
    """A JSON object with its keys as attributes; ``json`` is the object itself."""

    def __init__(self, data: Mapping[str, Any]):
        self.json = data
        for key, value in data.items():
            setattr(self, _attribute(key), _convert(value))

    def __getattr__(self, name: str) -> Any:
        # Only reached for keys the document does not have.
        raise AttributeError(f"{type(self).__name__} has no {name!r}: the document holds "
                             f"{', '.join(sorted(self.json)) or 'nothing'}")

    def __contains__(self, key: str) -> bool:
        return key in self.json

    def why(self, key: str) -> Optional[str]:
        """Why ``key`` is None (the document's ``<key>_reason``), or None."""
        return self.json.get(f"{key}_reason")

    def __repr__(self) -> str:
        shown = ", ".join(f"{k}={_short(v)}" for k, v in self.json.items())
        return f"<{type(self).__name__} {shown}>"


def _attribute(key: str) -> str:
    name = key if key.isidentifier() else "_" + "".join(c if c.isalnum() else "_" for c in key)
    return name + "_" if keyword.iskeyword(name) else name


def _short(value: Any) -> str:
    if isinstance(value, list):
        return f"[{len(value)} values]"
    if isinstance(value, dict):
        return "{...}"
    return repr(value)


def _numeric(value: Any) -> bool:
    # A list (of lists) of numbers and nulls, with at least one number.
    if isinstance(value, list):
        return bool(value) and all(_numeric(v) or v is None for v in value) and \
            any(v is not None for v in value)
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _convert(value: Any) -> Any:
    if isinstance(value, dict):
        # Keys such as block sizes or harmonic numbers ("32", "2") stay a mapping.
        if value and all(k.isidentifier() for k in value):
            return Record(value)
        return {k: _convert(v) for k, v in value.items()}
    if isinstance(value, list):
        if _numeric(value):
            try:
                return np.array(value, dtype=np.float64)  # None becomes NaN
            except ValueError:  # ragged: one array per row
                return [_convert(v) for v in value]
        return [_convert(v) for v in value]
    return value


class Analysis(Record):
    """The measurements of one plug-in, named like the keys of ``plughost analyze --json``.

    ``plugin`` (identity), ``settings``, ``what``, ``findings`` (the flagged results), then one
    section per measurement: ``latency``, ``linear``, ``thd``, ``dynamics``, ``aliasing``,
    ``time``, ``cost`` or ``instrument``, each with ``status`` ("ok", "failed", "crashed",
    "timeout", "not_applicable", "not_run") and ``reason`` when not "ok". A comparison has
    ``compare.a``, ``compare.b`` (each an Analysis) and ``compare.difference``.
    """

    schema: int
    plugin: Record
    settings: Record
    what: List[str]
    findings: List[Record]

    def __init__(self, document: Mapping[str, Any]):
        super().__init__(document)
        if "compare" in document:
            compare = self.compare
            for side in ("a", "b"):
                if side in document["compare"]:
                    setattr(compare, side, Analysis(document["compare"][side]))

    def sections(self) -> List[str]:
        """The measurement sections present, in the document's order."""
        return [k for k, v in self.json.items() if isinstance(v, dict) and "status" in v]


def _settings(params: Union[None, Mapping[str, Any], Sequence[str]]) -> List[str]:
    if params is None:
        return []
    if isinstance(params, Mapping):
        return [f"{name}={value}" for name, value in params.items()]
    if isinstance(params, str):
        return [params]
    return [str(p) for p in params]


def _command(path: str, what, sample_rate, options: Dict[str, Any]) -> List[str]:
    command = [helper_path(), "analyze", path, "--json", "--rate", repr(float(sample_rate))]
    if what is not None:
        command += ["--what", what if isinstance(what, str) else ",".join(what)]
    flags = {"block_size": "--block-size", "precision": "--precision", "timeout": "--timeout",
             "tail_cap": "--tail-cap", "level": "--level", "smoothing": "--smoothing"}
    for key, value in options.items():
        if key == "params":
            for setting in _settings(value):
                command += ["--param", setting]
        elif key == "side_chain":
            command += ["--side-chain"] if value else []
        elif key in flags:
            if value is not None:
                command += [flags[key], str(value)]
        else:
            raise TypeError(f"analyze() got an unexpected option {key!r}; it takes "
                            f"params, side_chain, {', '.join(flags)}")
    return command


def _error(returncode: int, stderr: str) -> PluginError:
    cause, hint = "", ""
    for line in stderr.splitlines():
        if line.startswith("plughost: error: "):
            cause = line[len("plughost: error: "):]
        elif line.startswith("hint: "):
            hint = line[len("hint: "):]
    if not cause:
        cause = (stderr.strip().splitlines() or [f"plughost analyze ended with {returncode}"])[-1]
    return _EXIT_ERRORS.get(returncode, PluginError)(cause, hint)


def analyze(p, what: Union[None, str, Sequence[str]] = None, sample_rate: float = 48000,
            **options) -> Analysis:
    """Measure a plug-in as ``plughost analyze --json`` does and return its Analysis.

    ``p`` is a Plugin (measured with its current state: parameters, program, chunk) or a path or
    name. ``what`` names the measurements ("linear", "thd", "dynamics", "aliasing", "time",
    "cost"; default all). Options: ``params`` (a {name: value} mapping or "NAME=VALUE" texts,
    set after the state), ``block_size``, ``precision`` (32 or 64), ``timeout`` (seconds per
    measurement), ``tail_cap`` (seconds), ``level`` (the sweep's, dBFS), ``smoothing`` (1/N
    octave), ``side_chain`` (the stimulus to every input). Fresh instances run in child
    processes, so a plug-in that crashes marks its measurement "crashed" instead of raising.
    """
    with tempfile.TemporaryDirectory(prefix="plughost-analyze-") as folder:
        if isinstance(p, (str, os.PathLike)):
            path = os.fspath(p)
            command = _command(path, what, sample_rate, options)
        else:
            state = os.path.join(folder, "state.bin")
            with open(state, "wb") as file:
                file.write(p.state)
            command = _command(p.path, what, sample_rate, options) + ["--state", state]
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True)
        except OSError as e:
            raise PluginLoadError(f"cannot run plughost '{command[0]}': {e.strerror}",
                                  "install plughost, or set PLUGHOST_HELPER to its executable")
    if done.returncode != 0:
        raise _error(done.returncode, done.stderr)
    try:
        document = json.loads(done.stdout)
    except ValueError as e:
        raise PluginError(f"plughost analyze printed no JSON document ({e})",
                          "the plughost executable does not match this module") from None
    return Analysis(document)
