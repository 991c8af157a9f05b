# SPDX-License-Identifier: MIT
"""Load and play plug-ins of the 2.4 interface from Python, in this process or isolated.

    import plughost
    p = plughost.load("Trimwise")
    p.parameters["Left Gain"].set("-6 dB")
    out = p.process(audio)          # audio: (channels, frames) float32 or float64
    result = plughost.analyze(p)    # what it does to sound, measured
    plughost.report(result, "p.html")

The host library does the work (the same code as the plughost command line); this package only
turns Python values into its terms and its errors into the exceptions below.
"""

from __future__ import annotations

import collections
import contextlib
import os
import threading
from typing import Iterator, Optional, Sequence, Union

import numpy as np

from . import _plughost
from ._batch import FileResult, process_files
from ._report import report
from .analysis import Analysis, analyze
from ._errors import (PluginClosedError, PluginCrashed, PluginError, PluginFileError,
                      PluginLoadError, PluginTimeout, PluginValueError)

__all__ = ["load", "scan", "process_file", "process_files", "FileResult", "Plugin", "Parameter", "Parameters", "Chain", "PluginInfo",
           "analyze", "Analysis", "report",
           "PluginError", "PluginValueError", "PluginFileError", "PluginLoadError",
           "PluginClosedError", "PluginCrashed", "PluginTimeout"]

PluginInfo = collections.namedtuple(
    "PluginInfo", "path name vendor unique_id category inputs outputs usable reason")
PluginInfo.__doc__ = "One plug-in found by scan(); ``reason`` says why it is not usable."

_CATEGORIES = ("Unknown", "Effect", "Synth", "Analysis", "Mastering", "Spacializer", "RoomFx",
               "SurroundFx", "Restoration", "OfflineProcess", "Shell", "Generator")

MidiEvents = Union[Sequence[tuple], str, os.PathLike]


def load(path: Union[str, os.PathLike], sample_rate: float = 44100, block_size: int = 512,
         isolated: bool = False, timeout: float = 30) -> "Plugin":
    """Load a plug-in by path or by name on the search path and open one instance of it.

    With ``isolated=True`` the plug-in runs in a helper process (``plughost serve``): a crash,
    abort, exception or a call longer than ``timeout`` seconds raises PluginCrashed or
    PluginTimeout instead of ending this interpreter.
    """
    path = os.fspath(path)
    session = _plughost.open(path, float(sample_rate), int(block_size), bool(isolated),
                             float(timeout))
    return Plugin(session, isolated=bool(isolated), timeout=float(timeout))


def scan(timeout: float = 60) -> list:
    """Every plug-in on the search path, each probed in a child process: a list of PluginInfo.

    The probes are started by the plughost helper, so this interpreter is never forked."""
    rows = _plughost.scan(float(timeout))
    return [PluginInfo(path, name, vendor, uid,
                       _CATEGORIES[cat] if 0 <= cat < len(_CATEGORIES) else str(cat),
                       ins, outs, usable, reason)
            for path, name, vendor, uid, cat, ins, outs, usable, reason in rows]


def process_file(plugin: Union["Plugin", "Chain"], input: Union[str, os.PathLike],
                 output: Union[str, os.PathLike], *, overwrite: bool = False,
                 encoding: str = "same", midi: Optional[Union[str, os.PathLike]] = None,
                 tail: float = 2.0, block_size: Optional[int] = None,
                 precision: int = 32) -> dict:
    """Stream an audio file through a plug-in or a Chain into ``output``, as plughost process does.

    The formats, channel rules, MIDI and tail are the command line's: the output's container
    follows its extension, ``encoding`` is "same", "pcm16", "pcm24", "pcm32", "float" or
    "double". Fresh instances with the current settings run at the file's sample rate. Memory
    does not grow with the file. Returns what was done: frames, sample rate, channels, format.
    """
    plugins = plugin.plugins if isinstance(plugin, Chain) else [plugin]
    guarded = [p._session for p in plugins]
    with contextlib.ExitStack() as held:
        # In one order everywhere, so that two threads on chains that share a plug-in wait.
        for g in sorted(set(guarded), key=id):
            held.enter_context(g.lock)
        return _plughost.process_file([g.raw for g in guarded], os.fspath(input),
                                      os.fspath(output), bool(overwrite), str(encoding),
                                      "" if midi is None else os.fspath(midi), float(tail),
                                      int(block_size or 0), int(precision))


