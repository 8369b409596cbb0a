"""The whole product as shipped, for the bundled-server test and scripts/demo: dictate-server on port 4999, a
person's recorded sentence played into the virtual microphone, dictate recording it until end of input.

Programs come from DICTATE_BIN and DICTATE_SERVER_BIN; the sentence from the speech model's test data, found
through pocketsphinx's pkg-config file (as the build finds it) unless POCKETSPHINX_TEST_DATA names a folder.
"""

import os
import socket
import subprocess
import time

from support.driver import finish, start_dictate
from support.harness import binary, wait_until
from support.virtual_mic import VirtualMic

SENTENCE_TEXT = "Go forward ten meters"


def test_data_dir():
    folder = os.environ.get("POCKETSPHINX_TEST_DATA")
    if folder:
        return folder
    datadir = subprocess.run(["pkg-config", "--variable=datadir", "pocketsphinx"], capture_output=True,
                             text=True, check=True).stdout.strip()
    return os.path.join(datadir, "test", "data")


def recorded_sentence(folder):
    """A 48 kHz WAV, written into `folder`, of a person reading SENTENCE_TEXT."""
    path = os.path.join(folder, "sentence.wav")
    subprocess.run(["sox", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1",
                    os.path.join(test_data_dir(), "goforward.raw"), "-r", "48000", path], check=True)
    return path


def port_answers(port=4999):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def start_server(timeout=30):
    """Starts dictate-server on port 4999 and waits until it answers; None if it did not come up (then it
    is stopped). The caller stops a returned process."""
    server = subprocess.Popen([binary("dictate-server")], stderr=subprocess.DEVNULL)
    if wait_until(lambda: port_answers() or server.poll() is not None, timeout=timeout) and port_answers():
        return server
    if server.poll() is None:
        server.kill()
    server.wait()
    return None


def dictate_sentence(scratch, sentence):
    """Runs dictate in `scratch` with a virtual microphone that plays `sentence`, ends the take with end of
    input, and returns (status, stdout, stderr)."""
    with VirtualMic() as mic:
        proc = start_dictate(scratch, mic.env)
        mic.wait_for_recorder()
        mic.play(sentence)
        time.sleep(0.4)  # lets the sound server hand the last of it to the take
        return finish(proc, timeout=60)
