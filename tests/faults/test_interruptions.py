"""Ways a take ends other than Enter, met by the built dictate: Ctrl-C or SIGTERM while recording (one
during the upload stops it: see test_server.py), a second one, end of input during an upload, keys typed in
pieces, and the audio device vanishing mid-take. Whatever ends it, the take is on disk and the exit status
says why."""

import json
import os
import signal
import sys
import time
import unittest

from support.fault_case import FaultCase
from support.harness import wait_until
from support.isolation import isolate

from support.scripted_server import ScriptedServer, Reply, text_reply

SLOW = 2.0  # seconds the server takes to answer, long enough to be interrupted in


def slow_text(text, delay=SLOW):
    return Reply(json.dumps({"text": text}), delay=delay)


# (what happens, signal, when it arrives, exit status)
INTERRUPTS = [
    ("Ctrl-C while recording", signal.SIGINT, "recording", 130),
    ("SIGTERM while recording", signal.SIGTERM, "recording", 143),
    ("SIGHUP while recording", signal.SIGHUP, "recording", 129),
]


class Interruptions(FaultCase):
    def test_an_interrupt_finishes_the_take_then_ends_the_program(self):
        for name, number, when, expected in INTERRUPTS:
            with self.subTest(name):
                self.fresh()
                with ScriptedServer([slow_text("kept after all")], default=Reply(hang_up=True)) as server:
                    session = self.start()
                    time.sleep(0.5)
                    session.signal(number)
                    status = session.wait(timeout=SLOW + 15)
                    self.assertEqual(server.count(), 1)
                self.assertEqual(status, expected, session.err()[-3000:])
                # The take was kept, transcribed and saved, and no new take began.
                paths = session.paths()
                self.assertEqual(len(paths), 1)
                self.assertEqual(session.prompts(), 1)
                self.assertCompleteWav(paths[0], min_seconds=0.4)
                with open(self.transcript_path(paths[0]), "rb") as f:
                    self.assertEqual(f.read(), b"kept after all\n")
                self.assertEqual(session.messages(), [])

    def fresh(self):
        # Each row starts from a fresh microphone and scratch folder.
        self.doCleanups()
        self.setUp()

    def test_a_second_interrupt_ends_the_program_at_once_with_the_take_on_disk(self):
        with ScriptedServer([slow_text("never shown", delay=6)], default=Reply(hang_up=True)) as server:
            session = self.start()
            time.sleep(0.5)
            session.signal(signal.SIGINT)
            session.wait_for(lambda: server.count() == 1, what="the upload")
            second = time.monotonic()
            session.signal(signal.SIGINT)
            status = session.wait(timeout=10)
            self.assertLess(time.monotonic() - second, 3.0)
        self.assertEqual(status, -signal.SIGINT)
        (path,) = session.paths()
        self.assertCompleteWav(path, min_seconds=0.4)
        self.assertFalse(os.path.exists(self.transcript_path(path)))

    def test_end_of_input_during_the_upload_still_saves_the_text(self):
        with ScriptedServer([slow_text("first take"), slow_text("closing take", delay=0)]) as server:
            session = self.start()
            time.sleep(0.5)
            session.type(b"\n")
            session.wait_for(lambda: server.count() == 1, what="the upload")
            session.close_input()
            status = session.wait(timeout=SLOW + 15)
            # The take after it begins with input already ended, before any sound: no take, no upload.
            self.assertEqual(server.count(), 1)
        self.assertEqual(status, 0, session.err()[-3000:])
        (first,) = session.paths()
        self.assertEqual(session.prompts(), 2)
        self.assertCompleteWav(first, min_seconds=0.4)
        with open(self.transcript_path(first), "rb") as f:
            self.assertEqual(f.read(), b"first take\n")
        self.assertEqual(self.scratch.wavs(), [os.path.basename(first)])
        self.assertEqual(self.scratch.journals(), [])

    def test_keys_typed_in_pieces(self):
        # (keystrokes as written, with pauses between them; takes in all; each take at least this long: the
        # first take spans the pause, and the half second before the first key is left as the margin that a
        # loaded machine's late first samples take from it)
        rows = [
            ("letters, a pause, then Enter", [b"a", 1.0, b"b\n"], 2, [1.0]),
            ("letters then end of input", [b"ab"], 1, [0.3]),
        ]
        for name, keys, takes, shortest in rows:
            with self.subTest(name):
                self.fresh()
                with ScriptedServer([], default=Reply(hang_up=True)):
                    session = self.start()
                    # Longer than the shortest take checked below: the recorder appears a moment before
                    # the first samples arrive, so a bound equal to the pause would fail by a millisecond.
                    time.sleep(0.5)
                    for k in keys:
                        if isinstance(k, float):
                            time.sleep(k)
                            # A letter alone does not end the take: nothing is written yet.
                            self.assertEqual(session.paths(), [])
                        else:
                            session.type(k)
                    # The take after the last Enter records before input ends.
                    session.wait_for(lambda: session.prompts() == takes, what="the last take")
                    status = session.finish()
                self.assertEqual(status, 0)
                paths = session.paths()
                self.assertEqual(len(paths), takes)
                self.assertEqual(session.prompts(), takes)
                for path, seconds in zip(paths, shortest):
                    self.assertCompleteWav(path, min_seconds=seconds)

    def test_device_lost_mid_take_keeps_what_was_heard_and_exits_1(self):
        with ScriptedServer([text_reply("heard before the loss")], default=Reply(hang_up=True)):
            session = self.start()
            time.sleep(1.0)
            lost = time.monotonic()
            self.mic.stop_daemon()
            noticed, samples = self.assertEndsForTheDevice(session, lost, timeout=15, text="heard before the loss")
        self.assertLess(noticed, 5.0)
        self.assertLess(len(samples) / 48000, 1.0 + noticed + 0.5)

    def assertEndsForTheDevice(self, session, since, timeout, text):
        """The program exits 1 with the one line about the device, keeps the take and saves its `text`;
        returns how long after `since` it ended, and the take's samples."""
        status = session.wait(timeout=timeout)
        noticed = time.monotonic() - since
        self.assertEqual(status, 1, session.err()[-3000:])
        (path,) = session.paths()
        self.assertEqual(session.messages(),
                         [f"dictate: audio: the input device stopped delivering sound; the take so far is in "
                          f"{path}"])
        self.assertIn(text.encode() + b"\n", session.out())
        with open(self.transcript_path(path), "rb") as f:
            self.assertEqual(f.read(), text.encode() + b"\n")
        return noticed, self.assertCompleteWav(path, min_seconds=0.8)

    def hang_device(self):
        """Freezes the sound server: the device neither delivers sound nor goes away."""
        self.mic.daemon.send_signal(signal.SIGSTOP)
        self.addCleanup(lambda: self.mic.daemon.poll() is None
                        and self.mic.daemon.send_signal(signal.SIGCONT))

    def test_device_that_hangs_mid_take_keeps_what_was_heard_and_exits_1(self):
        with ScriptedServer([text_reply("heard before the hang")], default=Reply(hang_up=True)):
            session = self.start()
            time.sleep(1.0)
            hung = time.monotonic()
            self.hang_device()
            noticed, samples = self.assertEndsForTheDevice(session, hung, timeout=20, text="heard before the hang")
        # About three seconds without sound is what tells a hung device from a slow one.
        self.assertGreater(noticed, 2.5)
        self.assertLess(noticed, 8.0)
        self.assertLess(len(samples) / 48000, 2.0)

    def test_a_paused_process_keeps_recording_the_take_and_says_so_once_each_time(self):
        # Stopped and continued, as a laptop that sleeps or a virtual machine that is paused leaves it: the
        # device did not fail, so the take goes on and gets its text; only the pause is told.
        pauses, frozen = 3, 4.0
        with ScriptedServer([text_reply("heard across the pauses")], default=Reply(hang_up=True)) as server:
            session = self.start()
            for pause in range(pauses):
                heard = self.scratch.recorded_seconds()
                self.assertTrue(wait_until(lambda: self.scratch.recorded_seconds() > heard + 0.5),
                                "the take records before the pause")
                session.signal(signal.SIGSTOP)
                time.sleep(frozen)  # the fault itself: how long the process does not run
                session.signal(signal.SIGCONT)
                # Told before the next pause comes, so that each is told on its own.
                session.wait_for(lambda: len(session.messages()) > pause,
                                 what=f"the line about pause {pause + 1}")
            heard = self.scratch.recorded_seconds()
            self.assertTrue(wait_until(lambda: self.scratch.recorded_seconds() > heard + 1.0),
                            "the take records after the last pause:\n" + session.err().decode()[-3000:])
            session.type(b"\n")
            session.wait_for(lambda: b"heard across the pauses\n" in session.out(), what="the take's text")
            self.assertEqual(server.count(), 1)
            self.assertEqual(session.finish(), 0, session.err()[-3000:])
        path = session.paths()[0]
        # At least what was heard while it ran; what the sound server kept of the pauses comes on top.
        self.assertCompleteWav(path, min_seconds=pauses * 0.5 + 1.0)
        told = self.assertOneMessage(session, r"^dictate: dictate did not get to run for \d+\.\d s \(stopped and "
                                              r"continued, the machine asleep, or the system too busy\); the take "
                                              r"goes on", count=pauses)
        for line in told:
            self.assertGreaterEqual(float(line.split(" for ", 1)[1].split(" s", 1)[0]), frozen - 0.5, line)

    def test_enter_while_the_device_hangs_still_writes_and_transcribes_the_take(self):
        with ScriptedServer([], default=text_reply("heard before the hang")):
            session = self.start()
            time.sleep(1.0)
            self.hang_device()
            time.sleep(0.5)
            session.type(b"\n")
            # The take reaches the disk, and its text the screen, while the device still hangs...
            session.wait_for(lambda: b"heard before the hang\n" in session.out(), timeout=10,
                             what="the take's text")
            self.assertCompleteWav(session.paths()[0], min_seconds=0.8)
            # ...and once it answers again, the cycle goes on as usual.
            self.mic.daemon.send_signal(signal.SIGCONT)
            session.wait_for(lambda: session.prompts() == 2, what="the next take")
            self.mic.wait_for_recorder()
            self.assertEqual(session.finish(), 0, session.err()[-3000:])
        self.assertEqual(len(session.paths()), 2)


if __name__ == "__main__":
    isolate(sys.argv)
    unittest.main()
