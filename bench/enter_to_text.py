"""Enter -> text with the bundled server: how long after the person presses Enter the words of a 5 s read
sentence appear, end to end. The built dictate records the sentence from the virtual microphone and uploads
it to the built dictate-server on port 4999 (in a private network namespace when run as root); the time is
from writing Enter to the arrival of the transcript's line on standard output. With --busy, one other
process spins on a core throughout.

    DICTATE_BIN=build-bench/app/dictate DICTATE_SERVER_BIN=build-bench/server/dictate-server \
        python3 bench/enter_to_text.py [TAKES] [--busy]
"""

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
from support.virtual_mic import VirtualMic

SENTENCE = "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0890.wav"


def port_answers(port=4999):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def main():
    private_network(sys.argv)
    args = [a for a in sys.argv[1:] if a != "--busy"]
    takes = int(args[0]) if args else 5
    busy = "--busy" in sys.argv[1:]
    folder = tempfile.mkdtemp(prefix="dictate-bench-")
    sentence = os.path.join(folder, "sentence.wav")
    subprocess.run(["sox", SENTENCE, "-r", "48000", sentence], check=True)
    server_log = open(os.path.join(folder, "server.log"), "w+")
    server = subprocess.Popen([binary("dictate-server")], stderr=server_log)
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
        decodes = [float(d) * 1000 for d in re.findall(r"([0-9.]+) s decode", server_log.read())]
        server_log.close()
        subprocess.run(["rm", "-rf", folder])
    ms = sorted(w * 1000 for w in waits)
    load = ", one busy process" if busy else ""
    print(f"Enter -> text, 5.3 s sentence, bundled server{load}, {len(ms)} takes: "
          f"median {statistics.median(ms):.0f} ms, worst {ms[-1]:.0f} ms, best {ms[0]:.0f} ms")
    if decodes:
        print(f"  of which the server's resampling and decoding: median {statistics.median(decodes):.0f} ms, "
              f"worst {max(decodes):.0f} ms; load average {os.getloadavg()[0]:.1f}")
    for text in sorted(set(texts)):
        print(f"  \"{text}\" x{texts.count(text)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
