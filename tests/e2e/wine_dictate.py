"""dictate.exe under Wine, recording the virtual microphone and sending to a scripted server on port 4999, in
the shared Wine prefix whose C:/Whisper and D: are the test's Scratch folders. Needs DICTATE_BIN (the .exe)
and DICTATE_WINE_PREFIX; run by the Windows build's ctest."""

import os
import re
import signal
import struct
import subprocess
import sys
import unittest

from support.driver import finish
from support.harness import (PROMPT, WAV_NAME, MicrophoneCase, binary, find_in_recording, private_network, read_wav,
                             speech, wait_until, wav_samples)
from support.scripted_server import Reply, ScriptedServer, text_reply
from wine import WinePrefix

# Wine starts a program and its audio stream much more slowly than Linux does (some 3.5 s, more when loaded).
STARTUP = 60


class DictateUnderWine(MicrophoneCase):
    def setUp(self):
        super().setUp()
        self.wine = WinePrefix().ensure()
        self.wine.bind(self.scratch)
        self.addCleanup(self.wine.stop)
        said = speech("go forward ten meters", self.mic.dir)
        self.expected = wav_samples(said)
        # The DirectSound path hands over its last few milliseconds only after more audio: silence after the
        # speech keeps a stop right after playing from cutting it.
        self.sound = os.path.join(self.mic.dir, "speech-then-silence.wav")
        subprocess.run(["sox", said, self.sound, "pad", "0", "0.5"], check=True)

    def start_speaking(self, args=()):
        """Starts dictate.exe and plays the speech into its first take, which is left recording. Wine's audio
        path hands sound over late: wait for journal_holds_speech() before ending the take."""
        proc = self.wine.start([binary("dictate"), *args], self.mic.env, cwd=self.scratch.path, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        proc.scratch = self.scratch  # finish() then waits for sound in the closing take
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        self.mic.wait_for_recorder(timeout=STARTUP)
        self.mic.play(self.sound)
        return proc

    def journal_holds_speech(self):
        """True once the journal of the take that records holds all of the played speech."""
        for name in self.scratch.journals():
            try:
                _, samples, _ = read_wav(os.path.join(self.scratch.wav_dir, name))
            except (OSError, ValueError, struct.error):
                continue  # gone or caught mid-write: the next look will do
            if find_in_recording(samples, self.expected) is not None:
                return True
        return False

    def assert_kept_and_sent(self, name, request):
        """The take `name` on C: holds the played speech, and is what the server received, byte for byte."""
        self.assertRegex(name, WAV_NAME)
        path = os.path.join(self.scratch.wav_dir, name)
        header, samples, size = read_wav(path)
        # Text mode would have put a CR before every 0x0A byte, making the file longer than its header says.
        self.assertEqual((header["data_size"], header["riff_size"]), (size - 44, size - 8))
        self.assertIsNotNone(find_in_recording(samples, self.expected), f"{name}: the played speech is not in it")
        (headers, content), = request.parts()
        self.assertIn(f'filename="{name}"', headers["content-disposition"])
        with open(path, "rb") as f:
            self.assertEqual(content, f.read())

    def transcript(self, name):
        with open(os.path.join(self.scratch.transcript_dir, name), "rb") as f:
            return f.read()

    def one_transcribed_take(self, args=()):
        """Speaks a take, ends it with Enter once it holds the speech, waits for its transcript, then ends
        input; returns (status, out, err)."""
        proc = self.start_speaking(args)
        self.assertTrue(wait_until(self.journal_holds_speech, timeout=STARTUP, step=0.2))
        proc.stdin.write(b"\n")
        proc.stdin.flush()
        self.assertTrue(wait_until(lambda: len(self.scratch.transcripts()) == 1, timeout=STARTUP))
        return finish(proc, timeout=STARTUP)

    def test_a_take_is_kept_on_c_sent_and_its_text_saved_on_d_then_end_of_input_exits_0(self):
        with ScriptedServer([text_reply("Hello world.")], default=Reply(hang_up=True)) as server:
            status, out, err = self.one_transcribed_take()
        self.assertEqual(status, 0, err)
        self.assertNotIn(b"\x1b", err)  # standard error is a pipe: no status line
        first, closing = self.scratch.wavs()
        # The dialogue and the transcript are text, with Windows' line ends; the WAV is raw bytes.
        self.assertEqual(out, PROMPT + b"output_path: C:/Whisper/" + first.encode() + b"\r\nHello world.\r\n" +
                         PROMPT + b"output_path: C:/Whisper/" + closing.encode() + b"\r\n")
        self.assertEqual(self.scratch.transcripts(), [first.replace("_output.wav", "_transcription.txt")])
        self.assertEqual(self.transcript(self.scratch.transcripts()[0]), b"Hello world.\r\n")
        self.assertEqual(len(server.requests), 2)  # the closing take went too, and got no answer
        self.assert_kept_and_sent(first, server.requests[0])
        self.assertEqual(self.scratch.journals(), [])

    def test_copy_and_type_hand_the_text_to_the_system_without_a_word(self):
        # Wine keeps a clipboard and takes key events with no display; what lands there can't be read back from
        # here, but the clipboard's and SendInput's calls must succeed and leave the dialogue as it was.
        with ScriptedServer([text_reply("Hello\nworld.")], default=Reply(hang_up=True)):
            status, out, err = self.one_transcribed_take(["--copy", "--type", "--type-newlines"])
        self.assertEqual(status, 0, err)
        self.assertIn(b"\r\nHello\r\nworld.\r\n", out)
        told = [l for l in err.decode(errors="replace").splitlines() if "clipboard" in l or "typed" in l]
        self.assertEqual(told, [])

    def test_a_take_streamed_while_it_records_is_the_file_and_gets_its_text(self):
        with ScriptedServer([text_reply("Streamed.")], default=Reply(hang_up=True), streaming=True) as server:
            status, out, err = self.one_transcribed_take()
        self.assertEqual(status, 0, err)
        first, closing = self.scratch.wavs()
        self.assertEqual(out, PROMPT + b"output_path: C:/Whisper/" + first.encode() + b"\r\nStreamed.\r\n" +
                         PROMPT + b"output_path: C:/Whisper/" + closing.encode() + b"\r\n")
        streamed = server.requests[0]
        self.assertTrue(streamed.chunked)
        (headers, content), = streamed.parts()
        self.assertIn(f'filename="{first}"', headers["content-disposition"])
        with open(os.path.join(self.scratch.wav_dir, first), "rb") as f:
            kept = f.read()
        # The samples as the file keeps them, under a header whose sizes are left unknown.
        self.assertEqual(content[44:], kept[44:])
        self.assertEqual(content[4:8] + content[40:44], b"\xff" * 8)

    def test_ctrl_c_while_recording_finishes_the_take_then_exits_130(self):
        with ScriptedServer([text_reply("kept after all")], default=Reply(hang_up=True)) as server:
            proc = self.start_speaking()
            # Wine hands SIGINT to the program as the console's Ctrl-C.
            self.assertTrue(wait_until(self.journal_holds_speech, timeout=STARTUP, step=0.2))
            proc.send_signal(signal.SIGINT)
            # Input ends only once the Ctrl-C has ended the take (Wine hands it over a moment later): an
            # interrupt that comes after the take is over means "stop waiting for the server".
            self.assertTrue(wait_until(lambda: len(self.scratch.wavs()) == 1, timeout=STARTUP))
            status, out, err = finish(proc, timeout=STARTUP)
        self.assertEqual(status, 130, err)
        (name,) = self.scratch.wavs()
        self.assertEqual(out, PROMPT + b"output_path: C:/Whisper/" + name.encode() + b"\r\nkept after all\r\n")
        self.assertEqual(len(server.requests), 1)
        self.assert_kept_and_sent(name, server.requests[0])
        self.assertEqual(self.transcript(name.replace("_output.wav", "_transcription.txt")), b"kept after all\r\n")

    def test_devices_are_listed_and_a_wrong_one_refused_with_exit_2(self):
        def run(*args):
            proc = self.wine.start([binary("dictate"), *args], self.mic.env, cwd=self.scratch.path,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = proc.communicate(timeout=STARTUP)
            return proc.returncode, out.decode(errors="replace"), err.decode(errors="replace")

        status, out, err = run("--list-devices")
        self.assertEqual(status, 0, err)
        rows = out.splitlines()[1:]
        self.assertTrue(rows and all(re.match(r"^[* ] +\d+  .+  \(.+, \d+ Hz\)\r?$", r) for r in rows), out)
        self.assertEqual(sum(r.startswith("*") for r in rows), 1, out)
        status, out, err = run("--device", "no-such-microphone")
        self.assertEqual((status, out), (2, ""), err)
        self.assertEqual(len(err.splitlines()), 1 + len(rows), err)  # the problem, then every device
        self.assertEqual(self.scratch.wavs() + self.scratch.journals(), [])

    @unittest.skip("Windows has no SIGTERM: Wine ends a program on it without running any handler")
    def test_sigterm_while_recording_finishes_the_take_then_exits_143(self):
        pass


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
