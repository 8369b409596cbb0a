"""A take folder that turns against dictate while it runs, met by the built dictate: made unwritable mid-take
(chattr +i), a rename that fails (EIO, injected), and a disk whose every sync takes seconds (injected). No
take is lost: each one's text comes back, its path names the file that holds it, and a slow disk costs no
sound."""

import os
import subprocess
import sys
import time
import unittest

from support.fault_case import FaultCase
from support.isolation import isolate
from support.harness import wait_until
from support.scripted_server import ScriptedServer, text_reply


def injected(**settings):
    """The environment that preloads the storage faults (tests/support/storage_faults.c) with `settings`."""
    env = {"LD_PRELOAD": os.environ["DICTATE_STORAGE_FAULTS"], **{k: str(v) for k, v in settings.items()}}
    # A sanitized dictate accepts a library loaded before the sanitizer's own.
    env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return env


class DiskTrouble(FaultCase):
    def wait_for_recorded(self, seconds):
        self.assertTrue(wait_until(lambda: self.scratch.recorded_seconds() >= seconds, timeout=20),
                        f"the journal never held {seconds} s: {self.scratch.journals()}")

    def check_both_takes_transcribed(self, session, server):
        session.wait_for(lambda: len(self.scratch.transcripts()) == 2, what="both takes' text")
        session.kill()
        self.assertEqual(server.count(), 2)
        for announced in session.paths()[:2]:
            self.assertCompleteWav(announced, heard=False)
            with open(self.transcript_path(announced), "rb") as f:
                self.assertEqual(f.read(), b"still kept\n")

    def transcript_path(self, announced):
        # A take left as its journal is transcribed under the name it would have had.
        name = os.path.basename(announced)
        if "_unfinished_" in name:
            name = name[: name.index("_unfinished_")] + "_output.wav"
        return super().transcript_path(name)

    def test_a_folder_made_unwritable_mid_take_loses_no_take(self):
        if subprocess.run(["chattr", "+i", self.scratch.wav_dir], capture_output=True).returncode != 0:
            self.skipTest("chattr +i is not supported where the scratch folder is")
        subprocess.run(["chattr", "-i", self.scratch.wav_dir], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", self.scratch.wav_dir], check=False)
        with ScriptedServer([], default=text_reply("still kept")) as server:
            session = self.start()
            self.wait_for_recorded(1.0)
            subprocess.run(["chattr", "+i", self.scratch.wav_dir], check=True)
            # The first take can't be given its name; the second can't even have a journal.
            self.end_take(session, lambda: server.count() == 1)
            # The second take records in memory only, so its sound can't be watched for; a few tenths of a
            # second hold some (an Enter before any sound would be ignored).
            self.mic.wait_for_recorder()
            time.sleep(0.3)
            session.type(b"\n")
            self.check_both_takes_transcribed(session, server)
        first, second = session.paths()[:2]
        self.assertEqual(first, "C:/Whisper/" + self.scratch.journals()[0])
        self.assertEqual(self.scratch.spare_takes(), [second])
        self.assertOneMessage(session, rf"^dictate: could not write the recording to C:/Whisper/\S+_output.wav: "
                                       rf"Operation not permitted; the take is kept as {first}$")
        self.assertOneMessage(session, r"^dictate: could not write the recording to C:/Whisper/\S+_output.wav: "
                                       r"Operation not permitted; none of the take's (\d+\.\d s|\d+ samples) is there; the whole "
                                       rf"take is kept instead as {second}$")

    def test_a_rename_that_fails_leaves_the_take_in_its_journal_and_still_transcribes_it(self):
        with ScriptedServer([], default=text_reply("still kept")) as server:
            session = self.start(**injected(DICTATE_FAIL_RENAME=5))
            self.end_take(session, lambda: server.count() == 1)
            # The first take stays a journal with sound in it: wait for the second take's own journal to have
            # some (an Enter before any sound is ignored).
            session.wait_for(lambda: any(os.path.getsize(os.path.join(self.scratch.wav_dir, j)) > 44
                                         for j in self.scratch.journals()
                                         if "C:/Whisper/" + j not in session.paths()),
                             what="sound in the second take")
            session.type(b"\n")
            self.check_both_takes_transcribed(session, server)
        # Both are still journals (a third, of the take the test killed, may be there too).
        self.assertLessEqual(set(session.paths()[:2]), {"C:/Whisper/" + j for j in self.scratch.journals()})
        self.assertOneMessage(session, r"^dictate: could not write the recording to C:/Whisper/\S+_output.wav: "
                                       r"Input/output error; the take is kept as C:/Whisper/\S+_unfinished_\S+$",
                              count=2)

    def test_a_disk_whose_syncs_take_seconds_loses_no_sound(self):
        with ScriptedServer([], default=text_reply("all of it")) as server:
            session = self.start(**injected(DICTATE_SLOW_SYNC_MS=8000))
            began = time.monotonic()
            session.wait_for(lambda: any("the disk is slow" in m for m in session.messages()), timeout=20,
                             what="the line about the slow disk")
            time.sleep(max(0.0, 10.0 - (time.monotonic() - began)))
            ended = time.monotonic()
            session.type(b"\n")
            session.wait_for(lambda: server.count() == 1, timeout=60, what="the upload")
            session.kill()
        (take,) = session.paths()[:1]
        self.assertFalse([m for m in session.messages() if "fell behind" in m], session.messages())
        samples = self.assertCompleteWav(take)
        # Every sound between the prompt and Enter is there; a sync that held up the ring would lose
        # seconds (it holds 5.5 s).
        self.assertGreater(len(samples) / 48000, (ended - began) - 1.0)
        self.assertOneMessage(session, r"^dictate: the disk is slow to store C:/Whisper/\S+: the last \d+\.\d s of "
                                       r"the take are not yet on stable storage \(nothing is lost unless the power "
                                       r"fails\)$")


if __name__ == "__main__":
    isolate(sys.argv)
    unittest.main()
