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
# The about box asks for 宋体; wine has no such face, so it is given the
# Chinese face the machine has (a Windows machine has 宋体 itself).
# Window captions (Tahoma) reach for the same face for Chinese characters.
"$wine_run" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '宋体' /d 'WenQuanYi Micro Hei' /f \
  >/dev/null 2>&1 || true
"$wine_run" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
  /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1 || true
xvfb-run -a -s "-screen 0 1024x768x24" \
  "$wine_run" explorer /desktop=vexu-window-test,800x600 "$(windows_path "$driver")" \
  "$(windows_path "$programmer")" "$(windows_path "$pictures")" "$(windows_path "$sequence")"
if command -v python3 >/dev/null; then
  python3 "$here/bmp_to_png.py" "$pictures"/*.bmp
fi
ls -1 "$pictures"
grep -qx passed "$pictures/result.txt"
