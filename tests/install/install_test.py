"""What a person gets from `cmake --install` and from the Debian package: the programs and the README in
standard places, and a packaged server that finds its speech model on its own.

usage: install_test.py BUILD_DIR SOURCE_DIR POCKETSPHINX_TEST_DATA_DIR
"""

import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from support import server_process

BUILD = SOURCE = TEST_DATA = ""
PROGRAMS = ["dictate", "dictate-enrol", "dictate-server"]


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="dictate-install-test-")
        cls.prefix = os.path.join(cls.work, "prefix")
        run("cmake", "--install", BUILD, "--prefix", cls.prefix)
        packages = os.path.join(cls.work, "packages")
        run("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", packages)
        debs = [name for name in os.listdir(packages) if name.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(packages, debs[0])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_install_puts_programs_on_the_path_and_the_readme_in_the_docs(self):
        for program in PROGRAMS:
            self.assertTrue(os.access(os.path.join(self.prefix, "bin", program), os.X_OK), program)
        readme = os.path.join(self.prefix, "share", "doc", "dictate", "README.md")
        self.assertTrue(filecmp.cmp(readme, os.path.join(SOURCE, "README.md"), shallow=False))

    def test_package_holds_the_programs_and_depends_on_their_libraries_and_the_model(self):
        listed = {line.split()[-1] for line in run("dpkg-deb", "--contents", self.deb).splitlines()}
        for path in ["./usr/share/doc/dictate/README.md"] + ["./usr/bin/" + p for p in PROGRAMS]:
            self.assertIn(path, listed)
        depends = {d.split()[0] for d in run("dpkg-deb", "--field", self.deb, "Depends").split(", ")}
        self.assertLessEqual({"libportaudio2", "libcurl4", "pocketsphinx-en-us"}, depends)

    def test_packaged_server_transcribes_with_the_model_it_finds_itself(self):
        root = os.path.join(self.work, "root")
        run("dpkg-deb", "--extract", self.deb, root)
        take = os.path.join(self.work, "take.wav")
        subprocess.run(["sox", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1",
                        os.path.join(TEST_DATA, "goforward.raw"), "-r", "48000", take], check=True)
        server = server_process.Server()
        server.args = [os.path.join(root, "usr", "bin", "dictate-server"), "--host", server_process.HOST,
                       "--port", "0"]
        with server, open(take, "rb") as f:
            status, reply = server_process.upload(server, f.read())
        self.assertEqual((status, reply.get("text")), (200, server_process.GO_FORWARD), reply)


if __name__ == "__main__":
    BUILD, SOURCE, TEST_DATA = sys.argv[1:]
    unittest.main(argv=[sys.argv[0], "-v"])
