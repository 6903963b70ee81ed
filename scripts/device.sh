#!/usr/bin/env bash
# The whole simulated device in one command: the notification registry, the example configuration
# (docs/examples/radio.json, built and loaded), the variables database, the shared lists, the
# screen service, a board and the example application "Radio" (examples/radio), all in a namespace
# and a host root of their own. Runs until Ctrl-C or "scripts/device.sh stop", then stops every
# process and removes the device's shared-memory objects and its root.
#   scripts/device.sh [start]   start the device and wait
#   scripts/device.sh stop      stop the device started from this checkout
#   BUILD_DIR           build directory (default: build, beside this script's folder)
#   DEVICE_NAMESPACE    namespace of the device (default: device-<pid>)
#   DEVICE_STATE        file recording the running device (default: <build dir>/device.pid)
#   DEVICE_SKIP_BUILD   1: use the built programs as they are
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
state=${DEVICE_STATE:-$build_dir/device.pid}

if [[ ${1:-start} == stop ]]; then
    [[ -s $state ]] || { echo "device: no device is running (no $state)" >&2; exit 1; }
    pid=$(cat "$state")
    kill -TERM "$pid" 2>/dev/null || { echo "device: the device ($pid) is gone" >&2; rm -f "$state"; exit 1; }
    # The device removes the state file when it has cleaned up.
    for _ in $(seq 1 100); do [[ -e $state ]] && kill -0 "$pid" 2>/dev/null || exit 0; sleep 0.1; done
    echo "device: the device ($pid) did not stop within 10 s" >&2
    exit 1
fi
[[ ${1:-start} == start ]] || { echo "usage: scripts/device.sh [start|stop]" >&2; exit 2; }
if [[ -s $state ]] && kill -0 "$(cat "$state")" 2>/dev/null; then
    echo "device: a device is already running ($(cat "$state")); stop it with scripts/device.sh stop" >&2
    exit 1
fi

if [[ ${DEVICE_SKIP_BUILD:-0} != 1 ]]; then
    source "$here/scripts/packages.sh"
    cmake -S "$here" -B "$build_dir" -G Ninja >/dev/null
    cmake --build "$build_dir" --target coresys FrameGrab radio-example in32 out32 >/dev/null
fi
coresys=$build_dir/tools/coresys/coresys
radio=$build_dir/examples/radio-example

export CORESYSTEM_NAMESPACE=${DEVICE_NAMESPACE:-device-$$}
work=$(mktemp -d)
export CORESYSTEM_ROOT=$work/root
pids=()
cleanup() {
    trap - EXIT INT TERM
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -f /dev/shm/"$CORESYSTEM_NAMESPACE".* /dev/shm/sem."$CORESYSTEM_NAMESPACE".*
    rm -rf "$work"
    [[ $(cat "$state" 2>/dev/null) == "$$" ]] && rm -f "$state"
    echo "device: stopped, nothing left in /dev/shm"
}
trap cleanup EXIT
trap 'exit 0' INT TERM
mkdir -p "$(dirname "$state")"
echo $$ >"$state"

# Wait (at most 10 s) until FILE exists while process PID runs; LOG is shown when it does not.
await() {
    for _ in $(seq 1 200); do
        [[ -e $1 ]] && return 0
        kill -0 "$2" 2>/dev/null || break
        sleep 0.05
    done
    echo "device: $4 did not start" >&2
    cat "$3" >&2
    exit 1
}

"$coresys" board init >/dev/null
"$coresys" nm create >/dev/null
"$coresys" conf build "$here/docs/examples/radio.json" -o "$work/configuration.img" >/dev/null
"$coresys" conf load "$work/configuration.img" >/dev/null
"$coresys" db create "$here/docs/examples/radio.json" >/dev/null
mkdir -p "$work/lists1" "$work/lists2"
"$coresys" lists create --first "$work/lists1/" --second "$work/lists2/" >/dev/null
"$coresys" screen-service --source pattern --ready-file "$work/screen.ready" >"$work/screen.log" 2>&1 &
pids+=($!)
await "$work/screen.ready" "$!" "$work/screen.log" "the screen service"
"$radio" >"$work/radio.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 200); do grep -q "Radio is running" "$work/radio.log" && break; sleep 0.05; done
grep -q "Radio is running" "$work/radio.log" || { echo "device: Radio did not start" >&2; cat "$work/radio.log" >&2; exit 1; }

cat <<INFO
device: running in namespace $CORESYSTEM_NAMESPACE, root $CORESYSTEM_ROOT
  registry, configuration (docs/examples/radio.json), database /DBSHM, lists, board, screen service,
  and the application Radio (examples/radio/main.cpp), whose output follows.
Talk to it from another shell:
  export CORESYSTEM_NAMESPACE=$CORESYSTEM_NAMESPACE CORESYSTEM_ROOT=$CORESYSTEM_ROOT
  $coresys nm list                          # endpoints and receivers
  $coresys nm send RadioAction 8d2300002a000000   # action 9101 (Radio's 1): Volume 42
  $coresys nm send RadioAction 8c23000000000000   # action 9100 (Radio's 0): its greeting in the current culture
  $coresys db watch --count 3               # event codes, as the receiver of CCMEvent
  $coresys db get Volume
  $coresys app NVMgr                        # an application manager driven by commands
  $build_dir/tools/framegrab/FrameGrab /tmp/shot.png
Stop it with Ctrl-C or scripts/device.sh stop.
INFO
tail -n +1 -f "$work/radio.log" &
pids+=($!)
wait "${pids[1]}" || true
