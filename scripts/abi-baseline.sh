#!/usr/bin/env bash
# Writes the ABI baseline of liblndb.so.1, abi/liblndb.abi, from a build
# (build/default unless another build directory is named). The test
# Abi.LibraryMatchesTheBaseline compares every build against it with abidiff:
# after a deliberate change of the exported interface, run this and commit
# the new baseline together with tests/exported_symbols.txt.
#
# usage: scripts/abi-baseline.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
library=${1:-build/default}/lib/liblndb.so.1
if [ ! -e "$library" ]; then
    echo "no $library: build it first (cmake --build --preset default)" >&2
    exit 1
fi
# The types of the interface come from the debug information.
if ! readelf -S "$library" | grep -q '\.debug_info'; then
    echo "$library has no debug information: use a build with -g (the default preset)" >&2
    exit 1
fi
# Without the places it was built in, so that the file depends on the
# interface alone.
abidw --no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed "$library" |
    sed "s|path='$(pwd)/|path='|" >abi/liblndb.abi.new
mv abi/liblndb.abi.new abi/liblndb.abi
echo "abi/liblndb.abi written from $library"
