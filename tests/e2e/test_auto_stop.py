"""dictate --auto-stop through the real audio stack: a take ends by itself once its speech has paused, and the
next take starts."""

import os
import sys
import time
import unittest

from support.driver import Dictate
from support.harness import PROMPT, MicrophoneCase, find_in_recording, private_network, read_wav, speech, \
    wav_samples

PAUSE = 1.5
RATE = 48000
# A level any sample of the pause stays below: the virtual microphone is silent between the words, and the
# speech the program hears is at least -40 dBFS, with half a decibel to spare.
SPEECH_LEVEL = 350


class AutoStop(MicrophoneCase):
    def test_takes_end_after_their_speech_pauses_and_the_next_one_starts(self):
        session = Dictate(self.scratch.path, self.mic.env, args=("--auto-stop", str(PAUSE)))
        self.addCleanup(session.kill)
        words = [speech("go forward ten meters", self.scratch.path), speech("turn left", self.scratch.path)]
        for take, sound in enumerate(words):
            self.mic.wait_for_recorder()
            session.wait_for(lambda: session.prompts() > take, what=f"take {take + 1}'s prompt")
            self.mic.play(sound)
            played = time.monotonic()
            session.wait_for(lambda: len(session.paths()) > take, what=f"take {take + 1} to end by itself")
            announced = time.monotonic() - played
            _, recorded, _ = read_wav(os.path.join(self.scratch.path, session.paths()[take]))
            self.assertIsNotNone(find_in_recording(recorded, wav_samples(sound)), "the take lacks its speech")
            last_word = max(i for i, s in enumerate(recorded) if abs(s) >= SPEECH_LEVEL)
            tail = (len(recorded) - 1 - last_word) / RATE
            print(f"take {take + 1}: ended {tail:.3f} s after its last word in the take, announced {announced:.3f} s "
                  "after the player returned", file=sys.stderr)
            self.assertGreaterEqual(tail, PAUSE)
            # The pause is counted in the take's own samples: only the main thread's last turn comes after.
            self.assertLess(tail, PAUSE + 1.0)
        # The take after them has no speech: it records on until input ends.
        session.wait_for(lambda: session.prompts() == 3, what="the third take's prompt")
        self.assertEqual(session.finish(), 0)
        out = session.out()
        # Each take that ended by itself ended its prompt's row, as an Enter would have.
        self.assertEqual(out.count(PROMPT + b"\noutput_path: "), 2, out)
        self.assertEqual(len(session.paths()), 3, out)


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
