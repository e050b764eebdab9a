#!/usr/bin/env bash
# The lndb demo: lays out a sample agent installation under the build tree and
# runs the library through the lndb command, one section per capability
# (examples/demo.d/*.sh, in name order).
#
# usage: examples/demo.sh BUILD_DIR
set -euo pipefail

BUILD=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
BIN=$BUILD/bin
LIB=$BUILD/lib
LNDB=$BIN/lndb
SAMPLE=$BUILD/sample
export BUILD BIN LIB LNDB SAMPLE HERE

if [ -t 1 ]; then
    say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
    say() { printf '\n== %s\n' "$*"; }
fi
run() { printf '$ %s\n' "$*"; "$@"; }
# Prints the debug-log lines written since the last call.
DEBUG_LOG=$SAMPLE/logs/lndb.log
shown_lines=0
show_debug_log() {
    local total
    total=$(wc -l <"$DEBUG_LOG" 2>/dev/null || echo 0)
    if [ "$total" -gt "$shown_lines" ]; then
        printf -- '-- debug log (%s):\n' "${DEBUG_LOG#$BUILD/}"
        tail -n +"$((shown_lines + 1))" "$DEBUG_LOG" | sed 's/^/   /'
    fi
    shown_lines=$total
}
export -f say run

say "Sample installation in ${SAMPLE#$BUILD/}"
rm -rf "$SAMPLE"
mkdir -p "$SAMPLE"/{registry,install/lndbGleaner,install/Gleaner,home,logs,data}
export KR_REGISTRY_DIR=$SAMPLE/registry
export KR_INSTANCE=Instance001
unset KR_DEBUG_LOG KR_EVENT_LOG KR_DEBUG_LEVEL
cat >"$KR_REGISTRY_DIR/$KR_INSTANCE.ini" <<INI
# Configuration store of the sample installation
[Platform]
OrreryDirectory = $SAMPLE/install
BaseHomeDirectory = $SAMPLE/home
LogFilesDirectory = $SAMPLE/logs
INI
for tool in nsfScout.exe nsfdocScout.exe nsfdbScout nsf6dbScout.exe; do
    cp "$BIN/sample_scout" "$SAMPLE/install/lndbGleaner/$tool"
done
for tool in nsfdocScout nsfdmScout; do
    cp "$BIN/sample_scout" "$SAMPLE/install/Gleaner/$tool"
done
cp "$HERE/sample/NotesPostInstall" "$SAMPLE/home/NotesPostInstall" 2>/dev/null || true
(cd "$SAMPLE" && find . -path ./logs -prune -o -print | sort | sed 's/^/   /')

for section in "$HERE"/demo.d/*.sh; do
    # shellcheck source=/dev/null
    source "$section"
    show_debug_log
done
say "Done"
