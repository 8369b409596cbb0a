"""Storage faults met by the built dictate: the folder of the takes or of the transcripts missing,
read-only, or on a full disk. Each take that meets one is reported in one line naming the file and the
OS's reason, the cycle goes on, and once the fault is mended the next take is written, sent and saved."""

import os
import re
import shutil
import sys
import unittest

from support.fault_case import FaultCase
from support.isolation import NO_MOUNTS, can_mount, fill, isolate, mount_tmpfs, remount, unmount

from support.scripted_server import ScriptedServer, text_reply
from support.harness import read_wav

SPARE_BYTES = 8 * 1024  # room left on a "full" disk for a WAV: far less than a take needs


class Fault:
    """How a folder is broken and mended."""

    def __init__(self, name, reason, needs_mount, brk, mend):
        self.name, self.reason, self.needs_mount, self.brk, self.mend = name, reason, needs_mount, brk, mend


def missing_break(folder, is_wav):
    os.rmdir(folder)


def missing_mend(folder, is_wav):
    os.makedirs(folder)


def read_only_break(folder, is_wav):
    # Root ignores permission bits, so the folder is made read-only as a whole file system.
    mount_tmpfs(folder, "1m", read_only=True)


def read_only_mend(folder, is_wav):
    remount(folder, read_only=False)


def full_break(folder, is_wav):
    mount_tmpfs(folder, "256k")
    # A WAV gets a little room, so a partial file shows up; a transcript gets none.
    fill(folder, SPARE_BYTES if is_wav else 0)


def full_mend(folder, is_wav):
    os.remove(os.path.join(folder, ".filler"))


FAULTS = [
    Fault("missing", "No such file or directory", False, missing_break, missing_mend),
    Fault("read-only", "Read-only file system", True, read_only_break, read_only_mend),
    Fault("full", "No space left on device", True, full_break, full_mend),
]


class Storage(FaultCase):
    def run_fault(self, fault, wav_side):
        folder = self.scratch.wav_dir if wav_side else self.scratch.transcript_dir
        self.addCleanup(unmount, folder)  # before the scratch folder goes (cleanups run in reverse)
        fault.brk(folder, wav_side)
        with ScriptedServer([], default=text_reply("words spoken")) as server:
            session = self.start()
            if fault.name != "full":
                # Told at once, while the first take records, not when it ends.
                session.wait_for(lambda: any(" until then " in m for m in session.messages()), timeout=5,
                                 what="the line about the folder at start")
                self.assertEqual(session.paths(), [])
            self.end_take(session, lambda: len(session.paths()) == 1 and
                          (wav_side or b"words spoken\n" in session.out()))
            requests_after_first = server.count()
            fault.mend(folder, wav_side)
            self.end_take(session, lambda: os.path.exists(self.transcript_path(session.paths()[-1])),
                          what="the take after the mend to be saved")
            status = session.finish()
            return session, status, requests_after_first, server.count()

    def check(self, fault, wav_side):
        session, status, first_requests, requests = self.run_fault(fault, wav_side)
        self.assertEqual(status, 0, session.err()[-3000:])
        first, second, last = session.paths()
        folder = "C:/Whisper" if wav_side else "D:/Whisper"
        # A folder missing or read-only at start is named at once; a full one can't be known full then.
        told_at_start = 0 if fault.name == "full" else 1
        self.assertOneMessage(session, rf"^dictate: the folder {folder} .*; until then ", count=told_at_start)

        if wav_side:
            # The take is kept whole elsewhere, announced there, and sent like any other.
            (spare,) = self.scratch.spare_takes()
            self.assertEqual(first, spare)
            self.assertCompleteWav(first)
            would_be = "C:/Whisper/" + os.path.basename(first)
            in_folder = (r"the file holds (\d+\.\d s|\d+ samples) of the take's \d+\.\d s" if fault.name == "full" else
                         r"none of the take's \d+\.\d s is there")
            self.assertOneMessage(session, rf"^dictate: could not write the recording to {would_be}: "
                                           rf"{fault.reason}; {in_folder}; the whole take is kept instead as "
                                           rf"{re.escape(spare)}$")
            if fault.name == "full":
                # Whatever fitted in the folder is kept there too, under a header that says exactly that.
                header, _, size = read_wav(self.wav_path(would_be))
                self.assertEqual((header["data_size"], header["riff_size"]), (size - 44, size - 8))
                self.assertLessEqual(size, SPARE_BYTES + 4096)
            self.assertEqual(first_requests, 1)
            with open(self.transcript_path(first), "rb") as f:
                self.assertEqual(f.read(), b"words spoken\n")
        else:
            first_text = os.path.basename(self.transcript_path(first))
            self.assertCompleteWav(first)
            self.assertOneMessage(session, rf"^dictate: could not save the text to D:/Whisper/{first_text}: "
                                           rf"{fault.reason}$")
            self.assertEqual(first_requests, 1)
            # The text is shown even though it could not be saved, and no empty file is left behind.
            self.assertIn(first.encode() + b"\nwords spoken\n", session.out())
            self.assertNotIn(first_text, self.scratch.transcripts())
        # Nothing else went wrong for any take, the one end of input closed included.
        self.assertEqual(len(session.messages()), 1 + told_at_start, "\n".join(session.messages()))

        # Mended: the next take and the last one are kept, sent and saved as usual.
        for announced, heard in ((second, True), (last, False)):
            self.assertCompleteWav(announced, heard=heard)
            with open(self.transcript_path(announced), "rb") as f:
                self.assertEqual(f.read(), b"words spoken\n")
        self.assertEqual(requests, 3)


def row(fault, wav_side):
    def test(self):
        if fault.needs_mount and not can_mount():
            self.skipTest(NO_MOUNTS)
        self.check(fault, wav_side)
    test.__doc__ = f"{fault.name} {'take' if wav_side else 'transcript'} folder"
    return test


# One test per row, each with a fresh microphone and scratch folder.
for _fault in FAULTS:
    for _wav_side in (True, False):
        _name = f"test_{_fault.name.replace('-', '_')}_{'take' if _wav_side else 'transcript'}_folder"
        setattr(Storage, _name, row(_fault, _wav_side))


if __name__ == "__main__":
    isolate(sys.argv)
    unittest.main()
