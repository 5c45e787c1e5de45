#!/usr/bin/env bash
# Runs the window test (window_test.exe driving vexu-programmer.exe) under
# wine on a virtual X server, in a wine desktop of its own (wine then draws
# the window frames itself, as there is no window manager), and turns the
# stage pictures into PNG files. Exit 77 (skipped) without Xvfb.
#   run_window_test.sh WINE_RUN window_test.exe vexu-programmer.exe PICTURE_DIR SEQUENCE_FILE
set -euo pipefail
wine_run=$1 driver=$2 programmer=$3 pictures=$4 sequence=$5
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v xvfb-run >/dev/null; then
  echo "SKIP: xvfb-run is missing (package xvfb)"
  exit 77
fi
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
rm -rf "$pictures"
mkdir -p "$pictures"
# Fonts as a Windows machine has them, from the faces this one has (one
# registry import, a wine start costs seconds): the dialog's Arial becomes
# the nearest in width, so that the dialog units come out near the Windows
# sizes; the panels' Arial Black the face the Linux window's panels get;
# the about box's 宋体, and the Chinese characters of window captions
# (Tahoma), the Chinese face.
fonts_reg="$pictures/fonts.reg"
{
  printf '\xff\xfe'
  iconv -f UTF-8 -t UTF-16LE <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Arial"="DejaVu Sans Condensed"
"Arial Black"="DejaVu Sans"
"宋体"="WenQuanYi Micro Hei"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]
"Tahoma"=hex(7):77,00,71,00,79,00,2d,00,6d,00,69,00,63,00,72,00,6f,00,68,00,65,00,69,00,2e,00,74,00,74,00,63,00,2c,00,57,00,65,00,6e,00,51,00,75,00,61,00,6e,00,59,00,69,00,20,00,4d,00,69,00,63,00,72,00,6f,00,20,00,48,00,65,00,69,00,00,00,00,00
REG
} >"$fonts_reg"
"$wine_run" regedit /S "$(windows_path "$fonts_reg")" >/dev/null 2>&1 || true
rm -f "$fonts_reg"
xvfb-run -a -s "-screen 0 1024x768x24" \
  "$wine_run" explorer /desktop=vexu-window-test,800x600 "$(windows_path "$driver")" \
  "$(windows_path "$programmer")" "$(windows_path "$pictures")" "$(windows_path "$sequence")"
shopt -s nullglob
bitmaps=("$pictures"/*.bmp)
if [ ${#bitmaps[@]} -gt 0 ] && command -v python3 >/dev/null; then
  python3 "$here/bmp_to_png.py" "${bitmaps[@]}"
fi
ls -1 "$pictures"
grep -qx passed "$pictures/result.txt"
