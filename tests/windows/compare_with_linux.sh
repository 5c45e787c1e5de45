#!/usr/bin/env bash
# The same simulated runs by the Linux vexu-cli and by vexu-cli.exe under
# wine, compared byte for byte: the report log, the JSON lines and the run
# log (their "time", the start of the run on the real calendar, aside),
# what a person reads on stdout and stderr, and the trace (UTF-8 on
# standard error on both). Exits 77 after a SKIP line
# when the Linux program is not built.
#   compare_with_linux.sh LINUX_CLI WINDOWS_CLI WORK_DIR EMULATOR...
set -uo pipefail
linux_cli=$1
windows_cli=$2
work=$3
shift 3
emulator=("$@")
if [ ! -x "$linux_cli" ]; then
  echo "SKIP: $linux_cli is not built (./scripts/build release)"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work/linux" "$work/windows"

# run SIDE ARGS...: one run, its outputs in WORK/SIDE/NAME.*
run() {
  local side=$1 name=$2
  shift 2
  local dir=$work/$side
  mkdir -p "$dir/state-$name"
  if [ "$side" = linux ]; then
    XDG_STATE_HOME=$dir/state-$name "$linux_cli" "$@" > "$dir/$name.out" 2> "$dir/$name.err"
  else
    LOCALAPPDATA=$dir/state-$name "${emulator[@]}" "$windows_cli" "$@" > "$dir/$name.out" 2> "$dir/$name.err"
  fi
  echo $? > "$dir/$name.exit"
  cat "$dir/state-$name"/vexu-programmer/runs.log > "$dir/$name.runlog" 2>/dev/null || : > "$dir/$name.runlog"
}

untimed() { sed -E 's/"time":"[0-9TZ:-]+"/"time":"-"/' "$1"; }

failed=0
check() {  # WHAT FILE_A FILE_B
  if cmp -s "$2" "$3"; then
    echo "same: $1 ($(wc -c < "$2") bytes)"
  else
    echo "DIFFERENT: $1"
    diff <(od -c "$2") <(od -c "$3") | head -10
    failed=1
  fi
}

scenarios=(
  "json|--simulate --json --report-log REPORTS run"
  "person|--simulate run"
  "fault|--simulate=flash=M25P80,flash-bit-error-page=1023 --json --report-log REPORTS run"
  "trace|--simulate --trace --report-log REPORTS action read_idcode device_info"
)
for scenario in "${scenarios[@]}"; do
  name=${scenario%%|*}
  read -r -a args <<< "${scenario#*|}"
  for side in linux windows; do
    run "$side" "$name" "${args[@]/REPORTS/$work/$side/$name.reports}"
  done
  check "$name: exit status" "$work/linux/$name.exit" "$work/windows/$name.exit"
  check "$name: stderr" "$work/linux/$name.err" "$work/windows/$name.err"
  for kind in out runlog; do
    untimed "$work/linux/$name.$kind" > "$work/linux/$name.$kind.untimed"
    untimed "$work/windows/$name.$kind" > "$work/windows/$name.$kind.untimed"
    check "$name: $kind (time aside)" "$work/linux/$name.$kind.untimed" "$work/windows/$name.$kind.untimed"
  done
  if [ -f "$work/linux/$name.reports" ]; then
    check "$name: report log, $(wc -l < "$work/linux/$name.reports") reports" \
      "$work/linux/$name.reports" "$work/windows/$name.reports"
  fi
done
exit $failed
