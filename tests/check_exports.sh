#!/usr/bin/env bash
# Compare an export table with the exports declared in the public header.
#   check_exports.sh so  libmorvik.so      morvik.h
#   check_exports.sh def morvik.def        morvik.h
#   check_exports.sh dll MORVIK_DLL.dll    morvik.h
# A DLL must also map the three GetNumOfAlgorithms names to one address and
# import nothing but system DLLs.
set -euo pipefail
mode=$1 file=$2 header=$3
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

sed -nE 's/^MORVIK_API[^(]*[^A-Za-z0-9_(]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\(.*/\1/p' "$header" |
    sort > "$tmp/want"
[ -s "$tmp/want" ] || { echo "no exports found in $header"; exit 1; }

objdump_for() {
    for tool in x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump objdump; do
        command -v "$tool" >/dev/null && "$tool" -p "$1" >/dev/null 2>&1 && { echo "$tool"; return; }
    done
    echo "no objdump reads $1" >&2; exit 1
}

case $mode in
so)
    nm -D --defined-only "$file" | awk '$2 ~ /^[TWi]$/ {print $3}' | sort > "$tmp/have" ;;
def)
    sed -e 's/;.*//' "$file" | awk 'f && NF {print $1} /^EXPORTS/ {f=1}' | sort > "$tmp/have" ;;
dll)
    od=$(objdump_for "$file")
    "$od" -p "$file" > "$tmp/dump"
    awk '/\[Ordinal\/Name Pointer\] Table/ {f=1; next} f && /^\t\[/ {print $NF; next} f {f=0}' \
        "$tmp/dump" | sort > "$tmp/have"
    # One entry point for the three GetNumOfAlgorithms names.
    addrs=$(awk '/Export Address Table/ {f=1; next} /\[Ordinal\/Name Pointer\]/ {f=0}
                 f && /\[/ {print}' "$tmp/dump" | sed -E 's/.*\] //' | sort | uniq -c | awk '$1 >= 3' | wc -l)
    if [ "$addrs" -lt 1 ]; then
        echo "AWB/CC/CD_GetNumOfAlgorithms do not share one entry point"; exit 1
    fi
    bad=$(sed -nE 's/^[[:space:]]*DLL Name: (.*)$/\1/p' "$tmp/dump" |
          grep -viE '^(kernel32|msvcrt|user32|advapi32|ucrtbase|api-ms-win-.*)\.dll$' || true)
    if [ -n "$bad" ]; then echo "imports non-system DLLs: $bad"; exit 1; fi ;;
*)
    echo "unknown mode $mode"; exit 2 ;;
esac

if ! diff -u "$tmp/want" "$tmp/have"; then
    echo "export table of $file differs from $header (- declared only, + exported only)"
    exit 1
fi
echo "$(wc -l < "$tmp/have") exports match the header"
