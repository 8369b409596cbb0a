"""What the person at the console sees on standard error, with the machine's own ALSA configuration (as a
person would have it) and the virtual microphone's sound server."""

import os
import re
import sys
import time
import unittest

from support.driver import finish, press, start_dictate
from support.harness import MicrophoneCase, next_second, private_network, speech, wait_until

# Lines the audio stack prints by itself: ALSA's probing, JACK's attempts to reach a server.
AUDIO_STACK_NOISE = re.compile(r"(?im)^(ALSA lib|.*jack|Cannot connect to server|.*JackShm)")


class Console(MicrophoneCase):
    def setUp(self):
        super().setUp()
        self.env = dict(self.mic.env)
        del self.env["ALSA_CONFIG_PATH"]  # the system configuration, as a person's machine has it

    def run_take(self, sound=None):
        proc = start_dictate(self.scratch, self.env)
        self.mic.wait_for_recorder()
        if sound:
            self.mic.play(sound)
        time.sleep(0.8)  # long enough for a take to be judged silent or not
        next_second()  # so the closing take has a name of its own, not "_2" after this one's
        press(proc)
        self.assertTrue(wait_until(lambda: len(self.scratch.wavs()) == 1))
        self.mic.wait_for_recorder()
        return finish(proc)

    def test_a_take_shows_no_audio_stack_noise(self):
        status, out, err = self.run_take()
        self.assertEqual(status, 0)
        text = err.decode(errors="replace")
        self.assertIsNone(AUDIO_STACK_NOISE.search(text), text[:2000])
        # Our own lines and the HTTP trace are still there.
        self.assertIn("dictate: could not get the text of this take", text)
        self.assertIn("* ", text)

    def test_unreachable_sound_server_is_one_line_naming_call_and_reason(self):
        self.env["PULSE_SERVER"] = "unix:" + os.path.join(self.scratch.path, "gone")
        proc = start_dictate(self.scratch, self.env)
        status, out, err = finish(proc)
        self.assertEqual(status, 1)
        lines = err.decode(errors="replace").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertRegex(lines[0], r"^dictate: audio: Pa_\w+ failed: \S.*$")

    def test_silent_take_is_warned_about_and_speech_is_not(self):
        _, _, err = self.run_take()
        silent = [l for l in err.decode().splitlines() if " is silent:" in l]
        self.assertEqual(len(silent), 1, err.decode()[-2000:])
        self.assertIn("input device may be the wrong one, or muted (dictate --list-devices shows the others)",
                      silent[0])
        self.assertIn(self.scratch.wavs()[0], silent[0])

        for name in self.scratch.wavs():
            os.remove(os.path.join(self.scratch.wav_dir, name))
        _, _, err = self.run_take(speech("this take has speech in it", self.scratch.path))
        self.assertNotIn(" is silent:", err.decode())


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
