#!/usr/bin/env bash
# The settings files the checker's table reads.
#   check-files.sh make DIR     writes them into a fresh DIR, and DIR.sums
#   check-files.sh same DIR     fails unless DIR still holds exactly those bytes
set -euo pipefail
mode=$1 dir=$2
if [ "$mode" = same ]; then
  # The checker must neither change a file nor leave one behind (no .bak either).
  (cd "$dir" && find . -type f -print0 | sort -z | xargs -0 sha256sum) | diff "$dir.sums" - && exit 0
  echo "check-files: $dir changed while it was checked" >&2
  exit 1
fi
rm -rf "$dir"
mkdir -p "$dir/folder" "$dir/not-a-file/dormex.ini" "$dir/trailing-blank" "$dir/bad-hex" "$dir/shifted" \
  "$dir/near-miss"
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
printf 'Dormex\r\n' >README.txt
# A folder the plug-in may not write in (Wine shows it read-only; root writes all the same).
mkdir read-only
chmod a-w read-only
find . -type f -print0 | sort -z | xargs -0 sha256sum >"$dir.sums"
