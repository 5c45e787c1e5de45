#!/usr/bin/env bash
# vexu-programmer.exe's command line under wine, without a display: help
# and version answer on standard output, and a bad option or simulator key
# ends with exit status 2 and one line that names it, before any window.
#   usage_test.sh WINE_RUN vexu-programmer.exe
set -uo pipefail
wine_run=$1 programmer=$2
failures=0
expect() {  # expect STATUS PATTERN ARG...
  local status=$1 pattern=$2
  shift 2
  local output rc
  output=$(DISPLAY= "$wine_run" "$programmer" "$@" 2>&1 </dev/null)
  rc=$?
  output=${output//$'\r'/}
  if [ "$rc" != "$status" ] || ! grep -qE "$pattern" <<<"$output"; then
    echo "FAILED: $* gave status $rc and: $output (expected $status and /$pattern/)"
    failures=$((failures + 1))
  fi
}
expect 0 '^vexu-programmer 1\.' --version
expect 0 '^  --simulate\[=KEYS\]' --help
expect 2 '^vexu-programmer: unknown option --bogus$' --bogus
expect 2 '^vexu-programmer: --simulate: .*no-such-key' --simulate=no-such-key
exit $((failures > 0))
