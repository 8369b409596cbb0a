"""Takes sent while they record: the built dictate, the virtual microphone and a scripted transcription
server on port 4999 that offers streamed takes (in a private network when the tests run as root). Whatever
becomes of the streamed request, the person sees the dialogue of a take uploaded whole."""

import json
import os
import struct
import sys
import time
import unittest

from support.scripted_server import Reply, ScriptedServer, text_reply
from support.driver import DictateCase, finish, wait_for_sound
from support.harness import PROMPT, private_network, wait_until


def dialogue(wavs_and_texts):
    out = b""
    for wav, text in wavs_and_texts:
        out += PROMPT + b"output_path: C:/Whisper/" + wav.encode() + b"\n" + (text + b"\n" if text else b"")
    return out


class Streaming(DictateCase):
    def file(self, wav):
        with open(os.path.join(self.scratch.wav_dir, wav), "rb") as f:
            return f.read()

    def assert_sent_whole(self, request, wav):
        self.assertFalse(request.chunked)
        self.assertEqual(request.parts()[0][1], self.file(wav))

    def messages(self, err):
        """The program's lines but those about silent takes: nothing plays into the microphone here."""
        return [line for line in err.decode(errors="replace").splitlines()
                if line.startswith("dictate: ") and " is silent: " not in line]

    def test_streamed_take_is_the_file_as_it_records_and_its_reply_the_text(self):
        with ScriptedServer([text_reply("streamed words")], default=Reply(hang_up=True),
                            streaming=True) as server:
            proc = self.start()
            # Enough of the take to come in many pieces.
            self.assertTrue(wait_until(lambda: self.scratch.recorded_seconds() > 0.5, timeout=20))
            self.take(proc, lambda: len(self.scratch.transcripts()) == 1)
            status, out, err = finish(proc)
        self.assertEqual(status, 0, err)
        wavs = self.scratch.wavs()
        self.assertEqual(out, dialogue([(wavs[0], b"streamed words"), (wavs[1], None)]))

        streamed = server.requests[0]
        self.assertTrue(streamed.chunked)
        self.assertTrue(streamed.request_line.startswith("POST /transcribe "), streamed.request_line)
        [(headers, content)] = streamed.parts()
        self.assertIn('name="audio"', headers["content-disposition"])
        self.assertIn(f'filename="{wavs[0]}"', headers["content-disposition"])
        # The file's bytes, under a header that leaves both sizes unknown, as a writer that can't know them.
        kept = self.file(wavs[0])
        self.assertGreater(len(kept), 48000)
        self.assertEqual(content[:4] + content[8:40] + content[44:], kept[:4] + kept[8:40] + kept[44:])
        self.assertEqual(struct.unpack("<I", content[4:8])[0], 0xFFFFFFFF)
        self.assertEqual(struct.unpack("<I", content[40:44])[0], 0xFFFFFFFF)
        # The closing take's stream was hung up on, so its finished file was sent too; nothing else was.
        self.assertEqual([r.chunked for r in server.requests], [True, True, False])
        self.assert_sent_whole(server.requests[2], wavs[1])

    def test_a_runs_streamed_takes_name_one_series_only_for_a_server_that_keeps_series(self):
        series_of_runs = []
        for offered in (True, True, False):
            with ScriptedServer([], default=text_reply("words"), streaming=True, take_series=offered) as server:
                before = len(self.scratch.transcripts())
                proc = self.start()
                self.take(proc, lambda: len(self.scratch.transcripts()) == before + 1)
                self.take(proc, lambda: len(self.scratch.transcripts()) == before + 2)
                status, _, err = finish(proc)
                self.assertEqual(status, 0, err)
                streamed = [r for r in server.requests if r.chunked]
                self.assertGreaterEqual(len(streamed), 2)
                named = {r.headers.get("x-take-series") for r in streamed}
                # Uploads of a finished file are never part of a series.
                for request in server.requests:
                    if not request.chunked:
                        self.assertNotIn("x-take-series", request.headers)
            if offered:
                self.assertEqual(len(named), 1, named)
                [series] = named
                self.assertRegex(series or "", r"^[0-9a-f]{32}$")
                series_of_runs.append(series)
            else:
                self.assertEqual(named, {None})
        self.assertNotEqual(series_of_runs[0], series_of_runs[1])

    def test_a_refused_or_broken_stream_falls_back_to_the_finished_file(self):
        refused = Reply(b'{"error":"busy"}', status=503)
        script = [refused, text_reply("after a refusal"), Reply(reset=True), text_reply("after a reset")]
        with ScriptedServer(script, default=Reply(hang_up=True), streaming=True) as server:
            proc = self.start()
            self.take(proc, lambda: len(self.scratch.transcripts()) == 1)
            self.take(proc, lambda: len(self.scratch.transcripts()) == 2)
            status, out, err = finish(proc)
        self.assertEqual(status, 0, err)
        wavs = self.scratch.wavs()
        self.assertEqual(out, dialogue([(wavs[0], b"after a refusal"), (wavs[1], b"after a reset"),
                                        (wavs[2], None)]))
        self.assertEqual(err.decode().count("dictate: could not get the text"), 1, err.decode()[-2000:])
        self.assertEqual([r.chunked for r in server.requests[:4]], [True, False, True, False])
        self.assert_sent_whole(server.requests[1], wavs[0])
        # The stream and the file that followed it carry the one form: the same part headers, type and all.
        self.assertEqual(server.requests[0].parts()[0][0], server.requests[1].parts()[0][0])
        self.assert_sent_whole(server.requests[3], wavs[1])

    def test_a_server_that_comes_up_or_dies_mid_take_gets_the_finished_file(self):
        proc = self.start()
        # The take began with nothing listening; the server comes up while it records.
        wait_for_sound(self.scratch, proc)
        with ScriptedServer([text_reply("came up")], streaming=True) as server:
            self.take(proc, lambda: len(self.scratch.transcripts()) == 1)
            self.assertEqual(server.count(), 1)
            self.assert_sent_whole(server.requests[0], self.scratch.wavs()[0])
            # The next take streams to it, and it goes away in the middle.
            self.assertTrue(wait_until(lambda: server.streams_begun == 1, timeout=20))
        with ScriptedServer([text_reply("after a restart")], default=Reply(hang_up=True)) as server:
            self.take(proc, lambda: len(self.scratch.transcripts()) == 2)
            status, out, err = finish(proc)
            self.assert_sent_whole(server.requests[0], self.scratch.wavs()[1])
        self.assertEqual(status, 0, err)
        wavs = self.scratch.wavs()
        self.assertEqual(out, dialogue([(wavs[0], b"came up"), (wavs[1], b"after a restart"), (wavs[2], None)]))

    def test_a_reply_before_the_take_ended_breaks_the_stream_off_and_the_file_gets_the_text(self):
        early = Reply(json.dumps({"text": "EARLY"}), early=50000)
        with ScriptedServer([early, text_reply("from the file")], default=Reply(hang_up=True),
                            streaming=True) as server:
            proc = self.start()
            # A quarter of a second of the take has gone when the server answers: the stream ends there,
            # while the take still records, and the take goes on.
            self.assertTrue(wait_until(lambda: server.streams and not server.streams[0].open, timeout=20))
            stream = server.streams[0]
            self.assertTrue(stream.broken_off)
            [(_, streamed)] = stream.parts()  # the WAV so far
            self.assertTrue(wait_until(lambda: self.scratch.recorded_seconds() > len(streamed) / 96000 + 0.25,
                                       timeout=20))
            self.take(proc, lambda: len(self.scratch.transcripts()) == 1)
            status, out, err = finish(proc)
        self.assertEqual(status, 0, err)
        wavs = self.scratch.wavs()
        self.assertEqual(out, dialogue([(wavs[0], b"from the file"), (wavs[1], None)]))
        self.assertEqual(self.messages(err)[0],
                         "dictate: the transcription server at localhost:4999 answered the streamed take before "
                         "it ended, so it can't have heard all of it; the finished file C:/Whisper/" + wavs[0] +
                         " is sent instead")
        # The other line is the closing take's, hung up on.
        self.assertEqual(len(self.messages(err)), 2, err.decode()[-2000:])
        # The file holds the whole take: what went before the answer and the rest; all of it was sent.
        kept = self.file(wavs[0])
        self.assertGreater(len(kept), len(streamed) + 24000)
        self.assertEqual(kept[44:len(streamed)], streamed[44:])
        self.assertFalse(server.requests[0].chunked)
        self.assert_sent_whole(server.requests[0], wavs[0])

    def test_a_stream_sent_under_another_name_is_broken_off_before_the_file_goes(self):
        # A transcript under every name the takes could be given in the next ten minutes (a loaded machine
        # is slow): each take is kept as "_2", not under the name its stream was sent with.
        now = int(time.time())
        planted = [time.strftime("%d-%m-%Y_%H-%M-%S", time.localtime(t)) + "_transcription.txt"
                   for t in range(now - 2, now + 600)]
        for name in planted:
            open(os.path.join(self.scratch.transcript_dir, name), "wb").close()
        texts = lambda: [n for n in self.scratch.transcripts() if n not in planted]
        with ScriptedServer([], default=text_reply("from the file"), streaming=True) as server:
            proc = self.start()
            self.take(proc, lambda: len(texts()) == 1)
            status, out, err = finish(proc)
        self.assertEqual(status, 0, err)
        wavs = self.scratch.wavs()
        self.assertTrue(all(w.endswith("_2_output.wav") for w in wavs), wavs)
        self.assertEqual(out, dialogue([(wavs[0], b"from the file"), (wavs[1], b"from the file")]))
        self.assertEqual(self.messages(err), [])
        # Each stream was broken off, and closed before its take's file arrived: no server holds two
        # requests for one take.
        self.assertEqual([(s.open, s.broken_off) for s in server.streams], [(False, True)] * 2)
        self.assertEqual([r.streams_open for r in server.requests], [0, 0])
        for request, wav in zip(server.requests, wavs):
            self.assert_sent_whole(request, wav)
            self.assertEqual(request.parts()[0][0]["content-disposition"].count(wav), 1)


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
