#!/usr/bin/env bash
# The settings files the checker's table reads.
#   check-files.sh make DIR PROGRAM  writes them into a fresh DIR, a copy of
#                               dormex-host.exe PROGRAM with the example
#                               dormex.ini in DIR/release, and DIR.sums
#   check-files.sh same DIR     fails unless DIR still holds exactly those bytes
set -euo pipefail
mode=$1 dir=$2 program=${3:-}
if [ "$mode" = same ]; then
  # The checker must neither change a file nor leave one behind (no .bak either).
  (cd "$dir" && find . -type f -print0 | sort -z | xargs -0 sha256sum) | diff "$dir.sums" - && exit 0
  echo "check-files: $dir changed while it was checked" >&2
  exit 1
fi
rm -rf "$dir"
mkdir -p "$dir/folder" "$dir/not-a-file/dormex.ini" "$dir/trailing-blank" "$dir/bad-hex" "$dir/shifted" \
  "$dir/near-miss" "$dir/near-miss-beside" "$dir/release"
cd "$dir"
default='h_disconnect=17\r\nm_disconnect=15\r\nh_online=7\r\nm_online=30\r\n'
five_mb=$((5 * 1024 * 1024))

printf 'h_disconnect=23\r\nm_disconnect=30\r\nh_online=7\r\nm_online=-\r\nDisconnectStr=/sleep\r\n' >valid.ini
printf '%bDisconnectStr=/disconnect\r\n' "$default" >folder/dormex.ini
: >empty.ini
printf 'h_disconnect=\nm_disconnect=\nh_online=7\nm_online=-\nDisconnectStr=\n' >off.ini
# Out of range, hexadecimal, an hour line off under an on minute, no line 5.
printf 'h_disconnect=24\nm_disconnect=$3b\nh_online=-\nm_online=0x1E\n' >quirks.ini
printf 'h_disconnect=17\r\nm_disconnect=30 \r\nh_online=7\r\nm_online=30\r\nDisconnectStr=/x\r\n' >trailing-blank/dormex.ini
printf 'h_disconnect=17\nm_disconnect=15\nh_online=0x1G\nm_online=30\nDisconnectStr=/x\n' >bad-hex/dormex.ini
printf 'h_disconnect=17\nm_disconnect=15\nh_online=7\nm_online=+\nDisconnectStr=/x\n' >sign-alone.ini
printf 'h_disconnect= \nm_disconnect=15\n' >blank-number.ini
{ printf '%bDisconnectStr=' "$default"; head -c "$five_mb" /dev/zero | tr '\0' z; printf '\r\n'; } >huge-trigger.ini
{ printf 'h_disconnect=17\r\nm_disconnect='; head -c "$five_mb" /dev/zero | tr '\0' 1; printf '\r\n'; } >huge-number.ini
# Every byte value in order: line 1 is bytes 0 to 9, no "=", so not a number.
for high in 0 1 2 3 4 5 6 7 8 9 a b c d e f; do
  for low in 0 1 2 3 4 5 6 7 8 9 a b c d e f; do printf "\\x$high$low"; done
done >binary.ini
# A trigger of raw bytes, with a stray CR and a Ctrl-Z that cuts the line short;
# an hour of 256, which counts by its low 8 bits.
printf 'h=256\r\nm=15\r\nh=7\r\nm=30\r\nDisconnectStr=\x00\xe9"\\\r\x7f\x1azz\r\n' >binary-trigger.ini
# As Notepad saves them, with a Cyrillic trigger: ANSI (code page 1251) in a
# Cyrillic folder, UTF-8 without and with a byte-order mark, Unicode (UTF-16 LE).
mkdir 'Иван Петров'
sleep_lines='h_disconnect=23\r\nm_disconnect=30\r\nh_online=7\r\nm_online=-\r\n'
printf "${sleep_lines}DisconnectStr=\xf1\xef\xe0\xf2\xfc\r\n" >'Иван Петров/dormex.ini'
printf "${sleep_lines}DisconnectStr=спать\r\n" >utf8.ini
{ printf '\xef\xbb\xbf'; cat utf8.ini; } >utf8-bom.ini
mkdir utf8 && cp utf8.ini utf8/dormex.ini
{ printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE utf8.ini; } >utf16.ini
printf "${sleep_lines}DisconnectStr= /sleep\t\r\n" >blanks.ini
# A blank line after line 2: every later line moves down one.
printf 'h_disconnect=23\r\nm_disconnect=30\r\n\r\nh_online=7\r\nm_online=0\r\nDisconnectStr=/sleep\r\n' >shifted/dormex.ini
# The name Explorer shows as dormex.ini where it hides known endings; a quoted trigger.
printf '%bDisconnectStr="/sleep"\r\n' "$default" >near-miss/dormex.ini.txt
printf 'h_disconnect=23 # вечером\r\n' >evening.ini
# The same name beside a dormex.ini that is there.
cp valid.ini near-miss-beside/dormex.ini
cp near-miss/dormex.ini.txt near-miss-beside/
# The release zip's folder: the program and its example dormex.ini, the default file.
cp "$program" release/
cp folder/dormex.ini release/
printf 'Dormex\r\n' >README.txt
# A folder the plug-in may not write in (Wine shows it read-only; root writes all the same).
mkdir read-only
chmod a-w read-only
# A bad file its user made read-only: never replaced, its backup never written.
mkdir read-only-file
printf 'h_disconnect=17 \r\n' >read-only-file/dormex.ini
chmod a-w read-only-file/dormex.ini
# A bad file whose backup cannot be written: a read-only one, a folder of
# that name; and one checked while another program holds its backup (a row "<").
for name in read-only-backup backup-folder held; do
  mkdir "$name"
  printf 'h_disconnect=23\r\nm_disconnect=30 \r\n' >"$name/dormex.ini"
