"""--copy and --type: how long after Enter a take's text is on the clipboard, or typed into the window with
the focus, beside the moment its line appears on standard output. The built dictate records from the
virtual microphone (the sound its keep-alive plays) and a scripted server on port 4999 (in a private network when run as root) answers every
take at once with the same text, so the figures are dictate's and the tools' own; the display is a virtual
X display (Xvfb) with xclip and xdotool. The clipboard is read with `xclip -o` over and over from Enter on;
the typed text is seen as the recording window reports each key. Typing speed is the characters typed over
the time from the first key to the last.

    PYTHONPATH=tests DICTATE_BIN=build/app/dictate python3 bench/desktop_delivery.py [TAKES]
"""

import os
import statistics
import sys
import time

from cycle_turnaround import StdoutClock
from support.driver import finish, press, start_dictate
from support.harness import PROMPT, Scratch, private_network
from support.scripted_server import ScriptedServer, text_reply
from support.virtual_display import VirtualDisplay
from support.virtual_mic import VirtualMic

SHORT = "Please send the report to the whole team before Friday."
# 225 characters: a long take's worth.
LONG = ("The quarterly figures came in this morning, and they look better than we expected. Sales rose in "
        "every region but the north, where the new shop opened late. Let us meet on Monday to go through "
        "them and plan the next step, ok?")


def run(mic, display, args, text, takes, measure):
    scratch = Scratch()
    proc = start_dictate(scratch, display.env(mic.env), args)
    found = []
    try:
        # The closing take, which end of input ends, gets no text to hand on.
        with ScriptedServer([text_reply(text)] * takes, default=text_reply("")):
            clock = StdoutClock(proc.stdout)
            _, offset = clock.wait_for(PROMPT, 0)
            for _ in range(takes):
                mic.wait_for_recorder()
                pressed = time.monotonic()
                press(proc)
                _, offset = clock.wait_for(b"output_path: ", offset)
                _, offset = clock.wait_for(b"\n", offset)
                shown, offset = clock.wait_for(b"\n", offset)
                found.append((shown - pressed, measure(pressed)))
                _, offset = clock.wait_for(PROMPT, offset)
            finish(proc)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        scratch.remove()
    return found


def main():
    private_network(sys.argv)
    takes = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    window = [""]  # what the recording window holds so far
    rates, first_keys = [], []

    def on_clipboard(pressed):
        while display.clipboard() != SHORT:
            pass
        return time.monotonic() - pressed

    def typed(text):
        def measure(pressed):
            window[0] += text + " "
            if not display.wait_for_typed(window[0]):
                raise RuntimeError(f"the text was not typed: {display.typed[-1:]!r} for {window[0]!r}")
            # Every key that came after Enter is this take's.
            times = [t for t in display.typed_at if t > pressed]
            rates.append(len(text) / (times[-1] - times[0]))
            first_keys.append(times[0] - pressed)
            return times[-1] - pressed
        return measure

    with VirtualMic() as mic:
        display = VirtualDisplay()
        try:
            copied = run(mic, display, ["--copy"], SHORT, takes, on_clipboard)
            display.open_recorder()
            typed_short = run(mic, display, ["--type"], SHORT, takes, typed(SHORT))
            short_rates, rates[:] = list(rates), []
            first = [k - s for k, (s, _) in zip(first_keys, typed_short)]
            typed_long = run(mic, display, ["--type"], LONG, takes, typed(LONG))
        finally:
            display.stop()

    def line(what, found):
        shown = sorted(s * 1000 for s, _ in found)
        there = sorted(d * 1000 for _, d in found)
        after = sorted((d - s) * 1000 for s, d in found)
        print(f"{what}, {len(found)} takes: Enter -> text line median {statistics.median(shown):.0f} ms; "
              f"Enter -> delivered median {statistics.median(there):.0f} ms, worst {there[-1]:.0f} ms; "
              f"after the text line median {statistics.median(after):.0f} ms, worst {after[-1]:.0f} ms")

    line(f"--copy, {len(SHORT)} characters", copied)
    line(f"--type, {len(SHORT)} characters (last key)", typed_short)
    line(f"--type, {len(LONG)} characters (last key)", typed_long)
    for what, r in ((len(SHORT), short_rates), (len(LONG), rates)):
        print(f"  typing {what} characters: median {statistics.median(r):.0f} characters/s, "
              f"slowest {min(r):.0f}")
    first = sorted(f * 1000 for f in first)
    print(f"  typing's first key after the text line: median {statistics.median(first):.0f} ms, "
          f"worst {first[-1]:.0f} ms")
    print(f"  load average {os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
