"""The built dictate-enrol recording from the virtual microphone: sentences shown one at a time, a take and
its text per sentence, and a second run that goes on where the first stopped."""

import os
import time
import unittest

from support.driver import Dictate
from support.harness import MicrophoneCase, find_in_recording, read_wav, speech, wav_samples


class Enrolment(MicrophoneCase):
    def enrol(self):
        session = Dictate(self.scratch.path, self.mic.env, program="dictate-enrol")
        self.addCleanup(session.kill)
        return session

    def shown(self, session, place):
        session.wait_for(lambda: f"[{place}/".encode() in session.out(), what=f"sentence {place}")

    def test_records_each_sentence_and_resumes_where_it_stopped(self):
        folder = os.path.join(self.scratch.wav_dir, "enrolment")
        sound = speech("go forward ten meters", self.scratch.path)
        first = self.enrol()
        self.shown(first, 1)
        self.mic.wait_for_recorder()
        self.mic.play(sound)
        time.sleep(0.4)
        first.type(b"\n")
        self.shown(first, 2)
        # An Enter before the sentence's recording has any sound is ignored; a few tenths of a second hold some.
        self.mic.wait_for_recorder()
        time.sleep(0.3)
        first.type(b"\n")
        self.shown(first, 3)
        self.assertEqual(first.finish(), 0, first.err())
        self.assertIn(b"Stopped; 2 of ", first.out())

        self.assertEqual(sorted(os.listdir(folder)),
                         ["prompt-01.txt", "prompt-01.wav", "prompt-02.txt", "prompt-02.wav"])
        header, samples, _ = read_wav(os.path.join(folder, "prompt-01.wav"))
        self.assertEqual((header["rate"], header["channels"], header["bits"]), (48000, 1, 16))
        self.assertIsNotNone(find_in_recording(samples, wav_samples(sound)))
        with open(os.path.join(folder, "prompt-01.txt")) as f:
            sentence = f.read()
        line = first.out().decode().split("[1/", 1)[1].splitlines()[0]
        self.assertEqual(sentence, line.split("] ", 1)[1] + "\n")

        second = self.enrol()
        self.shown(second, 3)
        self.assertEqual(second.finish(), 0, second.err())
        self.assertIn(b"; 2 read already", second.out())
        self.assertNotIn(b"[1/", second.out())
        self.assertEqual(len(os.listdir(folder)), 4)


if __name__ == "__main__":
    unittest.main()
