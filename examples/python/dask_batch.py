#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A folder of audio files through a chain of plug-ins on a Dask distributed cluster.

    examples/python/dask_batch.py IN_FOLDER OUT_FOLDER PLUGIN [PLUGIN ...]

runs on a LocalCluster of this machine. To use a real cluster, give the scheduler's address
instead (the one line to change is marked below): every worker machine needs the Debian packages
python3-plughost (which brings plughost), python3-distributed and the plug-ins at the same paths,
and sees the input and output folders at the same paths (a shared file system).

The chain travels to the workers pickled (path, settings and state of every plug-in, a few
bytes); each worker process loads its own copies, keeps them for the next file, and never shares
an instance between threads. Workers read and write the files themselves; only a small record
per file comes back. A file whose plug-in kills its worker fails alone: Dask reports it as
KilledWorker (or, with isolated=True plug-ins, the helper process dies instead of the worker).
"""

import os
import pickle
import sys
import threading

import plughost
from plughost import _plughost

# One set of copies per worker thread, by the pickled chain they were made from.
_copies = threading.local()


def _chain_copies(blob):
    cache = getattr(_copies, "cache", None)
    if cache is None:
        cache = _copies.cache = {}
    if blob not in cache:
        cache[blob] = pickle.loads(blob)
    return cache[blob]


def process_one(blob, source, target):
    """Runs on a worker: one file through that worker's copies of the chain."""
    plugins = _chain_copies(blob)
    try:
        done = plughost.process_file(plugins[0] if len(plugins) == 1 else plughost.Chain(plugins),
                                     source, target, overwrite=True)
        return plughost.FileResult(source, target, "ok", "", "", done["frames"],
                                   done["output_format"])
    except plughost.PluginError as e:
        _copies.cache.pop(blob, None)
        return plughost.FileResult(source, target, "failed", e.cause, e.hint, 0, "")


def process_folder(client, plugins, folder, outdir):
    """Every audio file below `folder` through `plugins` into `outdir`, subfolders mirrored."""
    from distributed.scheduler import KilledWorker

    items = _plughost.plan_batch([os.fspath(folder)], True, os.fspath(outdir), "")
    blob = pickle.dumps(list(plugins))
    futures = [client.submit(process_one, blob, source, target, pure=False)
               for source, target in items]
    results = []
    for (source, target), future in zip(items, futures):
        try:
            results.append(future.result())
        except KilledWorker as e:
            results.append(plughost.FileResult(source, target, "failed",
                                               f"the plug-in killed its worker ({e})",
                                               "run it with isolated=True to see why", 0, ""))
    return results


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__.split("\n\n")[1])
    from distributed import Client, LocalCluster

    folder, outdir, paths = sys.argv[1], sys.argv[2], sys.argv[3:]
    plugins = [plughost.load(p) for p in paths]
    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster:
        with Client(cluster) as client:  # a real cluster: Client("tcp://scheduler:8786")
            results = process_folder(client, plugins, folder, outdir)
    for r in results:
        print(f"{r.status:6} {r.input} -> {r.output} {r.error}")
    sys.exit(any(r.status != "ok" for r in results))


if __name__ == "__main__":
    main()