def _restore(path, sample_rate, block_size, isolated, timeout, state):
    plugin = load(path, sample_rate, block_size, isolated, timeout)
    plugin.state = state
    return plugin


def _as_signal(audio) -> np.ndarray:
    array = np.asarray(audio)
    if array.dtype not in (np.float32, np.float64):
        raise PluginValueError(f"the audio is of dtype {array.dtype}",
                               "give float32 or float64 samples, e.g. audio.astype(np.float32)")
    if array.ndim == 1:
        array = array.reshape(1, -1)
    elif array.ndim != 2:
        raise PluginValueError(f"the audio has {array.ndim} dimensions",
                               "give a (channels, frames) array, or a 1-D array for mono")
    if array.shape[0] == 0:
        raise PluginValueError("the audio has no channels",
                               "give a (channels, frames) array with at least one channel")
    return np.ascontiguousarray(array)


class _Guarded:
    """A session taking one call at a time: a Plugin shared between threads makes them wait
    instead of racing inside the host library."""

    __slots__ = ("raw", "lock")

    def __init__(self, session):
        self.raw = session
        self.lock = threading.Lock()

    def __getattr__(self, name):
        attr = getattr(self.raw, name)
        if not callable(attr):
            return attr

        def call(*args):
            with self.lock:
                return attr(*args)
        return call


class Parameter:
    """One parameter of a plug-in: ``name``, ``label``, ``display`` and ``value`` (0..1)."""

    def __init__(self, plugin: "Plugin", index: int):
        self._plugin = plugin
        self.index = index

    @property
    def name(self) -> str:
        """The parameter's name as the plug-in gives it."""
        return self._plugin._session.parameter_name(self.index)

    @property
    def label(self) -> str:
        """The unit shown after the value, e.g. "dB"."""
        return self._plugin._session.parameter_label(self.index)

    @property
    def display(self) -> str:
        """The value as the plug-in shows it, e.g. "-6.02"."""
        return self._plugin._session.parameter_display(self.index)

    @property
    def value(self) -> float:
        """The host value from 0 to 1; settable."""
        return self._plugin._session.parameter_value(self.index)

    @value.setter
    def value(self, value: float) -> None:
        self._plugin._session.set_parameter_value(self.index, float(value))

    def set(self, text: str) -> None:
        """Set from text as ``plughost --param`` takes it: "0.5", "-6 dB", "-inf"."""
        self._plugin._session.set_parameter_text(self.index, str(text))

    def __repr__(self) -> str:
        shown = " ".join(t for t in (self.display.strip(), self.label.strip()) if t)
        return f"<Parameter {self.index} {self.name!r} = {shown}>"


class Parameters(Sequence):
    """The parameters of a plug-in, by index or by name (any case, or a unique start)."""

    def __init__(self, plugin: "Plugin"):
        self._plugin = plugin

    def __len__(self) -> int:
        return self._plugin._info.parameters

    def __getitem__(self, key):
        if isinstance(key, slice):
            return [self[i] for i in range(len(self))[key]]
        if isinstance(key, str):
            return Parameter(self._plugin, self._plugin._session.find_parameter(key))
        index = int(key)
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError(f"parameter {key} is out of range: the plug-in has {len(self)}")
        return Parameter(self._plugin, index)

    def __iter__(self) -> Iterator[Parameter]:
        return (Parameter(self._plugin, i) for i in range(len(self)))

    def __contains__(self, name) -> bool:
        try:
            self[name]
        except (PluginValueError, IndexError):
            return False
        return True


