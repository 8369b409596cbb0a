"""--copy and --type: each take's text on the clipboard of a virtual X display, or typed into a window on it
that has the focus; without a display, one line of advice and dictation as always; a clipboard tool that
fails or hangs costs the take neither its text on screen nor its file."""

import os
import stat
import sys
import unittest

from support.driver import Dictate
from support.harness import MicrophoneCase, Scratch, private_network, wait_until
from support.scripted_server import ScriptedServer, text_reply
from support.virtual_display import VirtualDisplay


class Desktop(MicrophoneCase):
    def start(self, args, env):
        dictate = Dictate(self.scratch.path, env, args=args)
        self.addCleanup(dictate.kill)
        self.mic.wait_for_recorder()
        return dictate

    def take(self, dictate):
        """Ends the take that records once it has sound; returns once its text is saved and the next take
        records, by which time the text has been handed on."""
        prompts, texts = dictate.prompts(), len(self.scratch.transcripts())
        dictate.wait_for(lambda: self.scratch.recorded_seconds() > 0, what="sound in the take")
        dictate.type(b"\n")
        dictate.wait_for(lambda: dictate.prompts() > prompts and len(self.scratch.transcripts()) > texts,
                         what="the next prompt")
        self.mic.wait_for_recorder()

    @staticmethod
    def told(dictate):
        """The program's lines about the clipboard and typing (a closing take's sound may be told as silent)."""
        return [m for m in dictate.messages() if "clipboard" in m or "typed" in m]

    def display(self):
        display = VirtualDisplay()
        self.addCleanup(display.stop)
        return display


class Delivery(Desktop):
    def run_takes(self, args, env, texts):
        """One take per text, each answered with it, then end of input (a take whose text is empty, which is
        neither copied nor typed); returns the finished program."""
        with ScriptedServer([text_reply(t) for t in texts], default=text_reply("")):
            dictate = self.start(args, env)
            for _ in texts:
                self.take(dictate)
            self.assertEqual(dictate.finish(), 0, dictate.err())
        # Shown and saved as always.
        self.assertEqual(len(self.scratch.transcripts()), len(texts) + 1)
        for text in texts:
            self.assertIn(text.replace("\x07", "\\x07").encode() + b"\n", dictate.out())
        return dictate

    def fresh_scratch(self):
        """A scratch folder for the next row's takes."""
        self.scratch = Scratch()
        self.addCleanup(self.scratch.remove)

    def test_copy_leaves_each_text_on_the_clipboard_also_after_dictate_ends(self):
        display = self.display()
        texts = ["Hello world.", "Zweite Zeile: é ü ß ✓"]
        with ScriptedServer([text_reply(t) for t in texts], default=text_reply("")):
            dictate = self.start(["--copy"], display.env(self.mic.env))
            for text in texts:
                self.take(dictate)
                # xclip takes the clipboard in the process it leaves behind, a moment after it returns.
                self.assertTrue(wait_until(lambda: display.clipboard() == text), display.clipboard())
            self.assertEqual(dictate.finish(), 0, dictate.err())
        # The last take's text was empty: the clipboard keeps the one before, with dictate gone.
        self.assertEqual(display.clipboard(), texts[-1])
        self.assertEqual(self.told(dictate), [])

    def test_type_types_each_text_and_a_space_but_no_control_character(self):
        # (arguments, the takes' texts, what the window must hold)
        rows = [
            (["--type"], ["Hello world.", "two\nlines\tand a\x07bell"], "Hello world. two lines and abell "),
            (["--type", "--type-newlines"], ["one\ntwo", "three"], "one\ntwo three "),
        ]
        for args, texts, typed in rows:
            with self.subTest(args=args):
                self.fresh_scratch()
                display = self.display()
                display.open_recorder()
                dictate = self.run_takes(args, display.env(self.mic.env), texts)
                self.assertTrue(display.wait_for_typed(typed), display.typed[-1:])
                self.assertEqual(self.told(dictate), [])
                display.stop()

    def test_without_a_display_one_line_each_and_dictation_goes_on(self):
        env = dict(self.mic.env)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        dictate = self.run_takes(["--copy", "--type"], env, ["First take.", "Second take."])
        (copy, typed) = self.told(dictate)
        self.assertIn("the text can't be copied to the clipboard: there is no desktop session", copy)
        self.assertIn("install wl-clipboard (Wayland) or xclip (X11)", copy)
        self.assertIn("the text can't be typed: there is no desktop session", typed)
        self.assertIn("install xdotool (X11), or wtype or ydotool (Wayland)", typed)

    def test_a_tool_in_the_folder_dictate_runs_in_is_never_run(self):
        planted = os.path.join(self.scratch.path, "xclip")
        ran = os.path.join(self.scratch.path, "ran")
        with open(planted, "w") as f:
            f.write(f"#!/bin/sh\ntouch {ran}\n")
        os.chmod(planted, stat.S_IRWXU)
        # An empty entry and "." both mean the working folder to a shell.
        env = dict(self.mic.env, DISPLAY=":99", PATH="::.:/nonexistent")
        env.pop("WAYLAND_DISPLAY", None)
        dictate = self.run_takes(["--copy"], env, ["First take."])
        self.assertFalse(os.path.exists(ran))
        self.assertEqual(self.told(dictate), ["dictate: the text can't be copied to the clipboard: no clipboard tool "
                                              "is installed: install xclip or xsel (a Debian package of that name); "
                                              "dictation goes on, the text is shown and saved as always"])

    def test_a_clipboard_tool_that_fails_or_hangs_is_told_each_take_and_stopped(self):
        tools = os.path.join(self.scratch.path, "tools")
        os.mkdir(tools)
        # (what the stand-in xclip does, what the line says)
        rows = [
            ("echo \"Error: Can't open display: :99\" >&2; exit 1",
             "xclip: ended with status 1 (Error: Can't open display: :99)"),
            # More words than a pipe holds: read to the end, so that the tool can end.
            ("yes 'Error: no display' | head -n 20000 >&2; exit 3", "xclip: ended with status 3 (Error: no display)"),
            ("exec sleep 600", "xclip: was still running after 3.0 s, and was stopped"),
        ]
        for script, said in rows:
            with self.subTest(said):
                self.fresh_scratch()
                tool = os.path.join(tools, "xclip")
                with open(tool, "w") as f:
                    f.write(f"#!/bin/sh\ncat >/dev/null\n{script}\n")
                os.chmod(tool, stat.S_IRWXU)
                env = dict(self.mic.env, DISPLAY=":99", PATH=tools + os.pathsep + os.environ["PATH"])
                env.pop("WAYLAND_DISPLAY", None)
                dictate = self.run_takes(["--copy"], env, ["First take.", "Second take."])
                self.assertEqual(self.told(dictate), [f"dictate: this take's text was not copied to the "
                                                      f"clipboard: {said}; it is shown and saved as always"] * 2)


if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
