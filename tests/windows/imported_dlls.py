"""Fails when a Windows program imports a DLL that Windows does not ship, which a person who copies the
.exe alone would not have: the compiler's or threads' runtime (libstdc++-6.dll, libgcc_s_seh-1.dll,
libwinpthread-1.dll), or a library meant to be linked in (libcurl, PortAudio).

    python3 imported_dlls.py OBJDUMP PROGRAM.exe
"""

import re
import subprocess
import sys

# System DLLs of every Windows 10 and 11, those the program may come to need included.
SHIPPED = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "crypt32.dll", "gdi32.dll", "iphlpapi.dll", "kernel32.dll",
    "msvcrt.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll", "secur32.dll", "setupapi.dll", "shell32.dll",
    "shlwapi.dll", "user32.dll", "userenv.dll", "version.dll", "winmm.dll", "ws2_32.dll", "wldap32.dll",
    "normaliz.dll", "avrt.dll", "dsound.dll", "mmdevapi.dll", "ksuser.dll",
}


def imported(objdump, program):
    dump = subprocess.run([objdump, "-p", program], check=True, capture_output=True, text=True).stdout
    return sorted({name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)})


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    names = imported(argv[1], argv[2])
    foreign = [name for name in names if name not in SHIPPED]
    if not names:
        print(f"{argv[2]}: no imported DLLs found; is it a Windows program?", file=sys.stderr)
        return 1
    if foreign:
        print(f"{argv[2]} imports DLLs that Windows does not ship: {', '.join(foreign)}", file=sys.stderr)
        return 1
    print(f"{argv[2]} imports only Windows' own DLLs: {', '.join(names)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
