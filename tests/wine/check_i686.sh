#!/usr/bin/env bash
# The 32-bit DLL cannot run on this machine, so its code is checked by
# reading it:
#   check_i686.sh MORVIK_DLL.dll(i686) OBJECT_DIR HEADER [MORVIK_DLL.dll(x86_64)]
#  1. No x87 arithmetic in the library's own functions (those defined by the
#     objects under OBJECT_DIR): floating-point arithmetic is SSE2 as on
#     x86_64. x87 instructions that only move or convert values stay allowed:
#     fld/fst/fstp (float and double results are returned in st(0) by the
#     32-bit calling convention; loading a float or double and storing it
#     back in the same format is exact), fild/fist/fistp/fisttp with
#     fnstcw/fldcw (64-bit integer conversions, which SSE2 lacks in 32-bit
#     mode: the load is exact and the store rounds once, as cvtsi2sd and
#     cvttsd2si do on x86_64), fldz/fld1/fxch/ffree/fwait. The one arithmetic
#     instruction allowed is the compiler's unsigned 64-bit conversion: fild,
#     a sign test and jns, then fadd of the float constant 2^64, reached only
#     for values of 2^63 and more (sums that never get there), whose result
#     is an integer below 2^64 rounded once, like cvtsi2sd's.
#  2. Exports are undecorated (no leading underscore, no @n) and use the C
#     calling convention: no exported function pops its arguments (ret n).
# x87 arithmetic in the statically linked runtime (libstdc++ stream and
# money formatting of long double, libgcc helpers) is listed for reference;
# with the x86_64 DLL given, each such function is checked to exist there
# too, where the Wine test runs it (long double is the x87 format on both).
set -euo pipefail
dll=$1 objdir=$2 header=$3 dll64=${4:-}
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
od=i686-w64-mingw32-objdump nm=i686-w64-mingw32-nm
command -v "$od" >/dev/null || { echo "$od not found"; exit 1; }

find "$objdir" -name '*.obj' -print0 | xargs -0 "$nm" --defined-only 2>/dev/null |
    awk '$2 ~ /^[Tt]$/ {print $3}' | sort -u > "$tmp/ours"
[ "$(wc -l < "$tmp/ours")" -gt 50 ] || { echo "no library functions found under $objdir"; exit 1; }
"$od" -d -M intel --no-show-raw-insn "$dll" > "$tmp/asm"

awk -v OURS="$tmp/ours" -v REPORT="$tmp/runtime" '
BEGIN { while ((getline l < OURS) > 0) ours[l] = 1 }
/^[0-9a-f]+ <.*>:$/ { name = $2; gsub(/^<|>:$/, "", name); prev = last_x87 = ""; next }
/^ *[0-9a-f]+:\t/ {
    split($0, f, "\t"); ins = f[2]; split(ins, w, " "); m = w[1]
    if (m ~ /^f/ && m != "fs") {
        ok = m ~ /^(fld|fst|fstp|fild|fist|fistp|fisttp|fnstcw|fldcw|fstcw|fldz|fld1|fxch|ffree|ffreep|fwait)$/
        # fild ... jns; fadd DWORD PTR [2^64]: unsigned 64-bit to floating point.
        if (!ok && m == "fadd" && prev == "jns" && last_x87 == "fild" && ins ~ /DWORD PTR ds:0x/) ok = 1
        if (name in ours) { n_ours++; if (!ok) { print "x87 arithmetic in " name ": " ins; bad++ } }
        else if (!ok) runtime[name]++
        last_x87 = m
    }
    if (m != "") prev = m
}
END {
    for (r in runtime) if (r !~ /^\.(gcc_except_table|rdata|data|eh_frame)/) print r > REPORT
    printf "library functions: %d x87 move/convert instructions, %d x87 arithmetic\n", n_ours, bad + 0
    exit bad > 0
}' "$tmp/asm"
touch "$tmp/runtime"; sed "s/^/  /" "$tmp/runtime" | sort
echo "runtime functions with x87 arithmetic: $(wc -l < "$tmp/runtime")"
if [ -n "$dll64" ] && [ -s "$tmp/runtime" ]; then
    x86_64-w64-mingw32-objdump -d "$dll64" | sed -nE 's/^[0-9a-f]+ <(.*)>:$/\1/p' | sort -u > "$tmp/names64"
    missing=0
    while read -r f; do
        g=${f#_}
        if ! grep -qxF -- "$g" "$tmp/names64" && ! grep -qxF -- "$f" "$tmp/names64"; then
            echo "  only in the 32-bit DLL: $f"; missing=$((missing + 1))
        fi
    done < "$tmp/runtime"
    echo "  of which only in the 32-bit DLL: $missing"
fi

# Exports: names as declared, undecorated, cdecl.
sed -nE 's/^MORVIK_API[^(]*[^A-Za-z0-9_(]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\(.*/\1/p' "$header" | sort > "$tmp/want"
"$od" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/ {f=1; next} f && /^\t\[/ {print $NF; next} f {f=0}' |
    sort > "$tmp/have"
if grep -E '@|^_' "$tmp/have"; then echo "decorated export names"; exit 1; fi
diff -u "$tmp/want" "$tmp/have" || { echo "export names differ from the header"; exit 1; }
# Each export's code, found at its address (aliases share one).
"$od" -p "$dll" > "$tmp/pe"
awk -v PE="$tmp/pe" '
function hex(s,   v, i) { v = 0; s = tolower(s); for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return v }
BEGIN {
    while ((getline l < PE) > 0) {
        if (l ~ /^ImageBase/) { split(l, w, /[ \t]+/); base = hex(w[2]) }
        if (l ~ /^Export Address Table --/) { sect = 1; continue }
        if (l ~ /^\[Ordinal\/Name Pointer\] Table/) { sect = 2; continue }
        if (sect && l !~ /^\t\[/) { sect = 0; continue }
        if (sect == 1) { match(l, /\[ *[0-9]+\]/); i = substr(l, RSTART + 1, RLENGTH - 2) + 0
                         n = split(l, w, /[ \t]+/); rva[i] = hex(w[n - 2]) }
        if (sect == 2) { match(l, /\[ *[0-9]+\]/); i = substr(l, RSTART + 1, RLENGTH - 2) + 0
                         n = split(l, w, /[ \t]+/); name[i] = w[n] }
    }
    for (i in name) { a = sprintf("%08x", base + rva[i]); at[a] = at[a] " " name[i]; want[i] = a }
}
/^[0-9a-f]+ <.*>:$/ { cur = ($1 in at) ? $1 : ""; if (cur != "") seen[cur] = 1; next }
cur != "" && /\tret +0x/ { print "export" at[cur] " pops its arguments (not cdecl)"; bad++ }
END {
    for (i in want) if (!(want[i] in seen)) { print "no code found for export " name[i]; bad++ }
    exit bad > 0
}' "$tmp/asm"
echo "$(wc -l < "$tmp/have") exports undecorated, none pops its arguments"
