"""The built dictate recording through the real PortAudio -> ALSA -> PulseAudio stack from a virtual
microphone, driven through pipes as a person would drive it from a console."""

import os
import signal
import subprocess
import sys
import time
import unittest

from support.driver import Dictate, finish, press, start_dictate
from support.harness import (PROMPT, WAV_NAME, MicrophoneCase, binary, find_in_recording, private_network,
                             read_wav, speech, wait_until, wav_samples)


class Recording(MicrophoneCase):
    def setUp(self):
        super().setUp()
        self.sound = speech("go forward ten meters", self.scratch.path)

    def start(self, env=None):
        proc = start_dictate(self.scratch, env or self.mic.env)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        return proc

    def speak(self):
        """Starts dictate and plays the test sound into its first take, which is left recording."""
        proc = self.start()
        self.mic.wait_for_recorder()
        self.mic.play(self.sound)
        self.wait_for_the_sound_in_the_take()
        return proc

    def wait_for_the_sound_in_the_take(self):
        """Waits until the take recording holds the whole test sound (in its journal), as a person presses
        Enter once done speaking: the sound server may still hold its end when the player returns."""
        played = wav_samples(self.sound)

        def holds_it():
            for name in self.scratch.journals():
                _, samples, _ = read_wav(os.path.join(self.scratch.wav_dir, name))
                if find_in_recording(samples, played) is not None:
                    return True
            return False
        self.assertTrue(wait_until(holds_it, timeout=20, step=0.1), "the take never held the whole sound")

    def assert_holds_sound(self, name):
        _, samples, _ = read_wav(os.path.join(self.scratch.wav_dir, name))
        self.assertIsNotNone(find_in_recording(samples, wav_samples(self.sound)), name)

    def take(self, proc, recorders=1):
        """Plays the test sound into a take that is recording and returns the wall time it lasted."""
        self.mic.wait_for_recorder(count=recorders)
        started = time.monotonic()
        self.mic.play(self.sound)
        self.wait_for_the_sound_in_the_take()
        press(proc)
        return time.monotonic() - started

    def test_one_take_holds_the_sound_played(self):
        proc = self.start()
        wall = self.take(proc)
        self.assertTrue(wait_until(lambda: len(self.scratch.wavs()) == 1))
        status, out, err = finish(proc)

        self.assertEqual(status, 0, err)
        names = self.scratch.wavs()
        self.assertEqual(len(names), 2, names)  # the take, and the one that end of input closed
        first = names[0]
        self.assertRegex(first, WAV_NAME)
        self.assertEqual(out, (PROMPT + b"output_path: C:/Whisper/" + first.encode() + b"\n" +
                               PROMPT + b"output_path: C:/Whisper/" + names[1].encode() + b"\n"))

        header, samples, size = read_wav(os.path.join(self.scratch.wav_dir, first))
        self.assertEqual((header["riff"], header["wave"], header["fmt"], header["data"]),
                         (b"RIFF", b"WAVE", b"fmt ", b"data"))
        self.assertEqual((header["fmt_size"], header["format"], header["channels"], header["rate"],
                          header["byte_rate"], header["block_align"], header["bits"]),
                         (16, 1, 1, 48000, 96000, 2, 16))
        self.assertEqual(header["data_size"], size - 44)
        self.assertEqual(header["riff_size"], size - 8)
        seconds = len(samples) / 48000
        self.assertGreater(seconds, wall - 0.5)
        self.assertLess(seconds, wall + 1.0)
        self.assertIsNotNone(find_in_recording(samples, wav_samples(self.sound)),
                             "the recording does not hold the sound that was played")

    def test_each_cycle_writes_its_own_file(self):
        proc = self.start()
        self.take(proc)
        time.sleep(1.1)  # a new second, so the next take has its own name
        self.take(proc, recorders=1)
        self.assertTrue(wait_until(lambda: len(self.scratch.wavs()) == 2))
        status, out, _ = finish(proc)
        self.assertEqual(status, 0)
        self.assertEqual(out.count(PROMPT), 3)
        for name in self.scratch.wavs()[:2]:
            self.assert_holds_sound(name)
            # Each file holds its own take only: the sound once, not the earlier take's audio too.
            _, samples, _ = read_wav(os.path.join(self.scratch.wav_dir, name))
            self.assertLess(len(samples) / 48000, 6.0, name)

    def test_typed_letters_then_enter_end_one_take(self):
        proc = self.speak()
        press(proc, b"ab\n")
        self.assertTrue(wait_until(lambda: len(self.scratch.wavs()) == 1))
        self.mic.wait_for_recorder()
        status, out, _ = finish(proc)
        self.assertEqual(status, 0)
        self.assertEqual(out.count(PROMPT), 2)
        self.assert_holds_sound(self.scratch.wavs()[0])

    def test_end_of_input_keeps_the_take_and_exits_zero(self):
        proc = self.speak()
        status, out, err = finish(proc)
        self.assertEqual(status, 0, err)
        self.assertEqual(out.count(PROMPT), 1)
        names = self.scratch.wavs()
        self.assertEqual(len(names), 1)
        self.assert_holds_sound(names[0])

    def test_interrupt_keeps_the_take_and_exits_130(self):
        proc = self.speak()
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=10)
        status, out, _ = finish(proc)
        self.assertEqual(status, 130)
        names = self.scratch.wavs()
        self.assertEqual(len(names), 1)
        self.assertTrue(out.endswith(b"output_path: C:/Whisper/" + names[0].encode() + b"\n"))
        self.assert_holds_sound(names[0])

    def test_broken_audio_setup_exits_1_with_a_message_and_no_file(self):
        env = dict(self.mic.env)
        env["PULSE_SERVER"] = "unix:" + os.path.join(self.scratch.path, "no-such-socket")
        proc = self.start(env)
        status, out, err = finish(proc)
        self.assertEqual(status, 1)
        self.assertEqual(out, b"")
        self.assertRegex(err.decode(errors="replace"), r"(?m)^dictate: audio: Pa_\w+ failed: .+$")
        self.assertEqual(self.scratch.wavs(), [])

    def test_missing_folder_is_reported_and_the_cycle_goes_on(self):
        os.rmdir(self.scratch.wav_dir)
        session = Dictate(self.scratch.path, self.mic.env)
        self.addCleanup(session.kill)
        for take in range(2):
            self.mic.wait_for_recorder()
            # With no folder there is no journal to watch for the take's sound, and an Enter before any sound
            # is ignored (said once a take): then Enter again, until the take is kept.
            ignored = self.ignored(session)
            session.type(b"\n")
            session.wait_for(lambda: len(session.paths()) > take or self.ignored(session) > ignored,
                             what="the take to end or its Enter to be ignored")
            for _ in range(50):
                if len(session.paths()) > take:
                    break
                time.sleep(0.1)
                session.type(b"\n")
                try:
                    session.wait_for(lambda: len(session.paths()) > take, timeout=5, what="the take's end")
                except AssertionError:
                    pass
        self.mic.wait_for_recorder()
        status = session.finish()
        out, err = session.out(), session.err()
        self.assertEqual(status, 0)
        # Two takes ended by Enter; the one end of input closed counts only if sound reached it, and with no
        # folder there is no journal to wait for that by.
        # Each take is kept whole in the temporary folder instead, and announced there.
        spare = self.scratch.spare_takes()
        self.assertIn(len(spare), (2, 3))
        self.assertEqual(out.count(b"output_path: "), len(spare))
        for path in spare:
            self.assertIn(f"output_path: {path}\n".encode(), out)
        messages = [l for l in err.decode().splitlines() if l.startswith("dictate: ")]
        self.assertTrue(messages[0].startswith("dictate: the folder C:/Whisper does not exist: create it"), err)
        lines = [l for l in messages if l.startswith("dictate: could not write")]
        self.assertEqual(len(lines), len(spare), err)
        self.assertIn(": No such file or directory; ", lines[0])

    @staticmethod
    def ignored(session):
        return sum("ignored Enter" in m for m in session.messages())


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
