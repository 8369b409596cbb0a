"""The Windows build's chain, end to end: a cross-built program under Wine, in the shared prefix, records the
virtual microphone through each of the audio library's Windows host APIs and writes to the C: and D: drives.
Needs CAPTURE_PROBE_BIN (tests/windows/capture_probe.exe) and DICTATE_WINE_PREFIX; run by the Windows
build's ctest."""

import os
import struct
import subprocess
import unittest

from support.driver import finish
from support.harness import MicrophoneCase, binary, find_in_recording, speech, wait_until, wav_samples
from wine import WinePrefix


def raw_samples(path):
    with open(path, "rb") as f:
        data = f.read()
    return list(struct.unpack(f"<{len(data) // 2}h", data[: len(data) // 2 * 2]))


class WineChain(MicrophoneCase):
    def setUp(self):
        super().setUp()
        self.wine = WinePrefix().ensure()
        self.wine.bind(self.scratch)
        self.addCleanup(self.wine.stop)

    def record(self, output, host_api, sound=None):
        """Runs the probe until `sound` has been played into the microphone; returns its status and
        output."""
        proc = self.wine.start([binary("capture-probe"), output, host_api], self.mic.env, cwd=self.scratch.path,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if sound:
            # Both events: the stream runs for the program, and the sound server has it as a recorder.
            first = proc.stdout.readline()
            if not first.startswith(b"recording: "):
                self.fail(first + b"".join(finish(proc)[1:]))
            self.mic.wait_for_recorder(timeout=60)
            self.mic.play(sound)
        status, out, err = finish(proc, timeout=60)
        # The next run must not take this one's stream for its own.
        self.assertTrue(wait_until(lambda: self.mic.recorders() == 0, timeout=30))
        return status, out, err

    def test_every_host_api_records_the_played_sound_onto_the_c_drive(self):
        said = speech("testing one two three", self.mic.dir)
        expected = wav_samples(said)
        # DirectSound hands over its last 10 ms or so only after more audio: half a second of silence after
        # the speech keeps a stop right after playing from cutting it.
        played = os.path.join(self.mic.dir, "speech-then-silence.wav")
        subprocess.run(["sox", said, played, "pad", "0", "0.5"], check=True)
        for api in ("mme", "directsound", "wasapi"):
            with self.subTest(api):
                status, out, err = self.record(f"C:/Whisper/{api}.raw", api, played)
                self.assertEqual(status, 0, err)
                recorded = raw_samples(os.path.join(self.scratch.wav_dir, f"{api}.raw"))
                self.assertGreaterEqual(len(recorded), len(expected), out)
                self.assertIsNotNone(find_in_recording(recorded, expected), f"{api}: played sound not found")

    def test_d_drive_is_the_mapped_folder(self):
        status, _, err = self.record("D:/Whisper/probe.raw", "mme")
        self.assertEqual(status, 0, err)
        self.assertEqual(self.scratch.transcripts(), ["probe.raw"])


if __name__ == "__main__":
    unittest.main()
