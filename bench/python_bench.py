#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The Python module's costs as ratios, each the median of 7 runs taken in turn in one process:
#   overhead   p.process() on 5 minutes of stereo float32 against the host library's facade
#              processing the same array in one call (both allocate their output), block 512
#   threads    two threads on two instances against one thread, in throughput (MVerb; Trimwise
#              is bound by memory speed and reported without a target)
#   isolated   isolated=True against in-process, on MVerb
#   memory     process_file's peak memory above the imported module, for a 1- and a 60-minute
#              file (16-bit WAV, 44.1 kHz stereo)
#   dask       examples/python/dask_batch.py on a LocalCluster of 2 worker processes against
#              process_files(jobs=1), in throughput, over 16 files of 20 s (median of 5, the
#              cluster started once)
#
#   bench/python_bench.py [build-dir]        (default build/default, built)
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import wave

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/default")
sys.path.insert(0, os.path.join(build, "python"))
os.environ.setdefault("PLUGHOST_HELPER", os.path.join(build, "tools", "plughost"))

import numpy as np  # noqa: E402

import plughost  # noqa: E402
import _plughost_bench  # noqa: E402

TRIMWISE = os.path.join(build, "Trimwise.so")
MVERB = "/usr/lib/vst/MVerb-vst.so"
RATE = 44100
RUNS = 7


def timed(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def ratio(measured, reference):
    """Median of `measured` over median of `reference`, runs taken alternately."""
    a, b = [], []
    for _ in range(RUNS):
        a.append(timed(measured))
        b.append(timed(reference))
    return statistics.median(a) / statistics.median(b)


def noise(seconds):
    return np.random.default_rng(1).uniform(-0.5, 0.5, (2, int(seconds * RATE))).astype(np.float32)


def overhead():
    x = noise(300)
    p = plughost.load(TRIMWISE, sample_rate=RATE, block_size=512)
    facade = _plughost_bench.Renderer(TRIMWISE, RATE, 512)
    return ratio(lambda: p.process(x), lambda: facade.render(x))


def threads(path, seconds):
    x = noise(seconds)
    plugins = [plughost.load(path, sample_rate=RATE) for _ in range(2)]

    def one():
        plugins[0].process(x)
        plugins[0].process(x)

    def two():
        workers = [threading.Thread(target=p.process, args=(x,)) for p in plugins]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    # The same work (two signals) both ways: the throughput ratio is the inverse time ratio.
    return ratio(one, two)


def isolated():
    x = noise(60)
    local = plughost.load(MVERB, sample_rate=RATE)
    remote = plughost.load(MVERB, sample_rate=RATE, isolated=True)
    return ratio(lambda: remote.process(x), lambda: local.process(x))


def write_wav(path, minutes):
    block = (np.random.default_rng(3).integers(-8000, 8000, (RATE * 10, 2))).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        for _ in range(minutes * 6):
            w.writeframes(block.tobytes())


# VmHWM, the peak, starts anew with the process image (ru_maxrss would keep the parent's).
MEMORY_PROBE = r"""
import sys
import plughost
def kb(field):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(field))
base = kb("VmRSS")
p = plughost.load(sys.argv[1])
plughost.process_file(p, sys.argv[2], sys.argv[3], overwrite=True)
print((kb("VmHWM") - base) / 1024)
"""


def memory(minutes, folder):
    source = os.path.join(folder, f"{minutes}min.wav")
    write_wav(source, minutes)
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, TRIMWISE, source,
                          os.path.join(folder, "out.wav")],
                         env=env, check=True, capture_output=True, text=True).stdout
    os.remove(source)
    return float(out.split()[-1])


def dask(folder):
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples", "python"))
    import dask_batch
    from distributed import Client, LocalCluster

    os.environ["PYTHONPATH"] = os.pathsep.join(sys.path)
    source = os.path.join(folder, "in")
    os.makedirs(source)
    for i in range(16):
        block = np.random.default_rng(i).integers(-8000, 8000, (RATE * 20, 2)).astype("<i2")
        with wave.open(os.path.join(source, f"{i:02}.wav"), "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(RATE)
            w.writeframes(block.tobytes())
    p = plughost.load(MVERB if os.path.exists(MVERB) else TRIMWISE, sample_rate=RATE)
    serial, parallel = [], []
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            for run in range(5):
                serial.append(timed(lambda: plughost.process_files(
                    p, [source], os.path.join(folder, f"s{run}"), jobs=1, progress=False)))
                parallel.append(timed(lambda: dask_batch.process_folder(
                    client, [p], source, os.path.join(folder, f"d{run}"))))
    return statistics.median(serial) / statistics.median(parallel), os.path.basename(p.path)


def main():
    print(f"plughost Python module, ratios of medians of {RUNS} runs, {os.cpu_count()} cores")
    print(f"overhead  p.process / facade, 5 min stereo float32, block 512: "
          f"{overhead():.3f}x  (target <= 1.1)")
    if os.path.exists(MVERB):
        print(f"threads   2 threads / 1 thread throughput, MVerb, 60 s each: "
              f"{threads(MVERB, 60):.2f}x  (target >= 1.7)")
    print(f"threads   2 threads / 1 thread throughput, Trimwise, 60 s each: "
          f"{threads(TRIMWISE, 60):.2f}x  (memory bound, no target)")
    if os.path.exists(MVERB):
        print(f"isolated  isolated / in-process, MVerb, 60 s: {isolated():.3f}x  (target <= 1.3)")
    with tempfile.TemporaryDirectory() as folder:
        short, long = memory(1, folder), memory(60, folder)
    print(f"memory    process_file peak above import: 1 min {short:.1f} MB, "
          f"60 min {long:.1f} MB  (target <= 16, the same for both)")
    with tempfile.TemporaryDirectory() as folder:
        speed, name = dask(folder)
    print(f"dask      LocalCluster(2 workers) / process_files(jobs=1) throughput, {name}, "
          f"16 files of 20 s: {speed:.2f}x  (no target on 2 cores)")


if __name__ == "__main__":
    main()
