#!/usr/bin/env python3
"""Live words: how soon after a phrase's last spoken sound its words reach an events client, and what the
server's CPU costs per second of audio with and without an events client.

The take is the engine's five read sentences twice over (librivox, 48 kHz 16-bit mono), each followed by
1.5 s of a room's quiet (pink noise at -60 dBFS), streamed as a recorder sends it: each 0.1 s block once it has been recorded. A phrase ends
at its sentence's last 10 ms frame within 30 dB of that sentence's loudest; its latency is from there to the
first words event that arrives after it and was not counted for the phrase before (an event for a pause
inside a sentence comes before the sentence's end, and is not counted). CPU is the
server process's user and system time over each take, read from /proc.

usage: PYTHONPATH=tests python3 bench/server/live_words.py [PATH/TO/dictate-server] [TAKES]
"""

import array
import glob
import math
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import wave

from server_process import DEFAULT_BINARY, TEST_DATA, Server
from support import server_process as e2e

PIECE = 9600  # 0.1 s of 48 kHz 16-bit mono
PAUSE = 1.5


def make_take(folder):
    """The take's bytes and the times its phrases end, in seconds from its start."""
    sentences = sorted(glob.glob(os.path.join(TEST_DATA, "librivox", "*.wav"))) * 2
    pause = os.path.join(folder, "pause.wav")
    # A room's quiet, as a microphone gives it: digital silence moves the loudness floor the search keeps
    # its tail by, so a segment's early search would be thrown away at its end.
    subprocess.run(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", pause, "synth", str(PAUSE), "pinknoise",
                    "vol", "-60dB"], check=True)
    ends, at = [], 0.0
    for sentence in sentences:
        samples = array.array("h")
        with wave.open(sentence) as w:
            samples.frombytes(w.readframes(w.getnframes()))
            rate = w.getframerate()
        frame = rate // 100
        levels = [math.sqrt(sum(x * x for x in samples[i:i + frame]) / frame) + 1e-9
                  for i in range(0, len(samples) - frame + 1, frame)]
        floor = max(levels) * 10 ** (-30 / 20)
        last = max(i for i, level in enumerate(levels) if level >= floor)
        ends.append(at + (last + 1) / 100)
        at += len(samples) / rate + PAUSE
    path = os.path.join(folder, "take.wav")
    sources = [s for sentence in sentences for s in (sentence, pause)]
    subprocess.run(["sox", *sources, "-r", "48000", "-b", "16", path], check=True)
    with open(path, "rb") as f:
        return f.read(), ends, at


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stream(server, wav, with_events):
    """Streams the take; returns (CPU seconds, arrival times of words events from the take's start)."""
    take = e2e.take_id()
    before = cpu_seconds(server.process.pid)
    started = time.monotonic()
    outcome = {}

    def send():
        outcome["reply"] = e2e.stream_upload(server, e2e.streamed(wav), PIECE, pace=0.1,
                                             head_extra=e2e.take_head(take) if with_events else "",
                                             as_recorded=True)

    sending = threading.Thread(target=send)
    sending.start()
    arrivals = []
    if with_events:
        events = e2e.open_events(server, "/transcribe/events/" + take)
        if events.status != 200:
            raise RuntimeError(f"events refused: {events.status}")
        arrivals = [at - started for name, _, at in e2e.events_of(events, within=600) if name == "words"]
        events.close()
    sending.join()
    status, reply, _ = outcome["reply"]
    if status != 200:
        raise RuntimeError(f"streamed upload refused: {status} {reply}")
    return cpu_seconds(server.process.pid) - before, arrivals


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_BINARY
    takes = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    with tempfile.TemporaryDirectory() as folder, Server(binary) as server:
        wav, ends, seconds = make_take(folder)
        latencies, missed, cpu = [], 0, {False: [], True: []}
        for _ in range(takes):
            for with_events in (False, True):
                used, arrivals = stream(server, wav, with_events)
                cpu[with_events].append(used / seconds)
                counted = 0.0
                for end in ends if with_events else []:
                    later = [at for at in arrivals if at > max(end, counted)]
                    if later:
                        latencies.append(later[0] - end)
                        counted = later[0]
                    else:
                        missed += 1
        load = os.getloadavg()[0]
        print(f"phrase end -> words event: median {statistics.median(latencies):.2f} s, "
              f"min {min(latencies):.2f} s, max {max(latencies):.2f} s over {len(latencies)} phrases "
              f"({missed} without an event; {takes} takes of {seconds:.0f} s; load average {load:.1f})")
        for with_events in (False, True):
            figures = cpu[with_events]
            print(f"server CPU per second of audio {'with' if with_events else 'without'} an events client: "
                  f"median {statistics.median(figures):.3f} s ({', '.join(f'{x:.3f}' for x in figures)})")


if __name__ == "__main__":
    main()
