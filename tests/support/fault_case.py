"""What every fault test starts from: a virtual microphone, a scratch folder laid out as a person has it,
and helpers to run takes and look at what they left."""

import os
import re
import signal
import subprocess
import time
import unittest

from support.harness import MicrophoneCase, next_second, read_wav
from support.driver import Dictate


class FaultCase(MicrophoneCase):
    def setUp(self):
        super().setUp()
        self.voice = self.speak()

    def speak(self):
        """A steady tone into the microphone for the whole test, so that every take holds sound (as a
        person's would) and a silent one stands out. The player keeps half a second queued in the sound
        server, so that on a loaded machine, where it may not run for a few hundred milliseconds, the tone
        goes on instead of turning into silence that the take would record."""
        voice = subprocess.Popen(
            ["sh", "-c", "sox -q -n -t raw -r 48000 -e signed -b 16 -c 1 - synth 3600 sine 440 vol 0.1 | "
                         "pacat --playback --raw --device=vmic --format=s16le --rate=48000 --channels=1 "
                         "--latency-msec=500"],
            env=self.mic.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

        def silence():
            try:
                os.killpg(voice.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            voice.wait()
        self.addCleanup(silence)
        # Every take from here on holds the tone from its first moment.
        self.mic.wait_until_heard()
        return voice

    def start(self, **env):
        """Starts dictate, with `env` added to its environment, and returns once its first take is
        recording."""
        session = Dictate(self.scratch.path, dict(self.mic.env, **env))
        self.addCleanup(session.kill)
        session.wait_for(lambda: session.prompts() == 1, what="the first prompt")
        self.mic.wait_for_recorder()
        return session

    def end_take(self, session, done=None, what="the take to be handled", timeout=20.0):
        """Presses Enter on the take that is recording (in a second of its own, so its files get their own
        names) and waits until the next take records and `done()` holds."""
        takes = session.prompts()
        time.sleep(0.3)  # every take holds some sound, whenever in its second it started
        next_second()
        session.type(b"\n")
        session.wait_for(lambda: session.prompts() == takes + 1 and (done is None or done()), what=what,
                         timeout=timeout)
        self.mic.wait_for_recorder()

    def wav_path(self, announced):
        """The file behind an announced path such as C:/Whisper/<name>."""
        return os.path.join(self.scratch.path, announced)

    def transcript_path(self, announced):
        name = os.path.basename(announced).replace("_output.wav", "_transcription.txt")
        return os.path.join(self.scratch.transcript_dir, name)

    def assertCompleteWav(self, announced, min_seconds=0.0, heard=True):
        """The take is on disk whole; `heard`: it lasted long enough to hold the tone."""
        path = self.wav_path(announced)
        self.assertTrue(os.path.isfile(path), f"the take {announced} was not kept")
        header, samples, size = read_wav(path)
        self.assertEqual((header["riff"], header["wave"], header["data"]), (b"RIFF", b"WAVE", b"data"))
        self.assertEqual(header["data_size"], size - 44, f"{announced} is not complete")
        self.assertGreaterEqual(len(samples) / 48000, min_seconds, announced)
        # The tone is in it, so what was written is the sound that was heard, not zeros.
        if heard:
            self.assertGreater(max(map(abs, samples[: 48000 * 5]), default=0), 1000, announced)
        return samples

    def assertOneMessage(self, session, pattern, count=1):
        """Exactly `count` of the program's messages match `pattern`, each a single readable line."""
        matching = [m for m in session.messages() if re.search(pattern, m)]
        self.assertEqual(len(matching), count, "\n".join(session.messages())[-3000:])
        for m in matching:
            self.assertLess(len(m), 1000, "a message too long to read: " + m[:300] + "...")
        return matching
