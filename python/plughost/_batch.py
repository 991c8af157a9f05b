# SPDX-License-Identifier: MIT
"""Many files through a chain on every core: plughost.process_files."""

from __future__ import annotations

import collections
import concurrent.futures
import os
import pickle
import re
import sys
import threading
from typing import Callable, Mapping, Optional, Sequence, Union

from . import _plughost
from ._errors import PluginCrashed, PluginError, PluginValueError

FileResult = collections.namedtuple("FileResult", "input output status error hint frames format")
FileResult.__doc__ = """How one file of process_files() ended.

``status`` is "ok", "failed" or "skipped"; ``error`` and ``hint`` say why a file failed;
``frames`` and ``format`` describe what was written."""

Params = Callable[[str], Mapping[str, Union[str, float]]]


class _Progress:
    """tqdm's bar where it is installed (a widget in a notebook, a line on a terminal), else one
    line on stderr when that is a terminal; nothing when not wanted."""

    def __init__(self, total: int, wanted: bool):
        self._bar = None
        self._line = wanted and sys.stderr.isatty()
        self._done = 0
        self._total = total
        if wanted:
            try:
                from tqdm.auto import tqdm
                self._bar = tqdm(total=total, unit="file", desc="plughost")
                self._line = False
            except ImportError:
                pass

    def update(self, failed: int) -> None:
        self._done += 1
        if self._bar is not None:
            self._bar.update(1)
            self._bar.set_postfix(failed=failed, refresh=False)
        elif self._line:
            sys.stderr.write(f"\r{self._done}/{self._total} files, {failed} failed")
            sys.stderr.flush()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self._line:
            sys.stderr.write("\n")


def _apply(plugins, settings: Mapping[str, Union[str, float]]) -> None:
    # "Name" sets the first stage, "2:Name" the second, as --param does on the command line.
    for key, value in settings.items():
        stage, name = re.fullmatch(r"(?:(\d+):)?(.*)", str(key), re.S).groups("1")
        if not 1 <= int(stage) <= len(plugins):
            raise PluginValueError(f"parameter '{key}' names stage {stage} of {len(plugins)}",
                                   "prefix a parameter with its stage from 1, e.g. \"2:Decay\"")
        plugins[int(stage) - 1].parameters[name].set(str(value))


def process_files(chain, inputs: Sequence[Union[str, os.PathLike]],
                  outdir: Union[str, os.PathLike], jobs: Optional[int] = None,
                  params: Optional[Params] = None, progress: bool = True, *,
                  recursive: bool = True, ext: Optional[str] = None, encoding: str = "same",
                  overwrite: bool = False, skip_existing: bool = False) -> list:
    """Process many files through a plug-in or a Chain into ``outdir``, ``jobs`` at a time.

    ``inputs`` are files and folders (with their subfolders when ``recursive``); outputs go
    below ``outdir`` with the subfolders mirrored, named and typed as ``plughost process -O``
    does (``ext`` changes the container). ``params(input_path)`` may return that file's
    parameters, {"Name": value, "2:Name": value} with values as ``--param`` takes them. Each
    worker thread holds copies of the chain of its own (never shared between threads), and every
    file gets fresh instances with the chain's settings. With isolated plug-ins a crash or a
    hang fails that file alone. Returns one FileResult per file, in the planned order.
    """
    from . import Chain, process_file

    plugins = chain.plugins if isinstance(chain, Chain) else [chain]
    items = _plughost.plan_batch([os.fspath(i) for i in inputs], bool(recursive),
                                 os.fspath(outdir), ext or "")
    template = pickle.dumps(plugins)
    states = [p.state for p in plugins]
    local = threading.local()

    def one(item):
        source, target = item
        if skip_existing and os.path.exists(target):
            return FileResult(source, target, "skipped", "", "", 0, "")
        try:
            copies = getattr(local, "copies", None)
            if copies is None:
                copies = local.copies = pickle.loads(template)
            for copy, state in zip(copies, states):
                copy.state = state
            if params is not None:
                _apply(copies, params(source))
            done = process_file(copies[0] if len(copies) == 1 else Chain(copies), source, target,
                                overwrite=overwrite or skip_existing, encoding=encoding)
            return FileResult(source, target, "ok", "", "", done["frames"],
                              done["output_format"])
        except PluginError as e:
            if isinstance(e, PluginCrashed) or "helper process has ended" in e.cause:
                local.copies = None  # the helper is gone: the next file loads new copies
            return FileResult(source, target, "failed", e.cause, e.hint, 0, "")

    results = [None] * len(items)
    bar = _Progress(len(items), progress)
    failed = 0
    try:
        with concurrent.futures.ThreadPoolExecutor(jobs or os.cpu_count() or 1) as pool:
            futures = {pool.submit(one, item): i for i, item in enumerate(items)}
            for future in concurrent.futures.as_completed(futures):
                results[futures[future]] = result = future.result()
                failed += result.status == "failed"
                bar.update(failed)
    finally:
        bar.close()
    return results
