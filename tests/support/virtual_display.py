"""A virtual X display for the tests of --copy and --type (Debian's xvfb): its own server on a display number
it picks itself, a clipboard read with xclip, and a small window that keeps the focus and records what is
typed into it. Everything started here ends with stop()."""

import os
import subprocess
import sys
import threading
import time

from support.harness import wait_until

# The window that records typed keys: a Tk text box that takes the focus once it is on screen, says so on
# standard output, and writes its whole content there as one JSON line after every key.
RECORDER = r"""
import json, sys, tkinter
root = tkinter.Tk()
root.geometry("400x200+0+0")
box = tkinter.Text(root)
box.pack()
told = []
def focused(event):
    if not told:
        told.append(1)
        print("focused", flush=True)
def key(event):
    print(json.dumps(box.get("1.0", "end-1c")), flush=True)
box.bind("<FocusIn>", focused)
box.bind("<KeyRelease>", lambda e: root.after_idle(key, e))
root.bind("<Map>", lambda e: box.focus_force())
root.mainloop()
"""


class VirtualDisplay:
    def __init__(self):
        reading, writing = os.pipe()
        # -displayfd: the server picks a free display and writes its number once it takes connections.
        # -r: no key repeat. On a loaded machine the typing tool can be held up between a key's press and its
        # release past the repeat delay, and the display would then type that letter again and again.
        self.server = subprocess.Popen(["Xvfb", "-displayfd", str(writing), "-nolisten", "tcp", "-r", "-screen",
                                        "0", "640x480x24"], pass_fds=(writing,), stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        os.close(writing)
        with os.fdopen(reading) as announced:
            number = announced.readline().strip()
        if not number:
            self.server.wait()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        self.recorder = None
        self.typed = []  # the recorder's content after each key, in order
        self.typed_at = []  # when each of those arrived here (time.monotonic())
        self._focused = threading.Event()

    def env(self, base):
        env = dict(base, DISPLAY=self.display)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def clipboard(self):
        """The clipboard's text, or None when nothing holds it."""
        got = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=self.env(os.environ),
                             capture_output=True, timeout=10)
        return got.stdout.decode() if got.returncode == 0 else None

    def open_recorder(self):
        """Opens the recording window and returns once it has the keyboard focus."""
        self.recorder = subprocess.Popen([sys.executable, "-c", RECORDER], env=self.env(os.environ),
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=self._read_recorder, daemon=True).start()
        if not self._focused.wait(timeout=20):
            raise RuntimeError("the recording window never got the focus")

    def _read_recorder(self):
        import json
        for line in self.recorder.stdout:
            if line.strip() == b"focused":
                self._focused.set()
            else:
                self.typed_at.append(time.monotonic())
                self.typed.append(json.loads(line))

    def wait_for_typed(self, text, timeout=20):
        """True once the recording window holds `text`."""
        return wait_until(lambda: self.typed and self.typed[-1] == text, timeout=timeout)

    def stop(self):
        # The display goes last: a clipboard tool left holding the text ends when its display does.
        for process in (self.recorder, self.server):
            if process is not None and process.poll() is None:
                process.terminate()
                process.wait()
        if self.recorder is not None:
            self.recorder.stdout.close()
        # What a clipboard tool left behind to hold the text loses its display now and ends; anything still
        # there after that is ended here, so no test leaves a process behind.
        if not wait_until(lambda: not self.left_behind(), timeout=10):
            for pid in self.left_behind():
                try:
                    os.kill(pid, 9)
                except ProcessLookupError:
                    pass

    def left_behind(self):
        """The processes still running on this display (by DISPLAY in their environment), but its own."""
        mark = b"DISPLAY=" + self.display.encode() + b"\0"
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if mark in f.read() + b"\0":
                        with open(f"/proc/{entry}/stat", "rb") as s:
                            if s.read().split(b") ")[-1][:1] != b"Z":
                                found.append(int(entry))
            except OSError:
                pass
        return found
