# SPDX-License-Identifier: MIT
# plughost.process_files and the Dask example: parallel outputs identical to serial ones, files
# that fail or crash failing alone, and the example on a LocalCluster of two worker processes.
import os
import sys

import numpy as np
import pytest

import plughost
from test_plughost import TRIMWISE, read_pcm16, write_pcm16

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python")


def make_folder(root, names, frames=20000):
    rng = np.random.default_rng(5)
    for name in names:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        write_pcm16(path, (rng.integers(-4000, 4000, (2, frames)) * 4).astype(np.int16))
    return root


def outputs(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*.wav"))}


def test_parallel_equals_serial_with_params_per_file(tmp_path):
    source = make_folder(tmp_path / "in", ["a.wav", "b.wav", "sub/c.wav", "sub/d.wav"])
    chain = plughost.Chain([plughost.load(TRIMWISE), plughost.load(TRIMWISE)])
    chain.plugins[1].parameters["Right Gain"].set("0.5")

    def params(path):
        return {"Left Gain": "0.25" if "sub" in path else "0.5"}

    serial = plughost.process_files(chain, [source], tmp_path / "one", jobs=1, params=params,
                                    progress=False)
    parallel = plughost.process_files(chain, [source], tmp_path / "two", jobs=2, params=params,
                                      progress=False)
    assert [r.status for r in serial] == ["ok"] * 4 == [r.status for r in parallel]
    assert outputs(tmp_path / "one") == outputs(tmp_path / "two")
    x, _ = read_pcm16(source / "sub/c.wav")
    y, _ = read_pcm16(tmp_path / "one/sub/c.wav")
    assert np.array_equal(y[0], x[0] // 4) and np.array_equal(y[1], x[1] // 2)
    # The chain's own settings are untouched by the files' parameters.
    assert chain.plugins[0].parameters[0].value == 1.0


def test_failing_and_crashing_files_fail_alone(tmp_path):
    source = make_folder(tmp_path / "in", ["a.wav", "b.wav", "c.wav"])
    (source / "d.wav").write_bytes(b"not audio")
    # Setting a parameter aborts this plug-in: only b.wav sets one.
    faulty = plughost.load(os.environ["FAULTY_ABORT_ON_PARAMETER"], isolated=True)
    results = plughost.process_files(faulty, [source], tmp_path / "out", jobs=2, progress=False,
                                     params=lambda path: {"0": 0.5} if "b.wav" in path else {})
    status = {os.path.basename(r.input): (r.status, r.error) for r in results}
    assert status["a.wav"] == ("ok", "") and status["c.wav"] == ("ok", "")
    assert status["b.wav"][0] == "failed" and "SIGABRT" in status["b.wav"][1]
    assert status["d.wav"][0] == "failed" and status["d.wav"][1]
    # A crash while the output is written leaves no part of it behind.
    crashing = plughost.load(os.environ["FAULTY_CRASH_IN_PROCESS"], isolated=True)
    with pytest.raises(plughost.PluginCrashed, match="SIGSEGV"):
        plughost.process_file(crashing, source / "a.wav", tmp_path / "out" / "x.wav")
    assert sorted(os.listdir(tmp_path / "out")) == ["a.wav", "c.wav"]


def test_dask_example_on_a_local_cluster(tmp_path, monkeypatch):
    distributed = pytest.importorskip("distributed")
    import dask

    sys.path.insert(0, EXAMPLES)
    import dask_batch

    # The workers import the example and the package from the same paths.
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(
        [EXAMPLES, os.environ.get("PYTHONPATH", ""), os.path.dirname(__file__)]))
    source = make_folder(tmp_path / "in", ["a.wav", "b.wav", "sub/c.wav", "sub/d.wav", "e.wav"])
    (tmp_path / "crash").mkdir()
    make_folder(tmp_path / "crash", ["x.wav"], frames=100)
    p = plughost.load(TRIMWISE)
    p.parameters[0].set("-6 dB")
    expected = plughost.process_files(p, [source], tmp_path / "serial", jobs=1, progress=False)
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster:
            with distributed.Client(cluster) as client:
                results = dask_batch.process_folder(client, [p], source, tmp_path / "dask")
                crashing = plughost.load(os.environ["FAULTY_CRASH_IN_PROCESS"])
                killed = dask_batch.process_folder(client, [crashing], tmp_path / "crash",
                                                   tmp_path / "crashed")
    assert [r.status for r in results] == ["ok"] * 5 == [r.status for r in expected]
    assert outputs(tmp_path / "dask") == outputs(tmp_path / "serial")
    assert [r.status for r in killed] == ["failed"] and "killed its worker" in killed[0].error
