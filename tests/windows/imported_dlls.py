"""Fails when a Windows program imports a DLL that Windows does not ship, which a person who copies the
.exe alone would not have: the compiler's or threads' runtime (libstdc++-6.dll, libgcc_s_seh-1.dll,
libwinpthread-1.dll), or a library meant to be linked in (libcurl, PortAudio).

    python3 imported_dlls.py OBJDUMP PROGRAM.exe
"""

import re
import subprocess
import sys

# System DLLs of every Windows 10 and 11 that the program's libraries call.
SHIPPED = {"advapi32.dll", "bcrypt.dll", "crypt32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "user32.dll",
           "winmm.dll", "ws2_32.dll", "secur32.dll", "shell32.dll", "ntdll.dll", "avrt.dll", "dsound.dll"}

dump = subprocess.run([sys.argv[1], "-p", sys.argv[2]], check=True, capture_output=True, text=True).stdout
names = sorted({name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)})
foreign = [name for name in names if name not in SHIPPED]
if not names:
    sys.exit(f"{sys.argv[2]}: no imported DLLs found; not a Windows program?")
if foreign:
    sys.exit(f"{sys.argv[2]} imports DLLs that Windows does not ship: {', '.join(foreign)}")
print(f"{sys.argv[2]} imports only Windows' own DLLs: {', '.join(names)}")
