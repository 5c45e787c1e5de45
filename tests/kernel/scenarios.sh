#!/usr/bin/env bash
# The HID path's scenarios on a real kernel: run by scripts/test-kernel inside
# the guest (as root, in a chroot of the host's file system) against
# vexu-virtual-box, which is the simulated box and board behind /dev/uhid.
# Every scenario writes one PASS or FAIL line to RESULTS_DIR/results and its
# programs' output to RESULTS_DIR/logs; figures go to RESULTS_DIR/figures.
#
#   scenarios.sh BUILD_DIR RESULTS_DIR [SCENARIO...]
set -u
build=$1
out=$2
shift 2
cli=$build/vexu-cli
vbox=$build/vexu-virtual-box
window=$build/app/vexu-programmer
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=/tmp/kernel-work
logs=$out/logs
mkdir -p "$work" "$logs"
: > "$out/results"
: > "$out/figures"
export XDG_STATE_HOME=$work/state
# With these keys the chips finish programming, erasing and reading at once,
# so the number of status polls does not depend on how fast the machine
# runs, and a run through the kernel sends the very reports a simulated run
# sends.
fixed=flash-busy-percent=0
for time in program verify erase register-program compare read aes nvm-address nvm-program nvm-read; do
  fixed+=",$time-us=0"
done
# A small serial-flash image, for scenarios that need a run but not a whole one.
small=$work/small.bin
head -c 4096 /dev/urandom > "$small"
box_pid=
second_problems=()

now() { cut -d' ' -f1 /proc/uptime; }
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
# True when the first time is at most LIMIT seconds after the second.
within() { awk -v t="$1" -v since="$2" -v limit="$3" 'BEGIN { exit !(t - since <= limit) }'; }

problem() { problems+=("$*"); }
expect_status() { [ "$2" -eq "$1" ] || problem "$3 exited $2, not $1"; }
expect_text() { grep -qF -- "$2" "$1" || problem "$(basename "$1") lacks \"$2\""; }

