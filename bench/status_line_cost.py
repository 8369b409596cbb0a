"""What the status line costs the main thread: CPU time of dictate's main thread per second of audio while a
take records from the virtual microphone, with standard error a pseudo-terminal (the status line drawn,
a few times a second, with pink noise playing so that its level keeps changing) against a pipe (no status
line). The audio thread's callback is the same in both: the level is worked out on the main thread.

    DICTATE_BIN=build-bench/app/dictate PYTHONPATH=tests python3 bench/status_line_cost.py [ROUNDS] [SECONDS]
"""

import os
import pty
import statistics
import subprocess
import sys
import threading
import time

from support.driver import start_dictate
from support.harness import Scratch, binary, private_network, wait_until
from support.virtual_mic import SINK, VirtualMic


def main_thread_ns(pid):
    """CPU time the process's main thread has had, in nanoseconds (the scheduler's own count)."""
    with open(f"/proc/{pid}/task/{pid}/schedstat") as f:
        return int(f.read().split()[0])


def drain(fd):
    def read():
        try:
            while os.read(fd, 65536):
                pass
        except OSError:
            pass
    threading.Thread(target=read, daemon=True).start()


def measure(mic, scratch, noise, seconds, terminal):
    """Main-thread milliseconds per second of audio, and the status-line bytes written, for one take."""
    if terminal:
        controller, follower = pty.openpty()
        proc = subprocess.Popen([binary("dictate")], cwd=scratch.path, env=mic.env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=follower)
        os.close(follower)
        drain(controller)
    else:
        proc = start_dictate(scratch, mic.env)
        drain(proc.stderr.fileno())
    drain(proc.stdout.fileno())
    mic.wait_for_recorder()
    wait_until(lambda: scratch.recorded_seconds() > 1.0)  # past the start of the take
    player = subprocess.Popen(["paplay", "--device=" + SINK, noise], env=mic.env)
    cpu0, audio0 = main_thread_ns(proc.pid), scratch.recorded_seconds()
    time.sleep(seconds)
    cpu1, audio1 = main_thread_ns(proc.pid), scratch.recorded_seconds()
    player.wait()
    proc.stdin.close()
    proc.wait(timeout=60)
    for name in os.listdir(scratch.wav_dir):
        os.remove(os.path.join(scratch.wav_dir, name))
    if terminal:
        os.close(controller)
    return (cpu1 - cpu0) / 1e6 / (audio1 - audio0)


def main(argv):
    rounds = int(argv[1]) if len(argv) > 1 else 5
    seconds = float(argv[2]) if len(argv) > 2 else 10.0
    with VirtualMic() as mic:
        scratch = Scratch()
        try:
            noise = os.path.join(scratch.path, "noise.wav")
            subprocess.run(["sox", "-n", "-r", "48000", "-c", "1", "-b", "16", noise, "synth", str(seconds + 2),
                            "pinknoise", "vol", "0.3"], check=True)
            figures = {True: [], False: []}
            for _ in range(rounds):
                for terminal in (False, True):
                    figures[terminal].append(measure(mic, scratch, noise, seconds, terminal))
        finally:
            scratch.remove()
    for terminal, label in ((False, "off (standard error a pipe)"), (True, "on  (standard error a terminal)")):
        values = figures[terminal]
        print(f"status line {label}: main thread {statistics.median(values):.3f} ms per second of audio "
              f"(median of {rounds} takes of {seconds:g} s; range {min(values):.3f}-{max(values):.3f})")
    print(f"difference of the medians: "
          f"{statistics.median(figures[True]) - statistics.median(figures[False]):+.3f} ms per second of audio")


if __name__ == "__main__":
    private_network(sys.argv)
    sys.exit(main(sys.argv))
