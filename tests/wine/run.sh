#!/usr/bin/env bash
# Runs the differential harness against libmorvik.so and, under Wine,
# against the x86_64 MORVIK_DLL.dll, and fails on any difference between the
# two transcripts (or the two standard outputs, the Windows one read with
# its text-mode CRLF as LF).
#   run.sh WINE HARNESS LIBMORVIK_SO HARNESS_EXE MORVIK_DLL EXAMPLES_DIR WORK_DIR
# Headless: no display, Wine's own messages off, its prefix in WORK_DIR.
set -euo pipefail
wine=$1 harness=$2 so=$3 exe=$4 dll=$5 examples=$6 work=$7
if [ -z "$wine" ] || [ ! -x "$wine" ]; then
    echo "wine64 not found: install it (make deps installs Debian's wine64)"; exit 1
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
run=$work/run

# A fresh host folder (module headers) and inspection folder at the same
# path for both runs: the host folder is logged.
fresh() {
    rm -rf "$run"
    mkdir -p "$run/inspect"
    cp -r "$examples/debuginfo/headers" "$run/host"
}
export MORVIK_HOST_DIR=$run/host/ MORVIK_INSPECT_DIR=$run/inspect/

fresh
"$harness" "$so" "$examples" "$run" "$work/linux.txt" > "$work/linux.stdout" 2> "$work/linux.counts" ||
    { echo "harness failed on Linux:"; cat "$work/linux.counts"; exit 1; }

fresh
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
"$wine" "$exe" "$dll" "$examples" "$run" "$work/windows.txt" > "$work/windows.stdout" 2> "$work/windows.counts" ||
    { echo "harness failed under Wine:"; cat "$work/windows.counts"; exit 1; }
server=$(dirname "$wine")/wineserver
[ -x "$server" ] && "$server" -w || true

status=0
if ! cmp -s "$work/linux.txt" "$work/windows.txt"; then
    echo "transcripts differ (linux.txt, windows.txt in $work):"
    diff "$work/linux.txt" "$work/windows.txt" | head -60
    status=1
fi
if ! sed 's/\r$//' "$work/windows.stdout" | cmp -s "$work/linux.stdout" -; then
    echo "standard output differs (linux.stdout, windows.stdout in $work)"
    status=1
fi
echo "calls per export (identical on both):"
cat "$work/linux.counts"
exit $status
