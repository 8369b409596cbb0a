"""Running the Windows build under Wine for tests: one Wine prefix shared by every test (made on first use,
in DICTATE_WINE_PREFIX), whose C:/Whisper and D:/Whisper are pointed at a test's Scratch folders, and
programs started in it with a virtual microphone as their default recording device. Wine's audio driver
talks to the PulseAudio server named in the environment, so a VirtualMic's env is all it needs.

One test at a time may use the prefix (ctest: RESOURCE_LOCK wine_prefix): the drive mappings are shared.

From the shell:
    python3 wine.py run -- PROGRAM.exe [ARGS...]
runs PROGRAM in the shared prefix with a fresh virtual microphone and exits with its status.
"""

import fcntl
import os
import shutil
import subprocess
import sys


def wine_env(base, prefix):
    env = dict(base)
    env["WINEPREFIX"] = prefix
    env["WINEDEBUG"] = "-all"
    # No Mono or Gecko: with no display, their install prompts would wait for ever.
    env["WINEDLLOVERRIDES"] = "mscoree=;mshtml="
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


class WinePrefix:
    def __init__(self, path=None):
        path = path or os.environ.get("DICTATE_WINE_PREFIX")
        if not path:
            raise RuntimeError("set DICTATE_WINE_PREFIX to the folder of the tests' Wine prefix")
        self.path = os.path.abspath(path)

    def env(self, base=None):
        return wine_env(os.environ if base is None else base, self.path)

    def ensure(self):
        """Makes the prefix unless a finished one is there; safe against tests racing to make it."""
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        with open(self.path + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            done = os.path.join(self.path, ".made")
            if not os.path.exists(done):
                shutil.rmtree(self.path, ignore_errors=True)
                subprocess.run(["wine", "wineboot", "--init"], env=self.env(), check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
                self.stop()
                open(done, "w").close()
        return self

    def bind(self, scratch):
        """Points C:/Whisper at scratch.wav_dir and the D: drive at the folder holding
        scratch.transcript_dir, replacing the last test's mappings."""
        self._link(os.path.join(self.path, "drive_c", "Whisper"), scratch.wav_dir)
        self._link(os.path.join(self.path, "dosdevices", "d:"), os.path.dirname(scratch.transcript_dir))

    @staticmethod
    def _link(link, target):
        if os.path.islink(link):
            os.unlink(link)
        elif os.path.exists(link):
            raise RuntimeError(f"{link} is not a link made by the tests; not replacing it")
        os.symlink(target, link)

    def start(self, argv, env, **popen):
        """Starts `argv` (a .exe and its arguments) under Wine with `env` (a VirtualMic's) as its
        environment; takes subprocess.Popen's keyword arguments."""
        return subprocess.Popen(["wine", *argv], env=self.env(env), **popen)

    def stop(self):
        """Ends every process left in the prefix, Wine's own services included, and waits for them."""
        subprocess.run(["wineserver", "-k"], env=self.env(), stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env(), stderr=subprocess.DEVNULL)


def main(argv):
    if len(argv) < 4 or argv[1] != "run" or argv[2] != "--":
        print(__doc__, file=sys.stderr)
        return 2
    from support.virtual_mic import VirtualMic
    prefix = WinePrefix().ensure()
    try:
        with VirtualMic() as mic:
            return prefix.start(argv[3:], mic.env).wait()
    finally:
        prefix.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
