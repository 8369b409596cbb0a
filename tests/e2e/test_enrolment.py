"""The built dictate-enrol recording from the virtual microphone: sentences shown one at a time, a take and
its text per sentence, and a second run that goes on where the first stopped."""

import os
import signal
import subprocess
import time
import unittest

from support.driver import Dictate
from support.harness import MicrophoneCase, binary, find_in_recording, read_wav, speech, wav_samples


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

    def test_a_run_that_resumes_past_a_gap_counts_what_is_read(self):
        folder = os.path.join(self.scratch.wav_dir, "enrolment")
        os.makedirs(folder)
        for number in (1, 2, 3, 4, 6):  # the fifth pair was removed
            for ext in ("wav", "txt"):
                with open(os.path.join(folder, f"prompt-{number:02d}.{ext}"), "w") as f:
                    f.write("kept\n")
        session = self.enrol()
        self.shown(session, 5)
        self.assertEqual(session.finish(), 0, session.err())
        out = session.out()
        self.assertIn(b"; 5 read already", out)
        self.assertIn(b"Stopped; 5 of ", out)
        self.assertNotIn(b"[6/", out)

    def test_input_closed_or_interrupted_ends_it_at_once_with_the_right_status(self):
        # A standard input closed from the start reads as at its end, as dictate's does: it is not the audio
        # library's own pipe, which would never end.
        started = time.monotonic()
        done = subprocess.run(["sh", "-c", 'exec "$0" <&-', binary("dictate-enrol")], cwd=self.scratch.path,
                              env=self.mic.env, capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr[-3000:])
        self.assertIn(b"[1/", done.stdout)
        self.assertIn(b"Stopped; 0 of ", done.stdout)
        self.assertLess(time.monotonic() - started, 20)
        # Ctrl-C with the end of input right behind it is an interrupt all the same: both are there when the
        # program runs again, whichever it sees first.
        for attempt in range(8):
            with self.subTest(attempt=attempt):
                session = self.enrol()
                self.shown(session, 1)
                session.signal(signal.SIGSTOP)
                session.close_input()
                session.signal(signal.SIGINT)
                session.signal(signal.SIGCONT)
                self.assertEqual(session.wait(), 130, session.err())
                self.assertIn(b"Stopped; 0 of ", session.out())

    def test_a_paused_run_keeps_recording_the_sentence(self):
        session = self.enrol()
        self.shown(session, 1)
        self.mic.wait_for_recorder()
        session.signal(signal.SIGSTOP)
        time.sleep(4.0)  # the fault itself: how long the process does not run
        session.signal(signal.SIGCONT)
        session.wait_for(lambda: session.messages(), what="the line about the pause")
        # The sentence still records: Enter keeps it, and the next one is shown.
        session.type(b"\n")
        self.shown(session, 2)
        self.assertEqual(session.finish(), 0, session.err())
        (line,) = session.messages()
        self.assertRegex(line, r"^dictate: dictate-enrol did not get to run for \d+\.\d s \(stopped and continued, "
                               r"the machine asleep, or the system too busy\); the sentence's recording goes on")
        folder = os.path.join(self.scratch.wav_dir, "enrolment")
        _, samples, _ = read_wav(os.path.join(folder, "prompt-01.wav"))
        self.assertGreater(len(samples), 0)


if __name__ == "__main__":
    unittest.main()
