# SPDX-License-Identifier: MIT
# The Python module against Trimwise, Debian's plug-ins and deliberately faulty plug-ins. The
# paths come from the environment that ctest sets (python/tests/CMakeLists.txt).
import os
import pickle
import sys
import threading
import wave
import _thread

import numpy as np
import pytest

import plughost

TRIMWISE = os.environ["TRIMWISE_PLUGIN"]
DEBIAN = "/usr/lib/vst"


def debian(name):
    path = os.path.join(DEBIAN, name)
    if not os.path.exists(path):
        pytest.skip(f"{name} is not installed (scripts/setup.sh installs it)")
    return path


def noise(channels, frames, dtype=np.float32, seed=1):
    return np.random.default_rng(seed).standard_normal((channels, frames)).astype(dtype)


@pytest.fixture
def switch_rarely():
    # With a switch interval this long a thread gives up the GIL only where it blocks or where C++
    # releases it, which makes the thread tests below deterministic.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    yield
    sys.setswitchinterval(old)


# Gains as text and as host values, each bit-exact in 32 and 64 bits: output = input * gain,
# the gain a float as the plug-in keeps it.
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("left, right", [("-6 dB", "0.5"), ("-inf", "1"), ("0 dB", "-20dB")])
def test_trimwise_gains_bit_exact(dtype, left, right):
    with plughost.load(TRIMWISE, block_size=100) as p:
        p.parameters["Left Gain"].set(left)
        p.parameters["right"].set(right)
        x = noise(2, 10007, dtype)
        x.flags.writeable = False
        before = x.copy()
        y = p.process(x)
        assert y.dtype == dtype and y.shape == x.shape
        gains = [np.float32(prm.value) for prm in p.parameters]
        for c in range(2):
            assert np.array_equal(y[c], x[c] * dtype(gains[c]))
        assert np.array_equal(x, before)
        # A non-contiguous view and a mono signal (fed to both inputs) as the CLI takes them.
        assert np.array_equal(p.process(np.asfortranarray(x)), y)
        assert np.array_equal(p.process(x[:, ::2]), y[:, ::2])
        mono = p.process(x[0])
        assert mono.shape == (2, x.shape[1])
        assert np.array_equal(mono[1], x[0] * dtype(gains[1]))


def test_nan_and_infinity_pass_through():
    with plughost.load(TRIMWISE) as p:
        p.parameters[0].value = 0.5
        x = np.array([[np.nan, np.inf, -np.inf, 1.0]] * 2, dtype=np.float32)
        y = p.process(x)
        assert np.isnan(y[0, 0]) and y[0, 1] == np.inf and y[0, 2] == -np.inf
        assert np.array_equal(y[1], x[1], equal_nan=True)


def test_parameters_programs_and_state_round_trip():
    p = plughost.load(TRIMWISE)
    names = [prm.name for prm in p.parameters]
    assert names == ["Left Gain", "Right Gain"] and len(p.parameters) == 2
    assert p.programs == ["Default"] and p.program == 0
    p.parameters[1].set("-6 dB")
    assert p.parameters[1].display.strip().startswith("-6.0")
    q = pickle.loads(pickle.dumps(p))
    assert q is not p and q.state == p.state and q.parameters[1].value == p.parameters[1].value


@pytest.mark.parametrize("name", ["amsynth_vst.so", "ZynAddSubFX.so"])
def test_pickle_keeps_a_chunk(name):
    p = plughost.load(debian(name))
    p.parameters[3].value = 0.25
    q = pickle.loads(pickle.dumps(p))
    assert q.parameters[3].value == pytest.approx(0.25, abs=1e-3)
    # Some plug-ins tidy a chunk they load; from then on it must survive unchanged.
    assert pickle.loads(pickle.dumps(q)).state == q.state


def test_instrument_note_starts_at_its_frame():
    p = plughost.load(debian("amsynth_vst.so"))
    onset = 0.5
    out = p.process(midi=[(onset, b"\x90\x3c\x64"), (1.0, b"\x80\x3c\x00")], duration=1.5)
    frame = int(onset * 44100)
    assert out.shape == (2, int(1.5 * 44100))
    assert not out[:, :frame].any()
    assert np.abs(out[:, frame:frame + 2048]).max() > 1e-4


def test_instrument_follows_a_midi_files_tempo(tmp_path):
    # Format 0, 480 ticks a quarter, 60 bpm from the start: the note at tick 480 sounds at 1 s.
    track = (b"\x00\xff\x51\x03\x0f\x42\x40"     # tempo: 1,000,000 us a quarter
             b"\x83\x60\x90\x3c\x64"               # 480 ticks later: note on
             b"\x83\x60\x80\x3c\x00"               # 480 ticks later: note off
             b"\x00\xff\x2f\x00")
    song = tmp_path / "song.mid"
    song.write_bytes(b"MThd\x00\x00\x00\x06\x00\x00\x00\x01\x01\xe0" +
                     b"MTrk" + len(track).to_bytes(4, "big") + track)
    out = plughost.load(debian("amsynth_vst.so")).process(midi=song, tail=0.5)
    assert out.shape[1] == 2 * 44100 + 22050
    assert not out[:, :44100].any() and np.abs(out[:, 44100:46148]).max() > 1e-4