done
printf 'an older backup\r\n' | tee held/dormex.ini.bak >read-only-backup/dormex.ini.bak
chmod a-w read-only-backup/dormex.ini.bak
mkdir backup-folder/dormex.ini.bak

# As users make them: a no-break space before a number, old Mac line ends, a
# clock time, 11pm, a number by its low 8 bits, a trigger with an emoji.
printf 'h_disconnect=\xa023\r\nm_disconnect=15\r\n' >nbsp.ini
printf "$(printf '%b' "$default" | tr -d '\n')DisconnectStr=/disconnect\r" >mac.ini
printf 'h_disconnect=23:15\r\n' >clock.ini
printf 'h_disconnect=17\r\nm_disconnect=15\r\nh_online=11pm\r\n' >pm.ini
printf 'h_disconnect=0xFFFFFF17\r\nm_disconnect=15\r\n' >low-bits.ini
printf "${sleep_lines}DisconnectStr=спать\xf0\x9f\x98\xb4\r\n" >emoji.ini
printf 'h_disconnect=23\t\r\n' >tab.ini
# Both times in one minute; triggers from Word (1252's typographic quotes) and
# with a no-break space behind it (code page 1251).
printf 'h_disconnect=23\r\nm_disconnect=30\r\nh_online=23\r\nm_online=30\r\n' >same-minute.ini
printf '%bDisconnectStr=\x93/sleep\x94\r\n' "$default" >curly.ini
printf "${sleep_lines}DisconnectStr=\xf1\xef\xe0\xf2\xfc\xa0\r\n" >nbsp-trigger.ini
# A zip archive holding a dormex.ini; a folder with blanks in its name.
mkdir 'My Settings'
cp folder/dormex.ini 'My Settings/'
python3 -c 'import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z: z.write(sys.argv[2], "dormex.ini")' Dormex.zip folder/dormex.ini
# Settings paths of 258 to 261 bytes as a host hands them over, in full:
# long/NNNv.../dormex.ini, valid; at 259 bytes also one with a bad value,
# whose backup's path would be longer than the plug-in takes.
here="Z:$(pwd -P | tr / '\\')"
long_file() {  # SIZE KIND CONTENT
  local name=$1$2 pad=$(($1 - ${#here} - 17))
  [ "$pad" -ge 5 ] && [ "$pad" -le 255 ] || { echo "check-files: no $1-byte path under $here" >&2; exit 1; }
  while [ "${#name}" -lt "$pad" ]; do name+=x; done
  mkdir -p "long/$name"
  printf '%b' "$3" >"long/$name/dormex.ini"
}
for size in 258 259 260 261; do long_file "$size" v "${default}DisconnectStr=/disconnect\r\n"; done
long_file 259 b 'h_disconnect=17 \r\n'
# A shortcut to folder/dormex.ini as Explorer makes one: its LinkInfo holds
# the local path.
python3 - "$here\\folder\\dormex.ini" 'dormex.ini - Shortcut.lnk' <<'LINK'
import struct, sys
target = sys.argv[1].encode("cp1252") + b"\0"
volume = struct.pack("<IIII", 17, 3, 0x1234, 16) + b"\0"
info_header = 0x1C
base = info_header + len(volume)
info = struct.pack("<IIIIIII", info_header + len(volume) + len(target) + 1, info_header, 1, info_header, base,
                   0, base + len(target)) + volume + target + b"\0"
clsid = bytes.fromhex("0114020000000000c000000000000046")
header = struct.pack("<I", 0x4C) + clsid + struct.pack("<II", 0x1 | 0x2, 0x20) + bytes(24) + struct.pack("<IiIH", 86, 0, 1, 0) + bytes(10)
id_list = struct.pack("<HH", 2, 0)
open(sys.argv[2], "wb").write(header + id_list + info + bytes(4))
LINK
find . -type f -print0 | sort -z | xargs -0 sha256sum >"$dir.sums"
