#!/usr/bin/env bash
# Writes the fuzzer's seed corpus into DIR: valid headers and frames, short packets, a repeated
# frame number, errors. Each file is a list of records [selector][count, 2 bytes LE][bytes];
# selector 0 is success, 4 a timeout, 5 an I/O error (see preview_fuzz.cpp).
set -euo pipefail
dir=${1:?usage: make_seeds.sh DIR}
mkdir -p "$dir"

rec() { # rec SELECTOR FILE: one record carrying FILE's bytes
    local n
    n=$(stat -c %s "$2")
    printf "\\x$(printf %02x "$1")\\x$(printf %02x $((n & 255)))\\x$(printf %02x $((n >> 8)))"
    cat "$2"
}
header() { # header NUMBER LENGTH
    local h
    h=$(mktemp)
    printf '\x1b\xb1\xb1\x1b' >"$h"
    printf "\\x$(printf %02x "$1")\\x00\\x00\\x00" >>"$h"
    head -c $(($2 - 8)) /dev/zero >>"$h"
    echo "$h"
}
frame() { # frame LENGTH BYTE: 28 header bytes, then pixels of BYTE, one hot pixel
    local f
    f=$(mktemp)
    head -c 28 /dev/zero >"$f"
    printf '\xff\x7f' >>"$f"
    head -c $(($1 - 30)) /dev/zero | tr '\0' "\\$(printf %03o "$2")" >>"$f"
    echo "$f"
}

h1=$(header 1 28); h2=$(header 2 64); h27=$(header 3 27)
full=$(frame 38428 16); short=$(frame 38399 16); least=$(frame 38400 32)

{ rec 0 "$h1"; rec 0 "$full"; } >"$dir/one_picture"
{ rec 0 "$h1"; rec 0 "$full"; rec 0 "$h2"; rec 0 "$least"; } >"$dir/two_pictures"
{ rec 0 "$h1"; rec 0 "$full"; rec 0 "$h1"; rec 0 "$full"; } >"$dir/repeated_number"
{ rec 0 "$h27"; rec 0 "$full"; rec 0 "$h1"; rec 0 "$short"; } >"$dir/short_packets"
{ rec 5 "$h1"; rec 4 "$h1"; rec 0 "$h2"; rec 5 "$full"; } >"$dir/errors"
rm -f "$h1" "$h2" "$h27" "$full" "$short" "$least"