def test_reset_and_streaming_with_a_reverb():
    # MVerb keeps a tail: reset=True must not let it leak into the next call, and a stream fed
    # in chunks with reset=False must equal the whole signal at once.
    p = plughost.load(debian("MVerb-vst.so"), block_size=256)
    x = noise(2, 256 * 40)
    whole = p.process(x)
    assert np.array_equal(p.process(x), whole)
    first = p.process(x[:, :256 * 16])
    rest = p.process(x[:, 256 * 16:], reset=False)
    assert np.array_equal(np.concatenate([first, rest], axis=1), whole)
    tail = p.process(x, tail=0.5)
    assert tail.shape[1] == x.shape[1] + 22050 and np.abs(tail[:, x.shape[1]:]).max() > 0


# Each fault ends the helper, never this interpreter, and names the call the plug-in was in.
@pytest.mark.parametrize("variable, act, error, words", [
    ("FAULTY_CRASH_IN_PROCESS", lambda p: p.process(noise(2, 64)), plughost.PluginCrashed,
     ["SIGSEGV", "processReplacing(64 frames)"]),
    ("FAULTY_ABORT_ON_PARAMETER", lambda p: p.parameters[0].set("0.5"), plughost.PluginCrashed,
     ["SIGABRT", "setParameter"]),
    ("FAULTY_THROW_IN_PROCESS", lambda p: p.process(noise(2, 64)), plughost.PluginCrashed,
     ["out of voices", "processReplacing"]),
    ("FAULTY_HANG", lambda p: p.process(noise(2, 64)), plughost.PluginTimeout,
     ["effMainsChanged"]),
])
def test_isolated_faults(variable, act, error, words):
    p = plughost.load(os.environ[variable], isolated=True, timeout=1)
    with pytest.raises(error) as raised:
        act(p)
    for word in words:
        assert word in str(raised.value)
    assert raised.value.call and raised.value.call in raised.value.cause
    with pytest.raises(plughost.PluginError, match="helper process has ended"):
        p.process(noise(2, 64))
    with plughost.load(TRIMWISE, isolated=True) as again:
        x = noise(2, 1000)
        assert np.array_equal(again.process(x), x)


def test_isolated_matches_in_process():
    x = noise(2, 50000, np.float64)
    local, isolated = plughost.load(TRIMWISE), plughost.load(TRIMWISE, isolated=True)
    for p in (local, isolated):
        p.parameters[0].set("-3 dB")
    assert np.array_equal(local.process(x), isolated.process(x))
    assert isolated.state == local.state


def test_gil_released_while_processing(switch_rarely):
    p = plughost.load(TRIMWISE)
    x = noise(2, 4_000_000)
    started, done = threading.Event(), threading.Event()

    def work():
        started.set()
        p.process(x)
        done.set()

    t = threading.Thread(target=work)
    t.start()
    started.wait()
    # This thread runs again only when the worker gives up the GIL: inside process().
    in_process = not done.is_set()
    t.join()
    assert in_process


def test_one_plugin_shared_by_threads_waits_instead_of_racing():
    # reset=True replaces the instance inside process(); a parameter set from another thread at
    # that moment would reach a closed instance if the calls were not taken one at a time.
    p = plughost.load(TRIMWISE)
    x = noise(2, 8)
    errors = []

    def setter():
        try:
            for i in range(20000):
                p.parameters[i % 2].value = (i % 10) / 10
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    t = threading.Thread(target=setter)
    t.start()
    while t.is_alive():
        p.process(x)
    t.join()
    assert not errors


def test_keyboard_interrupt_between_chunks(switch_rarely):
    p = plughost.load(TRIMWISE)
    x = noise(2, 4_000_000)
    go = threading.Event()

    def interrupt():
        go.wait()
        _thread.interrupt_main()

    threading.Thread(target=interrupt).start()
    go.set()
    # The thread runs again only when this one releases the GIL: inside process().
    with pytest.raises(KeyboardInterrupt):
        p.process(x)
    assert np.array_equal(p.process(x[:, :100]), x[:, :100])


def crashed_plugin():
    p = plughost.load(os.environ["FAULTY_CRASH_IN_PROCESS"], isolated=True)
    with pytest.raises(plughost.PluginCrashed):
        p.process(noise(2, 64))
    return p


def closed_plugin():
    p = plughost.load(TRIMWISE)
    p.close()
    return p


