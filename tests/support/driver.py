"""The one driver of the built dictate: start_dictate() runs it in a scratch folder through pipes, as a
person runs it; finish() ends input and collects both streams at the end (for any such process, also one
started elsewhere); Dictate reads both streams as they arrive, so a test can wait for the dialogue to reach
a point (a prompt, a path, a message) before it acts."""

import os
import signal
import subprocess
import threading
import time

from support.harness import PROMPT, MicrophoneCase, Scratch, binary, next_second, wait_until

PATH_LABEL = b"output_path: "


def start_dictate(scratch, env, args=(), program="dictate"):
    # A take its folder can't hold goes to the temporary folder: the scratch folder's own.
    env = dict(env, TMPDIR=scratch.spare_dir)
    proc = subprocess.Popen([binary(program), *args], cwd=scratch.path, env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.scratch = scratch
    return proc


def wait_for_sound(scratch, proc, timeout=10.0, journal_timeout=5.0):
    """When a take is recording into its journal, waits until sound has reached it (or the program ended):
    a take that end of input closes before any sound arrived is dropped, and a person's closing take has
    sound in it. A take that has just begun may not have its journal yet, so one is waited for too, but only
    briefly, and not at all when the folder can't be written (missing, read-only)."""
    folder_writable = os.path.isdir(scratch.wav_dir) and os.access(scratch.wav_dir, os.W_OK)
    if not scratch.journals() and folder_writable:
        wait_until(lambda: scratch.journals() or proc.poll() is not None, timeout=journal_timeout)
    if scratch.journals():
        wait_until(lambda: scratch.recorded_seconds() > 0 or proc.poll() is not None, timeout=timeout)


def press(proc, keys=b"\n"):
    """Types `keys` once the take that records has sound, as a person does after speaking: an Enter that
    comes before any sound is ignored."""
    if getattr(proc, "scratch", None) is not None and proc.poll() is None:
        wait_for_sound(proc.scratch, proc)
    proc.stdin.write(keys)
    proc.stdin.flush()


def close_input(proc):
    try:
        proc.stdin.close()
    except BrokenPipeError:
        pass


def end_input(proc):
    """Ends a take as a person's Ctrl-D does: once the take that records has sound (for a program started
    by start_dictate), standard input is closed."""
    if getattr(proc, "scratch", None) is not None and proc.poll() is None:
        wait_for_sound(proc.scratch, proc)
    close_input(proc)


def finish(proc, timeout=30):
    """Closes standard input (end of input), once the take that records has sound, and collects what the
    program printed."""
    end_input(proc)
    try:
        out = proc.stdout.read()
        err = proc.stderr.read()
        proc.wait(timeout=timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, out, err


class DictateCase(MicrophoneCase):
    """A test of dictate recording from the virtual microphone through pipes, one take after another."""

    def start(self, env=None):
        proc = start_dictate(self.scratch, env or self.mic.env)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        self.mic.wait_for_recorder()
        return proc

    def take(self, proc, done):
        """Ends the take that is recording and waits until the next one records and `done()` holds."""
        next_second()
        press(proc)
        self.assertTrue(wait_until(done, timeout=20))
        self.mic.wait_for_recorder()


class Dictate:
    def __init__(self, cwd, env, program="dictate", args=()):
        self.proc = start_dictate(Scratch.of(cwd), env, args, program=program)
        self.pid = self.proc.pid
        self.cwd = cwd
        self._out, self._err = bytearray(), bytearray()
        self._lock = threading.Lock()
        self._readers = [threading.Thread(target=self._pump, args=(s, b), daemon=True)
                         for s, b in ((self.proc.stdout, self._out), (self.proc.stderr, self._err))]
        for r in self._readers:
            r.start()

    def _pump(self, stream, into):
        while True:
            chunk = stream.read1(1 << 20)
            if not chunk:
                return
            with self._lock:
                into += chunk

    def out(self):
        with self._lock:
            return bytes(self._out)

    def err(self):
        with self._lock:
            return bytes(self._err)

    def messages(self):
        """The program's own lines on standard error (the libraries' traces left out)."""
        return [l for l in self.err().decode(errors="replace").splitlines() if l.startswith("dictate: ")]

    def prompts(self):
        return self.out().count(PROMPT)

    def paths(self):
        """The WAV paths announced so far, in order."""
        out = self.out()
        found, start = [], 0
        while (i := out.find(PATH_LABEL, start)) >= 0:
            end = out.find(b"\n", i)
            if end < 0:
                break
            found.append(out[i + len(PATH_LABEL):end].decode())
            start = end
        return found

    def wait_for(self, predicate, timeout=20.0, what="the expected output"):
        deadline = time.monotonic() + timeout
        while not predicate():
            if self.proc.poll() is not None and not predicate():
                # Let the readers drain what the program printed last before judging.
                for r in self._readers:
                    r.join(timeout=5)
                if predicate():
                    return
                raise AssertionError(f"dictate ended (status {self.proc.returncode}) before {what}:\n"
                                     f"stdout: {self.out()[-2000:]!r}\nstderr: {self.err()[-3000:]!r}")
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out waiting for {what}:\nstdout: {self.out()[-2000:]!r}\n"
                                     f"stderr: {self.err()[-3000:]!r}")
            time.sleep(0.01)

    def type(self, keys):
        """Types `keys` at once. An Enter that comes before the take has any sound is ignored: a test that
        ends a take just begun waits for its sound first (wait_for_sound)."""
        self.proc.stdin.write(keys)
        self.proc.stdin.flush()

    def signal(self, number=signal.SIGINT):
        self.proc.send_signal(number)

    def close_input(self):
        close_input(self.proc)

    def wait(self, timeout=30):
        """Waits for the program to end by itself; returns its status."""
        status = self.proc.wait(timeout=timeout)
        for r in self._readers:
            r.join(timeout=10)
        return status

    def finish(self, timeout=30):
        """End of input (once the take that records has sound), then the exit status."""
        end_input(self.proc)
        return self.wait(timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for r in self._readers:
            r.join(timeout=5)
        for s in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                s.close()
            except (OSError, ValueError):
                pass