# The box's hidraw node, found by its HID ids in sysfs.
box_node() {
  local h
  for h in /sys/class/hidraw/hidraw*; do
    [ -e "$h" ] || continue
    if grep -qs '^HID_ID=0003:0000A112:0000B112$' "$h/device/uevent"; then
      echo "/dev/${h##*/}"
      return
    fi
  done
}
other_node() {
  local h
  for h in /sys/class/hidraw/hidraw*; do
    grep -qs '^HID_ID=0003:00001234:00005678$' "$h/device/uevent" && echo "/dev/${h##*/}" && return
  done
}
wait_for() {  # SECONDS COMMAND...: until the command succeeds
  local limit=$1 i
  shift
  for ((i = 0; i < limit * 20; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}
node_present() { local n; n=$(box_node); [ -n "$n" ] && [ -e "$n" ]; }
other_present() { [ -n "$(other_node)" ]; }
three_nodes() { [ "$(ls /sys/class/hidraw | wc -l)" -ge 3 ]; }
station_waiting() { tail -1 "$work/station.out" | grep -q '"state":"waiting"'; }
node_absent() { [ -z "$(box_node)" ]; }
box_start() {
  "$vbox" "$@" >> "$logs/box.out" 2>> "$logs/box.err" &
  box_pid=$!
}
box_stop() {
  if [ -n "$box_pid" ]; then
    kill -TERM "$box_pid" 2>/dev/null
    wait "$box_pid" 2>/dev/null
  fi
  box_pid=
  wait_for 5 node_absent
}
# Nobody has a hidraw node open.
nodes_free() { ! ls -l /proc/[0-9]*/fd 2>/dev/null | grep -q '/dev/hidraw'; }
# The time the virtual box last noted TEXT.
noted_at() { grep -F -- "$1" "$logs/box.out" | tail -1 | sed -n 's/^vexu-virtual-box: \[\([0-9.]*\)\].*/\1/p'; }

scenario() {  # NAME DESCRIPTION FUNCTION
  local name=$1 what=$2 fn=$3 start
  problems=()
  start=$(now)
  echo "=== $name: $what" >> "$logs/box.out"
  "$fn" > "$logs/$name.log" 2>&1
  box_stop
  local took
  took=$(seconds_since "$start")
  if ((${#problems[@]} == 0)); then
    echo "PASS $name: $what (${took} s)" | tee -a "$out/results"
  else
    local IFS=';'
    echo "FAIL $name: $what: ${problems[*]} (${took} s)" | tee -a "$out/results"
  fi
}

# a. list names exactly the box, not the other HID device.
list_names_the_box() {
  box_start other-hid=0x1234:0x5678
  wait_for 10 node_present || { problem "the box's node did not appear"; return; }
  wait_for 5 other_present || problem "the other HID device did not appear"
  local node
  node=$(box_node)
  "$cli" list > "$work/list.out" 2>&1
  expect_status 0 $? "list"
  cat "$work/list.out"
  [ "$(grep -c '^/dev/hidraw' "$work/list.out")" -eq 1 ] || problem "list shows $(grep -c '^/dev/hidraw' "$work/list.out") nodes"
  # Its location is where the HID core says it sits (a USB box: its port path).
  local phys serial
  phys=$(sed -n 's/^HID_PHYS=//p' "/sys/class/hidraw/${node#/dev/}/device/uevent")
  serial=$(sed -n 's/^HID_UNIQ=//p' "/sys/class/hidraw/${node#/dev/}/device/uevent")
  expect_text "$work/list.out" "$node  VID:0xA112 PID:0xB112  location $phys  serial $serial"
  "$cli" --json list > "$work/list.json"
  cat "$work/list.json"
  [ "$(grep -c '"event":"box"' "$work/list.json")" -eq 1 ] || problem "list --json shows other than one box"
  expect_text "$work/list.json" "\"path\":\"$node\",\"location\":\"$phys\",\"serial\":\"$serial\""
  # Several boxes from one program: each its own node, location and serial.
  box_stop
  box_start --instances 3
  wait_for 10 three_nodes || problem "--instances 3 made $(ls /sys/class/hidraw | wc -l) nodes"
  "$cli" --json list > "$work/list3.json"
  cat "$work/list3.json"
  [ "$(grep -c '"event":"box"' "$work/list3.json")" -eq 3 ] || problem "list --json shows other than three boxes"
  [ "$(grep -o '"serial":"[^"]*"' "$work/list3.json" | sort -u | wc -l)" -eq 3 ] || problem "the three serials are not distinct"
  [ "$(grep -o '"location":"[^"]*"' "$work/list3.json" | sort -u | wc -l)" -eq 3 ] || problem "the three locations are not distinct"
}

# b. A whole run through /dev/hidrawN sends and receives exactly the reports
# of a simulated run; e. meanwhile a second program and the window are
# refused at once and leave the run untouched.
whole_run_and_second_program() {
  box_start "$fixed"
  wait_for 10 node_present || { problem "the box's node did not appear"; return; }
  TIMEFORMAT='%U %S'
  { time "$cli" --json --report-log "$work/kernel.log" run > "$work/first.out" 2> "$work/first.err"; } \
    2> "$work/first.time" &
  local first=$!
  second_problems=()
  if wait_for 30 grep -q '"event":"progress"' "$work/first.out"; then
    local start status baseline
    # How long a run takes to start and give up here when it finds no box.
    start=$(now)
    "$cli" --simulate=unplugged run > /dev/null 2>&1
    baseline=$(seconds_since "$start")
    start=$(now)
    "$cli" run > "$work/second.out" 2> "$work/second.err"
    status=$?
    cat "$work/second.err"
    [ "$status" -eq 4 ] || second_problems+=("the second run exited $status, not 4")
    grep -q "is in use by another program" "$work/second.err" || second_problems+=("the second run did not say the box is in use")
    # At once: not after the first run (about half a minute), nor after a
    # retry; the running first one leaves the processor slow and uneven.
    within "$(now)" "$start" "$(awk -v b="$baseline" 'BEGIN { print b + 3 }')" ||
      second_problems+=("the second run took $(seconds_since "$start") s to be refused (with no box at all: $baseline s)")
    if [ -x "$window" ]; then
      QT_QPA_PLATFORM=offscreen "$window" --trace > "$work/window.out" 2> "$work/window.err" &
      local shown=$!
      wait_for 40 grep -q "is in use by another program" "$work/window.err" ||
        second_problems+=("the window did not say the box is in use")
      kill "$shown" 2>/dev/null
      wait "$shown" 2>/dev/null
      grep "CKTRDlg" "$work/window.err"
    fi
  else
    problem "the first run never reported progress"
  fi
  wait "$first"
  local status=$?
  cat "$work/first.err"
  [ "$status" -eq 0 ] || second_problems+=("the first run exited $status")
  expect_status 0 "$status" "the whole run through hidraw"
  { time "$cli" --simulate="$fixed" --report-log "$work/sim.log" run > /dev/null 2> "$work/sim.err"; } 2> "$work/sim.time"
  expect_status 0 $? "the simulated run"
  if ! cmp "$work/kernel.log" "$work/sim.log"; then
    problem "the report logs differ ($(wc -l < "$work/kernel.log") and $(wc -l < "$work/sim.log") reports)"
    cp "$work/kernel.log" "$work/sim.log" "$logs/"
  fi
  local kernel_cpu sim_cpu reports
  kernel_cpu=$(awk '{ print $1 + $2 }' "$work/first.time")
  sim_cpu=$(awk '{ print $1 + $2 }' "$work/sim.time")
  reports=$(wc -l < "$work/kernel.log")
  echo "whole run: $reports reports; vexu-cli CPU ${kernel_cpu} s through hidraw, ${sim_cpu} s on the simulator" >> "$out/figures"
}
second_program_verdict() {
  problems=("${second_problems[@]}")
  return 0
}

# c. The box goes away at several points of a run: the run fails at once
# with the removal text and nothing holds the node; the box comes back and
# answers, and after the last point a run passes. A box that answers a
# request with an error, or too short, takes the same path.
removal_mid_run() {
  local fpga_reports
  fpga_reports=$("$cli" --simulate="$fixed" --json run --no-eeprom | sed -n 's/.*"simulation":{"reports":\([0-9]*\).*/\1/p')
  # A run ends with two reports after its FPGA step (lamps out, JTAG port off).
  # Removed between the steps, the box is missed after the serial-flash
  # step's first wait (5 s for the chip to settle in serial mode).
  local points=("FPGA array:unplug-after=5000:FPGA:removed or stopped answering during the FPGA step:"
                "serial-flash write:unplug-after=3000:serial-flash:removed or stopped answering during the serial-flash step:--no-fpga"
                "between the steps:unplug-after=$((fpga_reports - 2)):serial-flash:removed or stopped answering during the serial-flash step:"
                "error answer:fail-report=2000:FPGA:stopped answering during the FPGA step:"
                "short answer:short-answer=2000:FPGA:stopped answering during the FPGA step:")
  local point name fault step text extra status ended unplugged
  for point in "${points[@]}"; do
    IFS=: read -r name fault step text extra <<< "$point"
    box_start "$fixed,$fault,replug-after-ms=300"
    wait_for 10 node_present || { problem "$name: the box's node did not appear"; box_stop; continue; }
    # shellcheck disable=SC2086
    timeout 120 "$cli" --json run $extra > "$work/removed.out" 2> "$work/removed.err"
    status=$?
    ended=$(now)
    echo "$name:"
    cat "$work/removed.err"
    [ "$status" -eq 1 ] || problem "$name: the run exited $status, not 1"
    grep -q "$text" "$work/removed.err" || problem "$name: the failure does not say the box $text"
    if [[ $fault == unplug-after=* ]]; then
      unplugged=$(noted_at unplugged)
      local limit=3
      [ "$name" = "between the steps" ] && limit=8
      [ -n "$unplugged" ] && within "$ended" "$unplugged" "$limit" ||
        problem "$name: the run ended $(awk -v a="$ended" -v b="${unplugged:-0}" 'BEGIN{print a-b}') s after the removal"
    fi
    nodes_free || problem "$name: a hidraw node is still held"
    wait_for 10 node_present || problem "$name: the box did not come back"
    "$cli" action read_idcode > "$work/next.out" 2>&1 || problem "$name: the box does not answer after it came back"
    if [ "$name" = "short answer" ]; then
      "$cli" run --no-fpga --eeprom-image "$small" > "$work/next.out" 2>&1 ||
        problem "the run after the faults failed: $(tail -2 "$work/next.out")"
    fi
    box_stop
  done
}

# d. Station mode through real uevents: started with no box, three boxes
# come and go, three PASS lines; then with systemd-udevd running (one box),
# whose rule tags the box's node and not the other device's.
station_one_pass() {  # LABEL BOXES
  local boxes_wanted=$2
  "$cli" --json run --station --no-fpga --eeprom-image "$small" > "$work/station.out" 2> "$work/station.err" &
  local station=$!
  wait_for 20 grep -q '"state":"waiting"' "$work/station.out" || problem "$1: the station did not wait for a box"
  box_start "$fixed,unplugged,station-boxes=$boxes_wanted,station-pause-ms=300,replug-after-ms=300"
  local boxes=$box_pid
  wait_for 120 test ! -e "/proc/$boxes" || problem "$1: the boxes were not all served"
  box_pid=
  wait_for 10 station_waiting
  kill -INT "$station"
  wait "$station"
  local status=$?
  cat "$work/station.out"
  expect_status 0 "$status" "$1: the station"
  [ "$(grep -c '"event":"result".*"ok":true' "$work/station.out")" -eq "$boxes_wanted" ] ||
    problem "$1: $(grep -c '"event":"result".*"ok":true' "$work/station.out") runs passed, not $boxes_wanted"
  expect_text "$work/station.out" "\"event\":\"summary\",\"runs\":$boxes_wanted,\"passed\":$boxes_wanted,\"failed\":0"
}
station_hotplug() {
  station_one_pass "kernel events" 3
  local udevd=/lib/systemd/systemd-udevd
  if [ ! -x "$udevd" ]; then
    problem "systemd-udevd is not installed (package udev)"
    return
  fi
  mkdir -p /run/udev/rules.d
  cp "$source_dir/packaging/70-vexu-programmer.rules" /run/udev/rules.d/
  "$udevd" --daemon 2> "$work/udevd.err"
  wait_for 10 test -S /run/udev/control || problem "systemd-udevd did not start"
  station_one_pass "udev events" 1
  box_start other-hid=0x1234:0x5678
  wait_for 10 node_present || problem "the box's node did not appear"
  wait_for 5 other_present
  udevadm settle --timeout=10
  local node other
  node=$(box_node)
  other=$(other_node)
  udevadm info "$node" | tee "$work/udev-box.txt"
  udevadm info "$other" > "$work/udev-other.txt"
  grep -q 'uaccess' "$work/udev-box.txt" || problem "no uaccess tag on the box's node $node"
  ! grep -q 'uaccess' "$work/udev-other.txt" || problem "the other device's node $other is tagged uaccess"
  box_stop
  udevadm control --exit
  wait_for 10 test ! -S /run/udev/control
}

# h. A gang station through the kernel: two boxes of one virtual box
# program, each run in its own worker, each slot named by its location.
gang_station() {
  "$cli" --json run --station --gang --no-fpga --eeprom-image "$small" > "$work/gang.out" 2> "$work/gang.err" &
  local station=$!
  box_start --instances 2 "$fixed,unplugged,station-boxes=1,replug-after-ms=300"
  local boxes=$box_pid
  wait_for 90 test ! -e "/proc/$boxes" || problem "the boxes were not all served"
  box_pid=
  kill -INT "$station"
  wait "$station"
  local status=$?
  grep -v '"progress"' "$work/gang.out"
  cat "$work/gang.err"
  expect_status 0 "$status" "the gang station"
  [ "$(grep -c '"event":"result".*"ok":true' "$work/gang.out")" -eq 2 ] || problem "not two runs passed"
  [ "$(grep '"event":"result"' "$work/gang.out" | grep -o '"slot":"[^"]*"' | sort -u | wc -l)" -eq 2 ] ||
    problem "the two runs are not in two slots"
  expect_text "$work/gang.out" '"event":"summary","runs":2,"passed":2,"failed":0'
}

# f. A user who may not open the node is told which node and what grants
# access, at once.
no_permission() {
  local node command start status baseline
  # How long the program takes here to look for a box and find none.
  start=$(now)
  setpriv --reuid=65534 --regid=65534 --clear-groups "$cli" list > /dev/null 2>&1
  baseline=$(seconds_since "$start")
  box_start ""
  wait_for 10 node_present || { problem "the box's node did not appear"; return; }
  node=$(box_node)
  ls -l "$node"
  for command in list run; do
    start=$(now)
    setpriv --reuid=65534 --regid=65534 --clear-groups "$cli" "$command" > "$work/denied.out" 2> "$work/denied.err"
    status=$?
    cat "$work/denied.out" "$work/denied.err"
    [ "$status" -eq 5 ] || problem "$command exited $status, not 5"
    grep -q "cannot open the programmer box $node: permission denied" "$work/denied.err" ||
      problem "$command does not name $node"
    grep -q "70-vexu-programmer.rules" "$work/denied.err" || problem "$command does not point at the udev rule"
    # "At once": no wait or retry on the refused node. The guests share the
    # machine's cores, so the allowance grows with the baseline as a ratio.
    within "$(now)" "$start" "$(awk -v b="$baseline" 'BEGIN { print 3 * b + 2 }')" ||
      problem "$command took $(seconds_since "$start") s (finding no box: $baseline s)"
  done
}

# g. The window on the kernel's path under Xvfb: enabled when the box comes,
# a run passes, disabled when the box goes.
window_on_kernel_path() {
  if [ ! -x "$window" ]; then
    problem "the window is not built"
    return
  fi
  Xvfb :7 -screen 0 800x600x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
  local xvfb=$!
  wait_for 20 test -e /tmp/.X11-unix/X7 || problem "Xvfb did not start"
  DISPLAY=:7 timeout 170 "$window" --snapshots="$logs/window" > "$work/window.out" 2> "$work/window.err" &
  local shown=$!
  box_start "$fixed,unplugged,replug-after-ms=4000,station-boxes=1"
  wait "$shown"
  local status=$?
  cat "$work/window.err"
  expect_status 0 "$status" "the window's tour"
  expect_text "$work/window.err" "the run passed"
  expect_text "$work/window.err" "the box was taken away"
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
}

# i. The Windows HID path: vexu-cli.exe under wine finds the box through
# wine's HID bus (winebus's udev bus over hidraw), a whole run sends the
# simulated run's reports byte for byte, and a removal mid-run is told as one.
# The wine prefix is the one the Windows build made, at the path where it was
# made (a moved prefix is rebuilt at great length), writable through an
# overlay whose changes stay in the guest's memory.
windows_cli=$work/windows/vexu-cli.exe
wine_ready=
wine_setup() {
  if [ -n "$wine_ready" ]; then
    [ "$wine_ready" -eq 0 ] || problem "wine could not be set up (see scenario i)"
    return "$wine_ready"
  fi
  wine_ready=1
  local layer=$work/wine-layer
  mkdir -p "$layer/upper" "$layer/work" "$work/wine-home" "$work/wine-state" "${windows_cli%/*}"
  # Run from the host's share, a program dies under wine at its start (a
  # stack overflow as its image is paged in); a copy in memory runs.
  cp "$VEXU_WINDOWS_BUILD/vexu-cli.exe" "$windows_cli" || { problem "cannot copy vexu-cli.exe"; return 1; }
  mount -t overlay overlay -o "lowerdir=$WINEPREFIX,upperdir=$layer/upper,workdir=$layer/work" "$WINEPREFIX" ||
    { problem "cannot lay a writable overlay over $WINEPREFIX"; return 1; }
  # Without SDL (Debian's wine has none) winebus starts its udev bus only
  # when told to leave SDL alone. Written into the registry file before the
  # wine server reads it: a start of wine costs about a minute here.
  awk 'sdl == 1 && !/^#/ { print "\"Enable SDL\"=dword:00000000"; sdl = 2 }
       /^\[System\\\\CurrentControlSet\\\\Services\\\\winebus\]/ { sdl = 1 }
       { print } END { exit sdl != 2 }' "$WINEPREFIX/system.reg" > "$layer/system.reg" &&
    cat "$layer/system.reg" > "$WINEPREFIX/system.reg" ||
    { problem "the prefix's registry has no winebus service"; return 1; }
  # winebus serves hidraw devices through udev: udevd must run.
  /lib/systemd/systemd-udevd --daemon 2> "$work/udevd.err"
  wait_for 10 test -S /run/udev/control || { problem "systemd-udevd did not start"; return 1; }
  export HOME=$work/wine-home WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  export LOCALAPPDATA=$work/wine-state
  # One wine server, its session and its HID bus for all that follows: it
  # sees boxes come and go through udev. The first program starts them.
  wineserver -p
  local start
  start=$(now)
  timeout 300 /usr/lib/wine/wine64 "$windows_cli" --version < /dev/null > "$work/wine-start.out" 2>&1 ||
    { problem "vexu-cli.exe --version under wine failed: $(tail -1 "$work/wine-start.out")"; return 1; }
  echo "wine's session started in $(seconds_since "$start") s" >> "$out/figures"
  wine_ready=0
}
wine64() { /usr/lib/wine/wine64 "$@"; }
wineserver() { /usr/lib/wine/wineserver "$@"; }
# Until vexu-cli.exe lists the box, for at most SECONDS (a start of wine
# takes seconds here, so the tries are counted in time).
wine_lists_box() {  # SECONDS
  local since
  since=$(now)
  while within "$(now)" "$since" "$1"; do
    wine64 "$windows_cli" list < /dev/null 2>&1 | grep -q 'VID:0xA112 PID:0xB112' && return 0
    sleep 0.5
  done
  return 1
}

wine_list() {
  wine_setup || return
  box_start other-hid=0x1234:0x5678
  wait_for 10 node_present || { problem "the box's node did not appear"; return; }
  wait_for 5 other_present || problem "the other HID device did not appear"
  # wine's HID bus takes the new device in after udev has.
  wine_lists_box 60
  wine64 "$windows_cli" list < /dev/null > "$work/wine-list.out" 2>&1
  expect_status 0 $? "vexu-cli.exe list"
  tr -d '\r' < "$work/wine-list.out" | tee "$work/wine-list.txt"
  [ "$(grep -c 'VID:0xA112 PID:0xB112' "$work/wine-list.txt")" -eq 1 ] ||
    problem "vexu-cli.exe list shows $(grep -c 'VID:0xA112 PID:0xB112' "$work/wine-list.txt") boxes, not 1"
  ! grep -qi 'VID:0x1234' "$work/wine-list.txt" || problem "vexu-cli.exe list shows the other HID device"
}

wine_whole_run() {
  wine_setup || return
  box_start "$fixed"
  wait_for 10 node_present || { problem "the box's node did not appear"; return; }
  wine_lists_box 60 || { problem "wine's HID bus did not take the box in"; return; }
  local start
  start=$(now)
  wine64 "$windows_cli" --json --report-log "$work/wine.log" run < /dev/null > "$work/wine-run.out" 2> "$work/wine-run.err"
  expect_status 0 $? "the whole run of vexu-cli.exe through wine's HID bus"
  local took
  took=$(seconds_since "$start")
  tr -d '\r' < "$work/wine-run.err"
  "$cli" --simulate="$fixed" --report-log "$work/wine-sim.log" run > /dev/null 2> "$work/wine-sim.err"
  expect_status 0 $? "the simulated run"
  if ! cmp "$work/wine.log" "$work/wine-sim.log"; then
    problem "the report logs differ ($(wc -l < "$work/wine.log") and $(wc -l < "$work/wine-sim.log") reports)"
    cp "$work/wine.log" "$work/wine-sim.log" "$logs/"
  fi
  echo "whole run under wine: $(wc -l < "$work/wine.log") reports in $took s" >> "$out/figures"
}

wine_removal() {
  wine_setup || return
  box_start "$fixed,unplug-after=5000"
  wait_for 10 node_present || { problem "the box's node did not appear"; return; }
  wine_lists_box 60 || { problem "wine's HID bus did not take the box in"; return; }
  timeout 120 /usr/lib/wine/wine64 "$windows_cli" --json run < /dev/null > "$work/wine-removed.out" 2> "$work/wine-removed.err"
  local status=$? ended unplugged
  ended=$(now)
  tr -d '\r' < "$work/wine-removed.err" | tee "$work/wine-removed.txt"
  [ "$status" -eq 1 ] || problem "the run exited $status, not 1"
  grep -q "removed or stopped answering during the FPGA step" "$work/wine-removed.txt" ||
    problem "the failure does not say the box was removed during the FPGA step"
  unplugged=$(noted_at unplugged)
  [ -n "$unplugged" ] && within "$ended" "$unplugged" 10 ||
    problem "the run ended $(awk -v a="$ended" -v b="${unplugged:-0}" 'BEGIN{print a-b}') s after the removal"
}

figures() {
  box_start ""
  wait_for 10 node_present || return 1
  "$build/bench/bench_hidraw_reports" 500 | tee -a "$out/figures"
}

selected() { [ $# -eq 0 ] || [[ " $* " == *" $name "* ]]; }
for name in list run removal station gang permission window figures wine-list wine-run wine-removal; do
  selected "$@" || continue
  case $name in
    list) scenario a "list names the virtual box and not the other HID device" list_names_the_box ;;
    run)
      scenario b "a whole run through hidraw sends the simulated run's reports byte for byte" whole_run_and_second_program
      scenario e "a second program and the window are refused at once while a run holds the box" second_program_verdict
      ;;
    removal) scenario c "removal mid-run, an error answer and a short answer fail at once; the next run passes" removal_mid_run ;;
    station) scenario d "station mode follows real uevents, with and without udevd; the rule tags only the box" station_hotplug ;;
    gang) scenario h "a gang station serves two boxes at once through the kernel, each in its slot" gang_station ;;
    permission) scenario f "a user without access is told the node and the udev rule at once" no_permission ;;
    window) scenario g "the window under Xvfb: enabled with the box, a run passes, disabled without it" window_on_kernel_path ;;
    figures) figures > "$logs/figures.log" 2>&1 ;;
    wine-list) scenario i "vexu-cli.exe under wine lists the box through wine's HID bus, not the other device" wine_list ;;
    wine-run) scenario j "a whole vexu-cli.exe run under wine sends the simulated run's reports byte for byte" wine_whole_run ;;
    wine-removal) scenario k "vexu-cli.exe under wine tells a removal mid-run as a removal" wine_removal ;;
  esac
done
echo "scenarios done" >> "$out/results"
