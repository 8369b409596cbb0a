"""A virtual microphone for tests: a private PulseAudio daemon whose default source is the monitor of a
48 kHz mono null sink, with ALSA's default device routed to it. Whatever a test plays into the sink is what a
program recording from the default input device hears, through the real PortAudio -> ALSA -> PulseAudio path.

Use as a context manager (VirtualMic), or from the shell as a test fixture that outlives the command:
    python3 virtual_mic.py start DIR        starts one in DIR (a fresh folder; one left there is stopped)
    python3 virtual_mic.py stop DIR         stops it and removes DIR
    python3 virtual_mic.py environment DIR  prints, one per line, the NAME=VALUE a program needs to hear it
"""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

SINK = "vmic"
# The name the audio library lists the microphone under besides "default".
DEVICE = "virtual_microphone"


class VirtualMic:
    def __init__(self):
        self.dir = None
        self.daemon = None
        self.keepalive = None
        self.env = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self, dir=None):
        """Starts in `dir` (which must not exist yet) or in a new temporary folder."""
        if dir:
            os.makedirs(dir)
        self.dir = dir or tempfile.mkdtemp(prefix="vmic-")
        d = self.dir
        for sub in ("runtime", "state", "home"):
            os.makedirs(os.path.join(d, sub))
        socket = os.path.join(d, "native")
        with open(os.path.join(d, "asound.conf"), "w") as f:
            # The microphone also under a name of its own, for choosing it as a device rather than by default.
            f.write("pcm.!default { type pulse }\nctl.!default { type pulse }\n"
                    f"pcm.{DEVICE} {{ type pulse device {SINK}.monitor }}\n")
        # The sink starts suspended and is resumed only once a silent keep-alive stream plays into it:
        # otherwise the monitor's first block reaches a recorder a second or two late.
        with open(os.path.join(d, "daemon.pa"), "w") as f:
            f.write(
                f"load-module module-native-protocol-unix socket={socket} auth-anonymous=1\n"
                f"load-module module-null-sink sink_name={SINK} rate=48000 channels=1 format=float32le\n"
                f"set-default-sink {SINK}\n"
                f"set-default-source {SINK}.monitor\n"
                f"suspend-sink {SINK} 1\n")
        env = dict(os.environ)
        env.update(environment(d))
        env.pop("DISPLAY", None)
        self.env = env
        self.daemon = subprocess.Popen(
            ["pulseaudio", "-n", "-F", os.path.join(d, "daemon.pa"), "--daemonize=no", "--exit-idle-time=-1",
             "--disallow-exit", "--use-pid-file=no", "--system=no", "--log-target=stderr"],
            env=env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(d, "daemon.log"), "w"))
        deadline = time.monotonic() + 10
        while subprocess.run(["pactl", "info"], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).returncode != 0:
            if self.daemon.poll() is not None or time.monotonic() > deadline:
                log = open(os.path.join(d, "daemon.log")).read()
                self.stop()
                raise RuntimeError("virtual microphone: pulseaudio did not start:\n" + log)
            time.sleep(0.02)
        self.keepalive = subprocess.Popen(
            ["pacat", "--playback", "--raw", "--device=" + SINK, "--format=s16le", "--rate=48000",
             "--channels=1", "--latency-msec=20", "/dev/zero"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not self.pactl("list", "short", "sink-inputs").strip():
            if self.keepalive.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("virtual microphone: the keep-alive stream did not connect")
            time.sleep(0.01)
        self.pactl("suspend-sink", SINK, "0")
        return self

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, check=True, capture_output=True,
                              text=True).stdout

    def recorders(self):
        """How many streams are recording from the virtual microphone now."""
        return len(self.recorder_ids())

    # Opening a stream, the audio library first opens one of the same format to try it and closes it again
    # at once: the sound server shows it as a recorder like any other, for some tens of milliseconds on a
    # busy machine. Sound played while only that one is there never reaches the take, so a sound is played
    # only once a recorder has stayed this long.
    RECORDER_SETTLED = 0.5

    def recorder_ids(self):
        return {l.split()[0] for l in self.pactl("list", "short", "source-outputs").splitlines() if l.strip()}

    def wait_for_recorder(self, timeout=10.0, count=1, settled=0.0):
        """Returns once `count` streams record from the virtual microphone, each for `settled` seconds."""
        deadline = time.monotonic() + timeout
        first_seen = {}
        while True:
            now = time.monotonic()
            first_seen = {i: first_seen.get(i, now) for i in self.recorder_ids()}
            if sum(now - seen >= settled for seen in first_seen.values()) >= count:
                return
            if now > deadline:
                raise TimeoutError("virtual microphone: no program started recording")
            time.sleep(0.02)

    def wait_until_heard(self, level=1000, timeout=10.0):
        """Returns once a sample louder than `level` comes out of the microphone: a sound started in the
        background reaches it only once its player has connected and its first block has played, which on
        a loaded machine can be most of a second after the player started."""
        before = self.recorders()
        listener = subprocess.Popen(
            ["parec", "--raw", "--device=" + SINK + ".monitor", "--format=s16le", "--rate=48000",
             "--channels=1", "--latency-msec=20"],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + timeout
            while True:
                block = listener.stdout.read(1920)  # 20 ms
                if not block:
                    raise RuntimeError("virtual microphone: the listener stopped")
                count = len(block) // 2
                if max(map(abs, struct.unpack(f"<{count}h", block[: 2 * count])), default=0) > level:
                    break
                if time.monotonic() > deadline:
                    raise TimeoutError(f"virtual microphone: nothing louder than {level} was heard")
        finally:
            listener.kill()
            listener.wait()
        # Gone from the sound server too, so that a count of recorders after this counts the tests' own.
        deadline = time.monotonic() + timeout
        while self.recorders() > before and time.monotonic() < deadline:
            time.sleep(0.01)

    def play(self, wav_path):
        """Plays a file into the microphone, once a program records from it, and returns when it has been
        played."""
        self.wait_for_recorder(settled=self.RECORDER_SETTLED)
        subprocess.run(["paplay", "--device=" + SINK, wav_path], env=self.env, check=True)

    def stop_daemon(self):
        """Stops the sound server as if the device had gone away."""
        for p in (self.keepalive, self.daemon):
            if p and p.poll() is None:
                p.kill()
                p.wait()

    def stop(self):
        self.stop_daemon()
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None


def environment(dir):
    """What a program needs in its environment to record from the virtual microphone in `dir`."""
    return {
        "HOME": os.path.join(dir, "home"),
        "XDG_RUNTIME_DIR": os.path.join(dir, "runtime"),
        "PULSE_RUNTIME_PATH": os.path.join(dir, "runtime"),
        "PULSE_STATE_PATH": os.path.join(dir, "state"),
        "PULSE_COOKIE": os.path.join(dir, "cookie"),
        "PULSE_SERVER": "unix:" + os.path.join(dir, "native"),
        "ALSA_CONFIG_PATH": os.path.join(dir, "asound.conf"),
    }


def stop_left_in(dir):
    """Stops the processes a `start` left in `dir` and removes it. A process id is signalled only while its
    process still has `dir` in its environment, so an id reused since is left alone."""
    try:
        with open(os.path.join(dir, "pids")) as f:
            pids = [int(line) for line in f if line.strip()]
    except FileNotFoundError:
        pids = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                ours = ("unix:" + os.path.join(dir, "native")).encode() in f.read()
            if ours:
                os.kill(pid, signal.SIGKILL)
        except (FileNotFoundError, ProcessLookupError):
            pass
    shutil.rmtree(dir, ignore_errors=True)


def main(argv):
    if len(argv) != 3 or argv[1] not in ("start", "stop", "environment"):
        print(__doc__, file=sys.stderr)
        return 2
    command, dir = argv[1], os.path.abspath(argv[2])
    if command == "environment":
        print("\n".join(f"{name}={value}" for name, value in environment(dir).items()))
    elif command == "stop":
        stop_left_in(dir)
    else:
        stop_left_in(dir)
        mic = VirtualMic().start(dir)
        with open(os.path.join(dir, "pids"), "w") as f:
            f.write(f"{mic.daemon.pid}\n{mic.keepalive.pid}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
