#!/usr/bin/env bash
# Builds the Windows ZIP (after ctest --preset windows, from the same build
# tree) and checks what is inside: exactly quiln.exe, the licence, the README
# and the manual in one folder, the texts with Windows line ends, a program
# that needs only the DLLs every Windows has and that runs from the unpacked
# folder (under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/windows
version=$(sed -n 's/^project(quiln VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip="quiln-$version-win64.zip"

echo "== windows package"
cmake --build --preset windows -j "$(nproc)" --target quiln windows_texts
rm -f "$build/$zip"
(cd "$build" && cpack -G ZIP >/dev/null)
[ -f "$build/$zip" ] || { echo "$zip not built"; exit 1; }

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
/usr/bin/python3 - "$build/$zip" "$unpacked" "$version" <<'PY'
import sys
import zipfile

path, target, version = sys.argv[1:4]
top = f"quiln-{version}-win64/"
expected = {top + name for name in ("quiln.exe", "LICENSE.txt", "README.txt", "quiln.txt")}
with zipfile.ZipFile(path) as z:
    names = {n for n in z.namelist() if not n.endswith("/")}
    assert names == expected, f"contents: {sorted(names)}"
    for name in ("LICENSE.txt", "README.txt", "quiln.txt"):
        text = z.read(top + name)
        assert text.count(b"\n") > 5 and text.count(b"\n") == text.count(b"\r\n"), f"{name}: not CR LF text"
        assert b"\x08" not in text and b"\x1b" not in text, f"{name}: formatting codes left"
    assert b"ISC License" in z.read(top + "LICENSE.txt")
    assert b"Copyright (c) 2026 quiln developers" in z.read(top + "LICENSE.txt")
    assert b"## Windows" in z.read(top + "README.txt")
    assert b"SYNOPSIS" in z.read(top + "quiln.txt")
    assert z.read(top + "quiln.exe")[:2] == b"MZ"
    z.extractall(target)
print(f"{path}: {', '.join(sorted(n[len(top):] for n in names))}")
PY

exe="$unpacked/quiln-$version-win64/quiln.exe"
/usr/bin/python3 tests/windows/check_dlls.py x86_64-w64-mingw32-objdump "$exe"

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
export WINEPREFIX="$PWD/$build/tests/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
status=0
# Into a file, not a pipe: Wine's services, started by the first program,
# would hold a pipe open.
"$wine" "$exe" >"$unpacked/usage.txt" 2>&1 </dev/null || status=$?
[ "$status" -eq 1 ] || { echo "unpacked quiln.exe exited $status, not 1 (usage)"; cat "$unpacked/usage.txt"; exit 1; }
grep -q "QUILN supports the following authentication methods:" "$unpacked/usage.txt"
echo "windows package: contents, line ends, DLLs and a first run checked"