# Every bad input gives a plughost exception with a cause and a hint, never a crash.
@pytest.mark.parametrize("act, error, words", [
    (lambda p: p.process(np.zeros((2, 10), np.int16)), plughost.PluginValueError, "dtype int16"),
    (lambda p: p.process(np.zeros((1, 2, 10), np.float32)), plughost.PluginValueError,
     "3 dimensions"),
    (lambda p: p.process(np.zeros((3, 10), np.float32)), plughost.PluginValueError,
     "has 3 channels"),
    (lambda p: p.parameters["Volume"], plughost.PluginValueError, "Volume"),
    (lambda p: p.parameters[0].set("loud"), plughost.PluginValueError, "loud"),
    (lambda p: p.parameters[0].set("+12 dB"), plughost.PluginValueError, "12"),
    (lambda p: setattr(p.parameters[0], "value", 2.0), plughost.PluginValueError, "range"),
    (lambda p: setattr(p, "state", b"junk"), plughost.PluginValueError, "no state of"),
    (lambda p: setattr(p, "state", plughost.load(debian("MVerb-vst.so")).state),
     plughost.PluginValueError, "no state of"),
    (lambda p: setattr(p, "program", 5), plughost.PluginValueError, "program 5"),
    (lambda p: p.process(midi=[(1.0, b"\x90\x3c\x64"), (0.5, b"\x80\x3c\x00")]),
     plughost.PluginValueError, "comes before"),
    (lambda p: p.process(midi=[(-1.0, b"\x90\x3c\x64")]), plughost.PluginValueError, "-1"),
    (lambda p: p.process(midi="/nonexistent.mid"), plughost.PluginFileError, "nonexistent"),
    (lambda p: closed_plugin().process(np.zeros(4, np.float32)), plughost.PluginClosedError,
     "closed"),
    (lambda p: closed_plugin().parameters, plughost.PluginClosedError, "closed"),
    (lambda p: plughost.load("/nonexistent/Nothing.so"), plughost.PluginLoadError, "Nothing"),
    (lambda p: plughost.load("NoSuchPlugin"), plughost.PluginLoadError, "NoSuchPlugin"),
    (lambda p: pickle.dumps(closed_plugin()), plughost.PluginClosedError, "closed"),
    (lambda p: pickle.dumps(crashed_plugin()), plughost.PluginError, "helper process has ended"),
])
def test_bad_input(act, error, words):
    with plughost.load(TRIMWISE) as p:
        with pytest.raises(error) as raised:
            act(p)
    assert words in raised.value.cause and raised.value.hint


def write_pcm16(path, samples, rate=48000):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(samples.shape[0])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.T.astype("<i2").tobytes())


def read_pcm16(path):
    with wave.open(str(path), "rb") as w:
        frames = np.frombuffer(w.readframes(w.getnframes()), "<i2")
        return frames.reshape(-1, w.getnchannels()).T, w.getframerate()


# process_file streams through the command line's pipeline: 16-bit samples times 1/2 per stage
# are exact, so the file must hold exactly the input divided by 2 (or 4 for two stages).
@pytest.mark.parametrize("isolated, stages", [(False, 1), (True, 1), (False, 2)])
def test_process_file(tmp_path, isolated, stages):
    x = (np.random.default_rng(2).integers(-8000, 8000, (2, 30011)) * 4).astype(np.int16)
    write_pcm16(tmp_path / "in.wav", x)
    plugins = [plughost.load(TRIMWISE, isolated=isolated) for _ in range(stages)]
    for p in plugins:
        p.parameters["left"].set("0.5")
    target = plugins[0] if stages == 1 else plughost.Chain(plugins)
    done = plughost.process_file(target, tmp_path / "in.wav", tmp_path / "out.wav",
                                 encoding="pcm16")
    y, rate = read_pcm16(tmp_path / "out.wav")
    assert done["frames"] == x.shape[1] and rate == 48000 == done["sample_rate"]
    assert np.array_equal(y[0], x[0] // 2 ** stages) and np.array_equal(y[1], x[1])
    with pytest.raises(plughost.PluginFileError):
        plughost.process_file(target, tmp_path / "missing.wav", tmp_path / "out2.wav")
    assert sorted(os.listdir(tmp_path)) == ["in.wav", "out.wav"]


def test_chain_and_scan(tmp_path, monkeypatch):
    first, second = plughost.load(TRIMWISE), plughost.load(TRIMWISE)
    first.parameters[0].value, second.parameters[0].value = 0.5, 0.25
    x = noise(2, 5000)
    out = plughost.Chain([first, second]).process(x)
    assert np.array_equal(out, second.process(first.process(x)))
    os.symlink(TRIMWISE, tmp_path / "Trimwise.so")
    monkeypatch.setenv("VST_PATH", str(tmp_path))
    monkeypatch.setenv("LXVST_PATH", "")
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("PLUGHOST_SYSTEM_PATH", "")
    found = plughost.scan()
    assert [(i.name, i.vendor, i.inputs, i.outputs, i.usable) for i in found] == [
        ("Trimwise", first.vendor, 2, 2, True)]
