"""Checks the zip a Windows user gets (made by scripts/build-windows with cpack): dictate.exe and the README
at its top, and a licence text for each part linked into the .exe, each saying what it must.

    python3 release_zip.py ZIP
"""

import sys
import zipfile

# A file in licences/ whose name starts so, and words its text must hold.
LICENCES = {
    "libcurl-COPYING": "Permission to use, copy, modify, and distribute",
    "portaudio-LICENSE": "PortAudio Portable Real-Time Audio Library",
    "mingw-w64-runtime-and-winpthreads": "winpthreads",
    "gcc-runtime-library-exception": "GCC RUNTIME LIBRARY EXCEPTION",
    "GPL-3": "GNU GENERAL PUBLIC LICENSE",
}


def problems(path):
    with zipfile.ZipFile(path) as zip_file:
        names = zip_file.namelist()
        top = names[0].split("/")[0]
        found = []
        for wanted in ("dictate.exe", "README.txt"):
            if f"{top}/{wanted}" not in names:
                found.append(f"no {wanted} at the top")
        for start, words in LICENCES.items():
            files = [n for n in names if n.startswith(f"{top}/licences/{start}")]
            if not files:
                found.append(f"no licence text {start}")
            elif words not in zip_file.read(files[0]).decode("utf-8", errors="replace"):
                found.append(f"{files[0]} does not say {words!r}")
        return found


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    found = problems(argv[1])
    for problem in found:
        print(f"{argv[1]}: {problem}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