class Plugin:
    """One open instance of a plug-in and its settings. Use from one thread at a time."""

    def __init__(self, session, isolated: bool = False, timeout: float = 30):
        self._live = _Guarded(session)
        self._info = session.info
        self._isolated = isolated
        self._timeout = timeout

    @property
    def _session(self):
        if self._live is None:
            raise PluginClosedError(f"'{self._info.name}' is closed",
                                    "load the plug-in again with plughost.load()")
        return self._live

    # Identity and channels, as the plug-in reported them when it was loaded.
    name = property(lambda self: self._info.name, doc="The plug-in's name.")
    vendor = property(lambda self: self._info.vendor, doc="Its vendor.")
    unique_id = property(lambda self: self._info.unique_id, doc="Its unique ID (an integer).")
    inputs = property(lambda self: self._info.inputs, doc="Number of audio inputs.")
    outputs = property(lambda self: self._info.outputs, doc="Number of audio outputs.")
    is_instrument = property(lambda self: self._info.is_instrument,
                             doc="Whether it plays notes (a synth, or no audio inputs).")
    latency = property(lambda self: self._info.latency, doc="Its delay in frames.")
    path = property(lambda self: self._info.path, doc="The library's path.")
    isolated = property(lambda self: self._isolated, doc="Whether it runs in a helper process.")

    @property
    def sample_rate(self) -> float:
        """The sample rate the instance runs at."""
        return self._session.sample_rate

    @property
    def block_size(self) -> int:
        """The most frames one processing call takes."""
        return self._session.block_size

    @property
    def parameters(self) -> Parameters:
        """The parameters: ``p.parameters[0]``, ``p.parameters["Left Gain"]``, len(), iteration."""
        self._session
        return Parameters(self)

    @property
    def programs(self) -> list:
        """The names of the plug-in's programs."""
        return self._session.program_names()

    @property
    def program(self) -> int:
        """The current program's index; settable."""
        return self._session.program()

    @program.setter
    def program(self, index: int) -> None:
        self._session.set_program(int(index))

    @property
    def state(self) -> bytes:
        """The plug-in's state: its chunk where it keeps one, else every parameter; settable."""
        return self._session.save_state()

    @state.setter
    def state(self, state: bytes) -> None:
        self._session.load_state(bytes(state))

    def process(self, audio=None, *, sample_rate: Optional[float] = None,
                block_size: Optional[int] = None, reset: bool = True, tail: float = 0.0,
                midi: Optional[MidiEvents] = None, duration: Optional[float] = None,
                compensate_latency: bool = True) -> np.ndarray:
        """Process audio and/or MIDI and return a new (outputs, frames) array.

        ``audio`` is (channels, frames) float32 or float64, or 1-D for mono; the result has its
        dtype. A mono signal feeds every input. ``midi`` is a list of (seconds, bytes) in order
        of time or a Standard MIDI File; ``duration`` sets the length without audio. ``tail``
        seconds are rendered after the end. ``reset=True`` runs a fresh instance with the
        current settings; ``reset=False`` goes on from the last call (for streams in chunks).
        """
        session = self._session
        signal = None if audio is None else _as_signal(audio)
        events, midi_file = [], ""
        if isinstance(midi, (str, os.PathLike)):
            midi_file = os.fspath(midi)
        elif midi is not None:
            events = [(float(t), bytes(m)) for t, m in midi]
        double = signal is not None and signal.dtype == np.float64
        run = session.process64 if double else session.process32
        out = run(signal, float(sample_rate or 0), int(block_size or 0), bool(reset),
                  float(tail), -1.0 if duration is None else float(duration),
                  bool(compensate_latency), events, midi_file)
        if audio is not None and np.ndim(audio) == 1 and out.shape[0] == 1:
            return out[0]
        return out

    def close(self) -> None:
        """Close the instance (and its helper process); any later use raises PluginClosedError."""
        self._live = None

    @property
    def closed(self) -> bool:
        """Whether close() was called."""
        return self._live is None

    def __enter__(self) -> "Plugin":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __reduce__(self):
        # A new instance of the same library with the same settings and state.
        return (_restore, (self.path, self.sample_rate, self.block_size, self._isolated,
                           self._timeout, self.state))

    def __repr__(self) -> str:
        status = "closed" if self.closed else f"{self.inputs} in, {self.outputs} out"
        return f"<plughost.Plugin {self.name!r} ({status}) from {self.path!r}>"


class Chain:
    """Plug-ins in series: each stage's output feeds the next (a mono output feeds every input)."""

    def __init__(self, plugins: Sequence[Plugin]):
        if not plugins:
            raise PluginValueError("the chain has no plug-ins", "give at least one plug-in")
        self.plugins = list(plugins)

    def process(self, audio=None, **options) -> np.ndarray:
        """Process through every stage in turn. ``midi``, ``duration`` and ``tail`` go to the
        first stage, so the tail is rendered through the whole chain; other options to all."""
        first_only = {k: options.pop(k) for k in ("midi", "duration", "tail") if k in options}
        out = self.plugins[0].process(audio, **options, **first_only)
        for plugin in self.plugins[1:]:
            out = plugin.process(out, **options)
        return out

    def __reduce__(self):
        return (Chain, (self.plugins,))
