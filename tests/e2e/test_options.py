"""The command line of the built dictate: the input devices listed and chosen (the virtual microphone is
listed twice, under its own name and as the default), and the options that print and exit."""

import os
import re
import subprocess
import sys
import unittest

from support.driver import finish, start_dictate
from support.harness import MicrophoneCase, binary, private_network, read_wav, wait_until
from support.scripted_server import ScriptedServer, text_reply
from support.virtual_mic import DEVICE

CANDIDATE = re.compile(r"^dictate: [* ] +\d+  (.+)  \(ALSA, \d+ Hz\)$")


class Options(MicrophoneCase):
    def run_dictate(self, *args, env=None):
        return subprocess.run([binary("dictate"), *args], cwd=self.scratch.path, env=env or self.mic.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)

    def assert_nothing_recorded(self):
        self.assertEqual(self.scratch.wavs() + self.scratch.journals(), [])

    def test_list_devices_help_and_version_print_and_record_nothing(self):
        listed = self.run_dictate("--list-devices")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertRegex(listed.stdout.decode(), rf"(?m)^  +\d+  {DEVICE}  \(ALSA, \d+ Hz\)$")
        self.assertRegex(listed.stdout.decode(), r"(?m)^\* +\d+  default  \(ALSA, \d+ Hz\)$")
        for option, start in (("--help", b"Usage: dictate"), ("--version", b"dictate ")):
            shown = self.run_dictate(option)
            self.assertEqual((shown.returncode, shown.stderr), (0, b""), option)
            self.assertTrue(shown.stdout.startswith(start), shown.stdout)
        self.assert_nothing_recorded()

    def test_no_devices_or_a_broken_sound_setup_say_what_to_check_and_exit_1(self):
        empty = os.path.join(self.scratch.path, "empty.conf")
        open(empty, "w").close()
        no_server = dict(self.mic.env, PULSE_SERVER="unix:" + os.path.join(self.scratch.path, "no-such-socket"))
        # (what is wrong, arguments, environment, what the one line says)
        rows = [
            ("no input device", ["--list-devices"], no_server, "no input device found: is a microphone connected"),
            # The audio library asserts on an empty ALSA configuration, while it lists the devices and when a
            # take starts: the process would end with SIGABRT and no word.
            ("empty ALSA configuration", ["--list-devices"], dict(self.mic.env, ALSA_CONFIG_PATH=empty),
             "ALSA configuration"),
            ("empty ALSA configuration, recording", [], dict(self.mic.env, ALSA_CONFIG_PATH=empty),
             "ALSA configuration"),
        ]
        for name, args, env, said in rows:
            with self.subTest(name):
                done = self.run_dictate(*args, env=env)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertNotIn(b"Input devices", done.stdout)
                (line,) = done.stderr.decode().splitlines()
                self.assertTrue(line.startswith("dictate: "), line)
                self.assertIn(said, line)
                self.assertIn("ALSA configuration", line)

    def test_what_cant_be_followed_exits_2_with_the_devices_that_could_be_meant(self):
        everyone = [DEVICE, "default"]
        rows = [
            (["--device", "no-such-microphone"], {}, "no input device is named like 'no-such-microphone'", everyone),
            (["--device", "A"], {}, "more than one input device is named like 'A'", everyone),  # both have an a
            ([], {"DICTATE_DEVICE": "99"}, "no input device is named like '99'", everyone),
            (["--no-such-option"], {}, "unknown option '--no-such-option'", []),
        ]
        for args, variables, problem, candidates in rows:
            with self.subTest(args=args, variables=variables):
                refused = self.run_dictate(*args, env=dict(self.mic.env, **variables))
                self.assertEqual((refused.returncode, refused.stdout), (2, b""), refused.stderr)
                lines = refused.stderr.decode().splitlines()
                self.assertTrue(lines[0].startswith("dictate: " + problem), lines)
                self.assertEqual(sorted(CANDIDATE.match(l)[1] for l in lines[1:]), sorted(candidates), lines)
        self.assert_nothing_recorded()

    def test_the_device_chosen_is_the_one_recorded(self):
        # The default input hears another sink from here on: only the chosen device hears what is played.
        self.mic.pactl("load-module", "module-null-sink", "sink_name=elsewhere", "rate=48000", "channels=1")
        self.mic.pactl("set-default-source", "elsewhere.monitor")
        tone = os.path.join(self.scratch.path, "tone.wav")
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "1", "-b", "16", tone, "synth", "1", "sine", "440",
                        "vol", "0.5"], check=True)
        proc = start_dictate(self.scratch, self.mic.env, ["--device", DEVICE.upper()[:7]])
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        self.mic.wait_for_recorder()
        self.mic.play(tone)
        self.assertTrue(wait_until(lambda: self.scratch.recorded_seconds() > 1.5))
        status, _, err = finish(proc)
        self.assertEqual(status, 0, err)
        (name,) = self.scratch.wavs()
        _, samples, _ = read_wav(os.path.join(self.scratch.wav_dir, name))
        self.assertGreater(max(map(abs, samples)), 8000)  # the tone peaks at 16384
        self.assertNotIn(b" is silent", err)

    def test_the_configuration_file_sets_options_the_command_line_wins_and_a_bad_line_exits_2(self):
        config_home = os.path.join(self.scratch.path, "config-home")
        os.makedirs(os.path.join(config_home, "dictate"))
        config = os.path.join(config_home, "dictate", "config")
        env = dict(self.mic.env, XDG_CONFIG_HOME=config_home, HOME=os.path.join(self.scratch.path, "nowhere"))
        api = "/v1/audio/transcriptions"
        with open(config, "w") as f:
            f.write(f"# where the takes go\nserver = http://127.0.0.1:4999{api}\nmodel = from-the-file\n")
        with ScriptedServer([text_reply("From the file.")]) as server:
            proc = start_dictate(self.scratch, env, ["--model", "from-the-line"])
            self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
            self.mic.wait_for_recorder()
            status, out, err = finish(proc)
        self.assertEqual(status, 0, err)
        self.assertTrue(out.endswith(b"\nFrom the file.\n"), out)
        (request,) = server.requests
        self.assertEqual(request.request_line, f"POST {api} HTTP/1.1")
        self.assertIn(('form-data; name="model"', b"from-the-line"),
                      [(p[0]["content-disposition"], p[1]) for p in request.parts()])

        shown = self.run_dictate("--help", env=env)
        self.assertIn(config.encode(), shown.stdout.replace(b"\n", b""))
        with open(config, "a") as f:
            f.write("quiet = maybe\n")
        refused = self.run_dictate(env=env)
        self.assertEqual((refused.returncode, refused.stdout), (2, b""), refused.stderr)
        self.assertEqual(refused.stderr.decode().splitlines(), [
            f"dictate: configuration file {config}, line 4: --quiet is true or false (or yes or no), not 'maybe'"])
        # A pipe would be waited on for ever (no one writes to it), a folder can't be read as one.
        os.remove(config)
        for make, what in ((os.mkfifo, "it is not a plain file"), (os.mkdir, "it is a folder")):
            with self.subTest(what):
                make(config)
                try:
                    refused = self.run_dictate(env=env)
                finally:
                    (os.rmdir if os.path.isdir(config) else os.remove)(config)
                self.assertEqual((refused.returncode, refused.stdout), (2, b""), refused.stderr)
                self.assertEqual(refused.stderr.decode().splitlines(),
                                 [f"dictate: configuration file {config} can't be read: {what}"])

if __name__ == "__main__":
    private_network(sys.argv)
    unittest.main()
