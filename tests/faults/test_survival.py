"""What a take survives, met by the built dictate: kill -9 mid-take (the next start recovers it, while a
second dictate in the same folder leaves a live one's journal alone), a terminal that closes (SIGHUP, with
output going nowhere), takes begun within one second, and a disk that fills mid-take."""

import os
import signal
import subprocess
import sys
import time
import unittest
import wave

from support.fault_case import FaultCase
from support.isolation import NO_MOUNTS, can_mount, fill, isolate, mount_tmpfs, unmount
from support.driver import Dictate, wait_for_sound

from support.scripted_server import ScriptedServer, text_reply
from support.harness import binary, next_second, read_wav, wait_until


class Survival(FaultCase):
    def wait_for_recorded(self, seconds, what):
        self.assertTrue(wait_until(lambda: self.scratch.recorded_seconds() >= seconds, timeout=20),
                        f"the journal never held {what}: {self.scratch.journals()}")

    def assertTruthfulFiles(self):
        """Every file in the take folder is a WAV whose header states exactly the samples it holds."""
        for name in os.listdir(self.scratch.wav_dir):
            header, samples, size = read_wav(os.path.join(self.scratch.wav_dir, name))
            self.assertGreater(size, 44, f"{name} holds no sound")
            self.assertEqual((header["riff"], header["data"]), (b"RIFF", b"data"), name)
            self.assertEqual((header["data_size"], header["riff_size"]), (size - 44, size - 8), name)

    def test_kill_9_mid_take_and_the_next_start_recovers_it(self):
        with ScriptedServer([], default=text_reply("recovered words")):
            killed = self.start()
            self.wait_for_recorded(3.0, "3 s of the take")
            os.kill(killed.pid, signal.SIGKILL)
            killed.wait()
            (journal,) = self.scratch.journals()

            # Another dictate starting in the same folder recovers it before its first prompt.
            session = Dictate(self.scratch.path, self.mic.env)
            self.addCleanup(session.kill)
            session.wait_for(lambda: session.prompts() == 1, what="the first prompt after the recovery")
            (recovered,) = session.paths()
            self.assertOneMessage(session, rf"^dictate: recovered the unfinished take of an earlier run as "
                                           rf"{recovered} \(\d+\.\d s\)$")
            self.assertTrue(session.out().startswith(f"output_path: {recovered}\nrecovered words\n".encode()))
            self.assertNotIn(journal, self.scratch.journals())
            samples = self.assertCompleteWav(recovered, min_seconds=2.5)
            self.assertLess(len(samples) / 48000, 5.0)
            with open(self.transcript_path(recovered), "rb") as f:
                self.assertEqual(f.read(), b"recovered words\n")

            # A third one in the same folder leaves the live take's journal alone.
            self.mic.wait_for_recorder()
            self.wait_for_recorded(0.2, "the live take's sound")
            live = self.scratch.journals()
            bystander = Dictate(self.scratch.path, self.mic.env)
            self.addCleanup(bystander.kill)
            bystander.wait_for(lambda: bystander.prompts() == 1, what="the bystander's prompt")
            self.assertEqual(bystander.messages(), [])
            self.assertEqual(bystander.paths(), [])
            self.assertTrue(set(live) <= set(self.scratch.journals()))
            self.assertEqual(bystander.finish(), 0)
            self.assertEqual(session.finish(), 0, session.err()[-3000:])
        self.assertEqual(self.scratch.journals(), [])

    def test_recovery_says_what_it_found(self):
        # A journal of 478 samples, too short to give in tenths of a second, and a file named as a journal
        # that is a valid WAV of another format.
        short = os.path.join(self.scratch.wav_dir, "06-12-2026_07-08-15_unfinished_1.wav")
        other = os.path.join(self.scratch.wav_dir, "06-12-2026_07-08-16_unfinished_2.wav")
        for path, rate, frames in ((short, 48000, 478), (other, 22050, 22050)):
            with wave.open(path, "wb") as w:
                w.setnchannels(1)
                w.setsampwidth(2)
                w.setframerate(rate)
                w.writeframes(b"\x10\x00" * frames)
        with ScriptedServer([], default=text_reply("short")):
            session = self.start()
            self.assertEqual(session.finish(), 0, session.err()[-3000:])
        recovered = "C:/Whisper/06-12-2026_07-08-15_output.wav"
        self.assertOneMessage(session, rf"^dictate: recovered the unfinished take of an earlier run as "
                                       rf"{recovered} \(478 samples\)$")
        self.assertOneMessage(session, r"^dictate: could not recover the unfinished take "
                                       r"C:/Whisper/06-12-2026_07-08-16_unfinished_2\.wav: it is a WAV file of "
                                       r"22050 Hz, 1 channel\(s\), 16 bits \(format 1\), not one this program "
                                       r"records \(48000 Hz, 1 channel, 16 bits, format 1\); it is left in place$")
        self.assertTrue(os.path.exists(other))

    def test_a_closed_terminal_finishes_writes_and_transcribes_the_take(self):
        with ScriptedServer([], default=text_reply("kept after the hangup")) as server:
            proc = subprocess.Popen([binary("dictate")], cwd=self.scratch.path, env=self.mic.env,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
            self.mic.wait_for_recorder()
            self.wait_for_recorded(0.5, "half a second")
            # The terminal is gone: whatever dictate prints now fails (EPIPE), which must not stop it.
            proc.stdout.close()
            proc.send_signal(signal.SIGHUP)
            status = proc.wait(timeout=20)
            err = proc.stderr.read().decode(errors="replace")
            self.assertEqual(server.count(), 1)
        self.assertEqual(status, 129, err[-3000:])
        (wav,) = self.scratch.wavs()
        self.assertCompleteWav(os.path.join("C:", "Whisper", wav), min_seconds=0.5)
        (text,) = self.scratch.transcripts()
        with open(os.path.join(self.scratch.transcript_dir, text), "rb") as f:
            self.assertEqual(f.read(), b"kept after the hangup\n")
        self.assertEqual(text, wav.replace("_output.wav", "_transcription.txt"))

    def test_three_takes_in_one_second_keep_three_files_each(self):
        with ScriptedServer([], default=text_reply("one of three")):
            session = self.start()
            self.wait_for_recorded(0.2, "the first take's sound")
            next_second()
            # Each Enter once its take has sound (one before any sound is ignored): a few tenths of a second.
            for n in range(3):
                wait_for_sound(self.scratch, session.proc)
                session.type(b"\n")
                session.wait_for(lambda: session.prompts() == n + 2, what=f"take {n + 2}")
            session.wait_for(lambda: len(self.scratch.transcripts()) == 3, what="three transcripts")
            self.assertEqual(session.finish(), 0, session.err()[-3000:])
        paths = session.paths()[:3]
        self.assertEqual(len(set(paths)), 3, paths)
        stems = [os.path.basename(p)[: -len("_output.wav")] for p in paths]
        if len({s[:19] for s in stems}) == 1:  # begun in one second, as they nearly always are
            self.assertEqual(stems[1:], [stems[0] + "_2", stems[0] + "_3"])
        for path in paths:
            self.assertTrue(os.path.isfile(self.wav_path(path)), path)
            with open(self.transcript_path(path), "rb") as f:
                self.assertEqual(f.read(), b"one of three\n")

    def test_a_disk_that_fills_mid_take_leaves_only_truthful_files_and_loses_no_take(self):
        if not can_mount():
            self.skipTest(NO_MOUNTS)
        self.addCleanup(unmount, self.scratch.wav_dir)
        mount_tmpfs(self.scratch.wav_dir, "100k")
        with ScriptedServer([], default=text_reply("the whole take")) as server:
            session = self.start()
            # About a second of sound fills the disk; the journal keeps what fitted, truthfully, and the rest
            # of the take is kept in memory.
            self.wait_for_recorded(1.05, "a disk's worth of sound")
            self.assertTruthfulFiles()
            time.sleep(1.0)
            session.type(b"\n")
            session.wait_for(lambda: len(self.scratch.transcripts()) == 1, what="the first take's text")
            # The next take finds the disk full from its start: its sound, in memory only, can't be watched
            # for, but a few tenths of a second hold some.
            self.mic.wait_for_recorder()
            time.sleep(0.3)
            session.type(b"\n")
            session.wait_for(lambda: len(self.scratch.transcripts()) == 2, what="the second take's text")
            session.kill()
            self.assertEqual(server.count(), 2)
        first, second = session.paths()[:2]
        self.assertEqual(self.scratch.spare_takes(), [first, second])
        in_folder = "C:/Whisper/" + os.path.basename(first)
        self.assertOneMessage(session, rf"^dictate: could not write the recording to {in_folder}: No space left "
                                       rf"on device; the file holds 1\.\d s of the take's \d+\.\d s; the whole "
                                       rf"take is kept instead as {first}$")
        self.assertOneMessage(session, rf"^dictate: could not write the recording to C:/Whisper/\S+: No space left"
                                       rf" on device; none of the take's \d+\.\d s is there; the whole take is "
                                       rf"kept instead as {second}$")
        self.assertTruthfulFiles()
        self.assertEqual(self.scratch.wavs(), [os.path.basename(first)])
        # The copy holds the whole take: more than the folder could, and every bit of what it did.
        whole = self.assertCompleteWav(first, min_seconds=2.0)
        _, part, _ = read_wav(self.wav_path(in_folder))
        self.assertEqual(whole[: len(part)], part)
        for path in (first, second):
            with open(self.transcript_path(path), "rb") as f:
                self.assertEqual(f.read(), b"the whole take\n")

    def test_a_journal_that_stops_mid_take_is_joined_with_the_rest_when_room_comes_back(self):
        if not can_mount():
            self.skipTest(NO_MOUNTS)
        self.addCleanup(unmount, self.scratch.wav_dir)
        mount_tmpfs(self.scratch.wav_dir, "256k")
        fill(self.scratch.wav_dir, 64 * 1024)
        with ScriptedServer([], default=text_reply("joined")):
            session = self.start()
            self.wait_for_recorded(0.6, "what fits")
            # The journal stopped; the take goes on in memory, and the disk then has room again.
            time.sleep(1.5)  # the take goes on past what the disk had room for
            os.remove(os.path.join(self.scratch.wav_dir, ".filler"))
            session.type(b"\n")
            session.wait_for(lambda: len(self.scratch.transcripts()) == 1, what="the joined take's text")
            session.kill()
        (take,) = session.paths()[:1]
        self.assertEqual(session.messages(), [])
        self.assertEqual(self.scratch.spare_takes(), [])
        # One file of the whole take: far more than the 0.7 s the journal had room for.
        self.assertCompleteWav(take, min_seconds=1.5)


if __name__ == "__main__":
    isolate(sys.argv)
    unittest.main()
