#!/usr/bin/env bash
# Static analysis of the program's own code: clang-tidy (checks in
# .clang-tidy) and cppcheck. Any finding fails; each suppression is justified
# where it stands.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== layers"
# Includes of our own run downward only. Each folder of src and the folders
# it may include besides itself; any other include of ours is a finding.
declare -A may_include=(
    [common]=""
    [socket]="common"
    [tls]="socket common"
    [net]="tls socket common"
    [auth]="common"
    [driver]="net tls socket auth common"
)
layers=""
for folder in src/*/; do
    folder=$(basename "$folder")
    if [ -z "${may_include[$folder]+set}" ]; then
        layers+="src/$folder: a folder with no rule"$'\n'
        continue
    fi
    allowed=" $folder ${may_include[$folder]} "
    while IFS= read -r hit; do
        [ -n "$hit" ] || continue
        target=$(sed -E 's/.*#include "([^"]*)".*/\1/' <<<"$hit")
        [[ $target == */* && $allowed == *" ${target%%/*} "* ]] || layers+="$hit"$'\n'
    done < <(grep -rn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "src/$folder" || true)
done
# Only the TLS backends know which TLS library there is.
layers+=$(grep -rn '#include <openssl/' src --exclude-dir=tls || true)
if [ -n "$layers" ]; then
    echo "includes across the layers:"
    echo "$layers"
    exit 1
fi

cmake --preset default >/dev/null
# The program's sources that a build tree compiles, from its compile database.
sources_of() {
    /usr/bin/python3 -c 'import json, os, sys
print("\n".join(sorted({os.path.relpath(e["file"]) for e in json.load(open(sys.argv[1]))
                        if os.path.relpath(e["file"]).startswith("src/")})))' "$1/compile_commands.json"
}
tidy() { # build tree, extra clang-tidy arguments...
    local tree=$1
    shift
    local out
    if ! out=$(sources_of "$tree" | tr '\n' '\0' | xargs -0 -n 4 -P "$(nproc)" clang-tidy -p "$tree" --quiet "$@" 2>&1); then
        grep -v "warnings generated" <<<"$out"
        exit 1
    fi
}
echo "== clang-tidy"
tidy build/default
# The Windows files (and everything else once more) as the Windows build
# compiles them: clang for the mingw-w64 target, with its C++ library.
cmake --preset windows >/dev/null
mingw_cxx=/usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++
tidy build/windows --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-isystem$mingw_cxx \
    --extra-arg=-isystem$mingw_cxx/x86_64-w64-mingw32 --extra-arg=-isystem$mingw_cxx/backward
# A build without TLS compiles one file more.
cmake --preset notls >/dev/null
no_tls_only=$(comm -13 <(sort -u <(sources_of build/default) <(sources_of build/windows)) <(sources_of build/notls))
if [ -n "$no_tls_only" ] && ! out=$(clang-tidy -p build/notls --quiet $no_tls_only 2>&1); then
    grep -v "warnings generated" <<<"$out"
    exit 1
fi
unlinted=$(comm -23 <(find src -name '*.cpp' | sort) \
    <(sort -u <(sources_of build/default) <(sources_of build/windows) <(sources_of build/notls)))
if [ -n "$unlinted" ]; then
    echo "sources that no build compiles, so not analysed:"
    echo "$unlinted"
    exit 1
fi
echo "== cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++20 --inline-suppr --error-exitcode=1 \
    --quiet -I src src
echo "static analysis: no findings"
