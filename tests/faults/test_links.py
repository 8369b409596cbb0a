"""Links planted where dictate writes, met by the built dictate: a link named like the transcript a take is
about to get (planted while the take uploads, pointing at a file or at nothing), and links named like the
journal of an earlier run's take. Nothing outside the folders changes, and every take's text is kept."""

import json
import os
import sys
import time
import unittest

from support.fault_case import FaultCase
from support.isolation import isolate
from support.harness import next_second, read_wav
from support.scripted_server import Reply, ScriptedServer, text_reply

A_JOURNAL = "06-12-2026_07-08-15_unfinished_999999.wav"


def journal_bytes(seconds):
    """An earlier run's journal as a crash left it: header and samples, the header's sizes out of date."""
    import struct
    samples = int(48000 * seconds)
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36, b"WAVE", b"fmt ", 16, 1, 1, 48000, 96000, 2, 16,
                         b"data", 0)
    return header + b"\x10\x00" * samples + b"\x07"


class Links(FaultCase):
    def outside(self, name, content=None):
        """A file outside both folders, as a link's target."""
        path = os.path.join(self.scratch.path, name)
        if content is not None:
            with open(path, "wb") as f:
                f.write(content)
        return path

    def test_a_link_planted_as_the_transcript_is_never_followed(self):
        victim = self.outside("victim.txt", b"someone else's file\n")
        nowhere = self.outside("made-through-a-dangling-link.txt")
        slow = Reply(json.dumps({"text": "words kept"}), delay=1.0)
        with ScriptedServer([slow, slow], default=text_reply("words kept")) as server:
            session = self.start()
            for n, target in enumerate((victim, nowhere), start=1):
                time.sleep(0.3)
                next_second()
                session.type(b"\n")
                # Planted while the take uploads, after its name was claimed.
                session.wait_for(lambda: server.count() == n, what=f"upload {n}")
                os.symlink(target, self.transcript_path(session.paths()[-1]))
                session.wait_for(lambda: session.prompts() == n + 1, what=f"take {n + 1}")
                self.mic.wait_for_recorder()
            session.wait_for(lambda: len(self.scratch.transcripts()) == 4, what="both texts")
            self.assertEqual(session.finish(), 0, session.err()[-3000:])
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"someone else's file\n")
        self.assertFalse(os.path.lexists(nowhere))
        for announced in session.paths()[:2]:
            planted = self.transcript_path(announced)
            self.assertTrue(os.path.islink(planted))
            with open(planted.replace("_transcription.txt", "_2_transcription.txt"), "rb") as f:
                self.assertEqual(f.read(), b"words kept\n")
        self.assertEqual(session.messages(), [])

    def test_links_named_like_a_journal_are_left_alone_and_named(self):
        rows = [("symbolic link", os.symlink, "it is a link, and links are never followed"),
                ("hard link", os.link, r"the file has other names too \(hard links\), so it may belong elsewhere")]
        for kind, make, reason in rows:
            with self.subTest(kind):
                target = self.outside(f"outside-{kind[0]}.wav", journal_bytes(1.5))
                journal = os.path.join(self.scratch.wav_dir, A_JOURNAL)
                make(target, journal)
                with ScriptedServer([], default=text_reply("this run's take")) as server:
                    session = self.start()
                    self.assertOneMessage(session, rf"^dictate: could not recover the unfinished take "
                                                   rf"C:/Whisper/{A_JOURNAL}: {reason}; it is left in place$")
                    # The planted journal already holds sound, so wait for this run's own take to have some
                    # before input ends: a take without sound is dropped.
                    session.wait_for(lambda: any(os.path.getsize(os.path.join(self.scratch.wav_dir, j)) > 44
                                                 for j in self.scratch.journals() if j != A_JOURNAL),
                                     what="sound in this run's take")
                    self.assertEqual(session.finish(), 0, session.err()[-3000:])
                    self.assertEqual(server.count(), 1)  # the take of this run only
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), journal_bytes(1.5))
                self.assertEqual(os.path.islink(journal), kind == "symbolic link")
                self.assertEqual(self.scratch.journals(), [A_JOURNAL])
                os.remove(journal)
                for name in self.scratch.wavs():
                    self.assertGreater(len(read_wav(os.path.join(self.scratch.wav_dir, name))[1]), 0)
                    os.remove(os.path.join(self.scratch.wav_dir, name))


if __name__ == "__main__":
    isolate(sys.argv)
    unittest.main()
