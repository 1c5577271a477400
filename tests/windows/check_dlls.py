"""Checks that a Windows program imports only DLLs that every Windows has.

Usage: check_dlls.py OBJDUMP PROGRAM.exe
"""

import subprocess
import sys

# The system's own libraries: the C library (msvcrt), the kernel, Winsock,
# the security library and the certificate functions.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "advapi32.dll", "user32.dll", "secur32.dll", "crypt32.dll"}


def main():
    objdump, program = sys.argv[1:3]
    out = subprocess.run([objdump, "-p", program], capture_output=True, text=True, check=True, timeout=60).stdout
    dlls = sorted(line.split(":", 1)[1].strip() for line in out.splitlines() if "DLL Name:" in line)
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]
    print(f"{program}: {', '.join(dlls)}")
    if not dlls:
        print("no DLL imports found: not a Windows program?")
        return 1
    if foreign:
        print(f"needs DLLs that Windows does not have: {', '.join(foreign)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
