"""Enter -> text with the bundled server: how long after the person presses Enter the words of a take
appear, end to end. The built dictate records a 5.3 s read sentence (or, with --long, 60 s of read
speech) from the virtual microphone and sends it to the built dictate-server on port 4999 (in a private
network namespace when run as root): streamed while it records, or with --whole to a server started with
--no-streaming, uploaded once finished. The time is from writing Enter, 0.3 s after the speech ends (with
--up-to-enter, as soon as the player has played it: the speech runs up to Enter), to the arrival of the
transcript's line on standard output. All the takes are one run of dictate, so from the second on the
server knows the run's earlier takes (see docs/server.md, "Series of takes"): the first take is reported
apart from the others. With --busy, one other process spins on a core throughout.

    DICTATE_BIN=build-bench/app/dictate DICTATE_SERVER_BIN=build-bench/server/dictate-server \
        python3 bench/enter_to_text.py [TAKES] [--busy] [--long] [--whole] [--up-to-enter]
"""

import glob
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from cycle_turnaround import StdoutClock
from support.driver import finish, press, start_dictate
from support.harness import PROMPT, Scratch, binary, private_network, wait_until
from support.bundled import test_data_dir
from support.virtual_mic import VirtualMic

SENTENCE = "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0890.wav"


def port_answers(port=4999):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def main():
    private_network(sys.argv)
    flags = {"--busy", "--long", "--whole", "--up-to-enter"}
    args = [a for a in sys.argv[1:] if a not in flags]
    takes = int(args[0]) if args else 5
    busy, long_take, whole, up_to_enter = (flag in sys.argv[1:]
                                           for flag in ("--busy", "--long", "--whole", "--up-to-enter"))
    folder = tempfile.mkdtemp(prefix="dictate-bench-")
    sentence = os.path.join(folder, "sentence.wav")
    if long_take:
        sources = sorted(glob.glob(os.path.join(test_data_dir(), "librivox", "*.wav")))
        subprocess.run(["sox", *(sources * 3), "-r", "48000", sentence, "trim", "0", "60"], check=True)
    else:
        subprocess.run(["sox", SENTENCE, "-r", "48000", sentence], check=True)
    server_log = open(os.path.join(folder, "server.log"), "w+")
    server = subprocess.Popen([binary("dictate-server"), *(["--no-streaming"] if whole else [])],
                              stderr=server_log)
    spinner = None
    waits, texts = [], []
    try:
        if not wait_until(port_answers, timeout=60):
            raise RuntimeError("dictate-server did not start")
        if busy:
            spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
        with VirtualMic() as mic:
            scratch = Scratch()
            proc = start_dictate(scratch, mic.env)
            try:
                clock = StdoutClock(proc.stdout)
                _, offset = clock.wait_for(PROMPT, 0)
                for _ in range(takes):
                    mic.wait_for_recorder()
                    mic.play(sentence)
                    if not up_to_enter:
                        time.sleep(0.3)  # the sentence's tail through the sound server's buffers
                    pressed = time.monotonic()
                    press(proc)
                    _, offset = clock.wait_for(b"output_path: ", offset)
                    _, offset = clock.wait_for(b"\n", offset)
                    start = offset
                    text_at, offset = clock.wait_for(b"\n", offset, timeout=120)
                    waits.append(text_at - pressed)
                    texts.append(clock.data[start:offset - 1].decode(errors="replace"))
                    _, offset = clock.wait_for(PROMPT, offset)
                finish(proc)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
                scratch.remove()
    finally:
        if spinner:
            spinner.kill()
            spinner.wait()
        server.terminate()
        server.wait()
        server_log.seek(0)
        # The takes' own uploads (not the closing take's moment of sound): the server's time from the body's
        # end to its reply.
        decodes = [float(d) * 1000 for audio, d in
                   re.findall(r"POST /transcribe -> 200, \d+ bytes, ([0-9.]+) s audio, .* ([0-9.]+) s decode",
                              server_log.read()) if float(audio) > 1]
        server_log.close()
        subprocess.run(["rm", "-rf", folder])
    load = ", one busy process" if busy else ""
    what = "60 s take" if long_take else "5.3 s sentence"
    how = "uploaded whole once finished" if whole else "streamed while it records"
    when = "speech up to Enter" if up_to_enter else "Enter 0.3 s after the speech"
    print(f"Enter -> text, {what} {how}, {when}, bundled server{load}: first take {waits[0] * 1000:.0f} ms")
    ms = sorted(w * 1000 for w in waits[1:])
    if ms:
        print(f"  takes 2 to {len(waits)}: median {statistics.median(ms):.0f} ms, worst {ms[-1]:.0f} ms, "
              f"best {ms[0]:.0f} ms")
    if decodes:
        print(f"  of which the server's resampling and decoding: median {statistics.median(decodes):.0f} ms, "
              f"worst {max(decodes):.0f} ms; load average {os.getloadavg()[0]:.1f}")
    for text in sorted(set(texts)):
        shown = text if len(text) < 120 else text[:117] + "..."
        print(f"  \"{shown}\" x{texts.count(text)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
