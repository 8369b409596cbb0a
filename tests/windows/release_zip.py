"""Checks the zip a Windows user gets (scripts/build-windows): dictate.exe and the README at its top, and a
licence text for each part linked into the .exe, holding the words that say it is that licence.

    python3 release_zip.py ZIP
"""

import sys
import zipfile

WANTED = {
    "dictate.exe": None,
    "README.txt": "Ctrl-Z",
    "licences/libcurl-COPYING.txt": "Permission to use, copy, modify, and distribute",
    "licences/portaudio-LICENSE.txt": "PortAudio Portable Real-Time Audio Library",
    "licences/mingw-w64-runtime-and-winpthreads.txt": "winpthreads",
    "licences/gcc-runtime-library-exception.txt": "GCC RUNTIME LIBRARY EXCEPTION",
    "licences/GPL-3.txt": "GNU GENERAL PUBLIC LICENSE",
}

with zipfile.ZipFile(sys.argv[1]) as zip_file:
    top = zip_file.namelist()[0].split("/")[0]
    problems = []
    for name, words in WANTED.items():
        try:
            text = zip_file.read(f"{top}/{name}").decode("utf-8", errors="replace")
        except KeyError:
            problems.append(f"no {name}")
            continue
        if words and words not in text:
            problems.append(f"{name} does not say {words!r}")
for problem in problems:
    print(f"{sys.argv[1]}: {problem}", file=sys.stderr)
sys.exit(1 if problems else 0)
