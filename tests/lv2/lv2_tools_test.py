#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The built LV2 bundles through Debian's LV2 tools, as a user of an LV2 host would meet them:
lv2_validate and the project's own port checks over every bundle (and the checks shown failing
on deliberately broken copies), lv2info's listing of Trimwise, and lv2apply's output compared
sample for sample with input x gain.

    lv2_tools_test.py <folder of bundles>[:<folder>...] <Trimwise URI>
"""
import array
import os
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BUNDLES = sys.argv[1] if len(sys.argv) > 1 else ""
URI = sys.argv[2] if len(sys.argv) > 2 else ""
ENV = dict(os.environ, LV2_PATH=f"{BUNDLES}:/usr/lib/lv2")
FOLDERS = BUNDLES.split(":")


def ttl_files():
    return sorted(os.path.join(d, b, f) for d in FOLDERS for b in os.listdir(d)
                  for f in os.listdir(os.path.join(d, b)) if f.endswith(".ttl"))


def run(*args):
    return subprocess.run(args, env=ENV, capture_output=True, text=True)


def write_float_wav(path, channels, frames):
    """32-bit float WAV, interleaved."""
    data = array.array("f", [s for frame in zip(*channels) for s in frame]).tobytes()
    fmt = struct.pack("<HHIIHH", 3, len(channels), 48000, 48000 * 4 * len(channels),
                      4 * len(channels), 32)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def read_float_wav(path):
    """Samples of the data chunk by channel; the file must be 32-bit float."""
    with open(path, "rb") as f:
        raw = f.read()
    pos, channels, samples = 12, 0, None
    while pos + 8 <= len(raw):
        tag, size = raw[pos:pos + 4], struct.unpack("<I", raw[pos + 4:pos + 8])[0]
        body = raw[pos + 8:pos + 8 + size]
        if tag == b"fmt ":
            kind, channels = struct.unpack("<HH", body[:4])
            bits = struct.unpack("<H", body[14:16])[0]
            ext_float = kind == 0xFFFE and body[24:26] == b"\x03\x00"
            assert (kind == 3 or ext_float) and bits == 32, "output is not 32-bit float"
        elif tag == b"data":
            samples = array.array("f")
            samples.frombytes(body)
        pos += 8 + size + (size & 1)
    return [samples[c::channels] for c in range(channels)]


class Validation(unittest.TestCase):
    def test_lv2_validate_passes_over_every_bundle(self):
        result = run("lv2_validate", *ttl_files())
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("Found 0 errors", result.stdout + result.stderr)

    def test_port_checks_pass_and_catch_broken_descriptions(self):
        check = [sys.executable, os.path.join(HERE, "check_ports.py")]
        self.assertEqual(run(*check, *ttl_files()).returncode, 0)
        ttl = os.path.join(FOLDERS[0], "Trimwise.lv2", "Trimwise.ttl")
        with open(ttl) as f:
            good = f.read()
        broken = {
            "gap": good.replace("lv2:index 6 ;", "lv2:index 7 ;"),
            "duplicate": good.replace("lv2:index 5 ;", "lv2:index 4 ;"),
            "default outside its range": good.replace("lv2:default 1.0 ;", "lv2:default 1.5 ;", 1),
        }
        for fault, text in broken.items():
            with self.subTest(fault=fault):
                self.assertNotEqual(text, good)
                with tempfile.NamedTemporaryFile("w", suffix=".ttl") as f:
                    f.write(text)
                    f.flush()
                    result = run(*check, f.name)
                self.assertEqual(result.returncode, 1, fault)
                self.assertIn("indices" if fault != "default outside its range" else "default",
                              result.stderr)


class Listing(unittest.TestCase):
    def test_lv2info_shows_trimwise_ports(self):
        result = run("lv2info", URI)
        self.assertEqual(result.returncode, 0, result.stderr)
        ports = result.stdout.split("\tPort ")[1:]
        kinds = [(("Input" if "InputPort" in p else "Output"),
                  ("Audio" if "AudioPort" in p else "Control")) for p in ports]
        self.assertEqual(kinds, [("Input", "Audio")] * 2 + [("Output", "Audio")] * 2 +
                         [("Input", "Control")] * 2 + [("Output", "Control")])
        self.assertIn("Name:        Left Gain", ports[4])
        self.assertIn("Name:        Right Gain", ports[5])
        self.assertIn("lv2core#latency", ports[6])


class Apply(unittest.TestCase):
    def test_lv2apply_output_is_input_times_gain(self):
        frames = 3000
        left = [((i * 7919) % 2001 - 1000) / 999.0 for i in range(frames)]
        right = [((i * 104729) % 4001 - 2000) / 1777.0 for i in range(frames)]
        left[:4] = [1e-38, -0.0, 3.4e38, 1.0]  # a denormal product, a signed zero, the top
        gains = {"left_gain": 0.5011872336272722, "right_gain": 0.1}
        with tempfile.TemporaryDirectory() as tmp:
            src, dst = os.path.join(tmp, "in.wav"), os.path.join(tmp, "out.wav")
            write_float_wav(src, [left, right], frames)
            args = ["lv2apply", "-i", src, "-o", dst]
            for symbol, gain in gains.items():
                args += ["-c", symbol, repr(gain)]
            result = run(*args, URI)
            self.assertEqual(result.returncode, 0, result.stderr)
            out = read_float_wav(dst)
        inputs = read_float_wav_input([left, right])
        for channel, (symbol, gain) in enumerate(gains.items()):
            g = array.array("f", [gain])[0]  # the port is 32-bit
            want = array.array("f", [x * g for x in inputs[channel]])
            self.assertEqual(out[channel].tobytes(), want.tobytes(), f"channel {channel}")


def read_float_wav_input(channels):
    """The input as the file holds it: rounded to 32 bits."""
    return [array.array("f", c) for c in channels]


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
