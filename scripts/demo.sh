#!/usr/bin/env bash
# The main job on a simulated device: builds what is needed, starts a device of its own (the
# notification registry, the example configuration image (docs/examples/radio.json) and the screen
# service, in a private namespace), runs FrameGrab with
# PATH (default ./screenshot.png) and shows its output, then stops the device and cleans up.
#   BUILD_DIR   build directory (default: build-demo beside this script's folder; scripts/test.sh
#               uses build, so neither rebuilds the other's)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/scripts/packages.sh"

say() { echo "demo: $*" >&2; }

build_dir=${BUILD_DIR:-$here/build-demo}
log=$(mktemp)
say "building FrameGrab and coresys in $build_dir (the first build takes a few minutes)"
if ! { cmake -S "$here" -B "$build_dir" -G Ninja -DCORESYSTEM_BUILD_TESTS=OFF -DCORESYSTEM_BUILD_BENCH=OFF &&
       cmake --build "$build_dir" --target FrameGrab coresys; } >"$log" 2>&1; then
    cat "$log" >&2
    say "the build failed"
    exit 1
fi
rm -f "$log"
coresys=$build_dir/tools/coresys/coresys
framegrab=$build_dir/tools/framegrab/FrameGrab

export CORESYSTEM_NAMESPACE=demo-$$
work=$(mktemp -d)
service=""
cleanup() {
    if [[ -n $service ]]; then
        kill -TERM "$service" 2>/dev/null || true
        wait "$service" 2>/dev/null || true
    fi
    rm -f /dev/shm/"$CORESYSTEM_NAMESPACE".* /dev/shm/sem."$CORESYSTEM_NAMESPACE".*
    rm -rf "$work"
}
trap cleanup EXIT

say "starting a simulated device in namespace $CORESYSTEM_NAMESPACE: registry and screen service"
"$coresys" nm create >/dev/null
# The configuration loader's part: the example description built and loaded, its marker kept under
# the device's own root (processes that open the image need the same CORESYSTEM_ROOT).
config_root=$work/root
"$coresys" conf build "$here/docs/examples/radio.json" -o "$work/configuration.img" >/dev/null
CORESYSTEM_ROOT=$config_root "$coresys" conf load "$work/configuration.img" >&2
"$coresys" screen-service --ready-file "$work/ready" >"$work/service.log" 2>&1 &
service=$!
for _ in $(seq 1 200); do
    [[ -e $work/ready ]] && break
    kill -0 "$service" 2>/dev/null || { cat "$work/service.log" >&2; exit 1; }
    sleep 0.05
done
[[ -e $work/ready ]] || { echo "demo: the screen service did not start" >&2; cat "$work/service.log" >&2; exit 1; }

say "taking a screenshot: FrameGrab ${1:-./screenshot.png}"
status=0
"$framegrab" "${1:-./screenshot.png}" || status=$?
echo "--- screen service log" >&2
cat "$work/service.log" >&2
exit $status
