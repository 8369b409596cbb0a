"""Shared pieces of the end-to-end and fault tests: a scratch folder laid out as a person would have it, the
built programs' paths, test speech, WAV reading and comparison, waiting for an event, and a private network.
read_wav() reads dictate's own files field by field (a partial file's header must be checked as written);
wav_samples() reads any WAV the standard way (sox's output, which may carry extra chunks)."""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
import wave

PROMPT = b"Press the Enter Key to Stop Recording..."
WAV_NAME = re.compile(r"^\d\d-\d\d-\d{4}_\d\d-\d\d-\d\d(_\d+)?_output\.wav$")
# The file a take is kept in on disk while it records.
JOURNAL_NAME = re.compile(r"^\d\d-\d\d-\d{4}_\d\d-\d\d-\d\d_unfinished_\d+(-\d+)?\.wav$")


def binary(name):
    """Path of a built program, passed in by ctest through the environment."""
    path = os.environ.get(name.upper().replace("-", "_") + "_BIN")
    if not path or not os.access(path, os.X_OK):
        raise RuntimeError(f"set {name.upper().replace('-', '_')}_BIN to the built {name}")
    return os.path.abspath(path)


class Scratch:
    """A working folder holding C:/Whisper and D:/Whisper, removed afterwards."""

    def __init__(self, wav_dir=True, transcript_dir=True, path=None):
        self.path = path or tempfile.mkdtemp(prefix="dictate-e2e-")
        self.wav_dir = os.path.join(self.path, "C:", "Whisper")
        self.transcript_dir = os.path.join(self.path, "D:", "Whisper")
        # The temporary folder dictate is given, where it keeps takes its folder can't hold.
        self.spare_dir = os.path.join(self.path, "tmp")
        os.makedirs(self.spare_dir, exist_ok=True)
        if wav_dir:
            os.makedirs(self.wav_dir)
        if transcript_dir:
            os.makedirs(self.transcript_dir)

    @classmethod
    def of(cls, path):
        """The folders of an existing working folder, left as they are."""
        return cls(wav_dir=False, transcript_dir=False, path=path)

    def wavs(self):
        """The finished takes (a take that is recording is in a journal, which is not one)."""
        return [n for n in self._listing(self.wav_dir) if not JOURNAL_NAME.match(n)]

    def journals(self):
        return [n for n in self._listing(self.wav_dir) if JOURNAL_NAME.match(n)]

    def recorded_seconds(self):
        """How much sound the journals of takes now recording hold."""
        total = 0
        for name in self.journals():
            try:
                total += max(0, os.path.getsize(os.path.join(self.wav_dir, name)) - 44)
            except FileNotFoundError:
                pass
        return total / 2 / 48000

    @staticmethod
    def _listing(folder):
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def spare_takes(self):
        """The takes kept in dictate's folders in the temporary folder, as paths."""
        return sorted(os.path.join(root, n) for root, _, names in os.walk(self.spare_dir) for n in names)

    def transcripts(self):
        return sorted(os.listdir(self.transcript_dir)) if os.path.isdir(self.transcript_dir) else []

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


_speech_cache = {}


def speech(text, workdir):
    """A 48 kHz mono 16-bit WAV of synthetic speech saying `text`."""
    key = (text, workdir)
    if key not in _speech_cache:
        raw = os.path.join(workdir, "speech-raw.wav")
        out = os.path.join(workdir, f"speech-{len(_speech_cache)}.wav")
        subprocess.run(["espeak-ng", "-w", raw, text], check=True)
        subprocess.run(["sox", raw, "-r", "48000", "-c", "1", "-b", "16", out], check=True)
        _speech_cache[key] = out
    return _speech_cache[key]


def read_wav(path):
    """The header fields and the samples of a 16-bit PCM WAV file."""
    with open(path, "rb") as f:
        data = f.read()
    fields = struct.unpack("<4sI4s4sIHHIIHH4sI", data[:44])
    names = ("riff", "riff_size", "wave", "fmt", "fmt_size", "format", "channels", "rate", "byte_rate",
             "block_align", "bits", "data", "data_size")
    header = dict(zip(names, fields))
    body = data[44:]
    samples = list(struct.unpack(f"<{len(body) // 2}h", body[: len(body) // 2 * 2]))
    return header, samples, len(data)


def wav_samples(path):
    with wave.open(path) as w:
        frames = w.readframes(w.getnframes())
    return list(struct.unpack(f"<{len(frames) // 2}h", frames))


def onset(samples, threshold=300):
    for i, s in enumerate(samples):
        if abs(s) > threshold:
            return i
    return None


def find_in_recording(recorded, played, tolerance=1):
    """Where `played` lies inside `recorded`, sample for sample within `tolerance`; None if it doesn't."""
    r0, p0 = onset(recorded), onset(played)
    if r0 is None or p0 is None:
        return None
    for shift in sorted(range(-20, 21), key=abs):
        start = r0 - p0 + shift
        if start < 0 or start + len(played) > len(recorded):
            continue
        if all(abs(recorded[start + i] - played[i]) <= tolerance for i in range(len(played))):
            return start
    return None


def word_errors(said, heard):
    """Words substituted, left out or added to turn the word list `said` into `heard`."""
    row = list(range(len(heard) + 1))
    for i, word in enumerate(said, 1):
        diagonal, row[0] = row[0], i
        for j, other in enumerate(heard, 1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, diagonal + (word != other))
    return row[-1]


def wait_until(predicate, timeout=10.0, step=0.02):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


ISOLATED = "DICTATE_TEST_ISOLATED"


def private_network(argv, mounts=False):
    """Runs the calling test in a network namespace of its own (and with `mounts`, a mount namespace too)
    when the machine allows it (root and unshare): the fixed port 4999 then meets nothing else on this
    machine, and file systems mounted over a test's folders vanish with it. Call first in `__main__`; returns
    normally, inside the namespaces or, where they cannot be had, in the machine's own (the fixed port must
    then be free, and tests that need mounts skip)."""
    import sys
    if os.environ.get(ISOLATED) == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    if os.geteuid() == 0 and shutil.which("unshare") and shutil.which("ip"):
        spaces = ["--mount", "--propagation", "private", "--net"] if mounts else ["--net"]
        probe = subprocess.run(["unshare", *spaces, "true"], capture_output=True)
        if probe.returncode == 0:
            env = dict(os.environ, **{ISOLATED: "1"})
            sys.stdout.flush()
            os.execvpe("unshare", ["unshare", *spaces, "--", sys.executable, "-W", "ignore", *argv], env)


def next_second():
    """Sleeps into the next wall-clock second, so the next take gets a name of its own."""
    now = time.time()
    time.sleep(1.02 - (now - int(now)))


class MicrophoneCase(unittest.TestCase):
    """A test that starts with a virtual microphone (self.mic) and a scratch folder (self.scratch), both
    removed afterwards."""

    def setUp(self):
        from support.virtual_mic import VirtualMic
        self.mic = VirtualMic().start()
        self.addCleanup(self.mic.stop)
        self.scratch = Scratch()
        self.addCleanup(self.scratch.remove)
