#!/usr/bin/env bash
# Plants the faults listed in a data file one at a time, rebuilds incrementally in a build
# directory of its own, runs the tests each fault names and reports whether they caught it.
# The changed source file is restored after every fault, also when the sweep is interrupted.
#
#   scripts/fault-sweep.sh [--check] [FAULTS_FILE]   default scripts/faults.txt (its header gives
#                                                    the format); --check only looks for each text
#   BUILD_DIR      build directory (default build-faults)
#   TEST_TIMEOUT   seconds one test case may run (default 30); a fault caught only by a time-out
#                  is reported as such
#   ONLY           extended regex: plant only the faults whose description matches
#
# Exit status: 0 when no applicable fault was missed, 1 when one was, 2 for a malformed list.
set -uo pipefail
cd "$(dirname "$0")/.."

check_only=0
if [ "${1:-}" = --check ]; then check_only=1; shift; fi
faults_file=${1:-scripts/faults.txt}
build_dir=${BUILD_DIR:-build-faults}
test_timeout=${TEST_TIMEOUT:-30}
only=${ONLY:-}
[ -r "$faults_file" ] || { echo "fault-sweep: cannot read $faults_file" >&2; exit 2; }

# ---- The list ----------------------------------------------------------------------------------
names=() files=() finds=() puts=() selections=()
fault='' file='' find='' put='' tests='' has_put=0 line_no=0 block_line=0
add_fault() {
    [ -n "$fault$file$find$tests" ] || return 0
    if [ -z "$fault" ] || [ -z "$file" ] || [ -z "$find" ] || [ -z "$tests" ] || [ "$has_put" = 0 ]; then
        echo "fault-sweep: $faults_file:$block_line: a fault needs fault:, file:, find:, put: and tests:" >&2
        exit 2
    fi
    if [ -z "$only" ] || [[ $fault =~ $only ]]; then
        names+=("$fault") files+=("$file") finds+=("$find") puts+=("$put") selections+=("$tests")
    fi
    fault='' file='' find='' put='' tests='' has_put=0
}
while IFS= read -r line || [ -n "$line" ]; do
    line_no=$((line_no + 1))
    [ -n "$fault$file$find$tests" ] || block_line=$line_no
    value=${line#*:}
    value=${value# }
    case $line in
        '#'*) ;;
        '') add_fault ;;
        fault:*) fault=$value ;;
        file:*) file=$value ;;
        find:*) find=${find:+$find$'\n'}$value ;;   # a repeated find: or put: adds a line
        put:*) if [ "$has_put" = 1 ]; then put=$put$'\n'$value; else put=$value has_put=1; fi ;;
        tests:*) tests=$value ;;
        *) echo "fault-sweep: $faults_file:$line_no: unknown line: $line" >&2; exit 2 ;;
    esac
done < "$faults_file"
add_fault
[ ${#names[@]} -gt 0 ] || { echo "fault-sweep: no faults to plant" >&2; exit 2; }

# ---- Planting and restoring --------------------------------------------------------------------
planted='' original=''
restore() {
    # Written in place rather than moved back: the file gets a new time, so the next build
    # recompiles it even though the faulty object is newer than the original text.
    if [ -n "$planted" ]; then
        printf '%s' "$original" > "$planted"
        planted=''
    fi
}
trap restore EXIT
trap 'restore; echo; echo "fault-sweep: interrupted, sources restored" >&2; exit 130' INT TERM HUP

# Plants fault $1; returns 1 (with the reason in $reason) when its text is not found exactly once.
plant() {
    local i=$1 content rest count
    local path=${files[$i]} from=${finds[$i]} to=${puts[$i]}
    if [ ! -f "$path" ]; then reason="no file $path"; return 1; fi
    content=$(cat "$path"; printf x)   # the x keeps trailing newlines
    content=${content%x}
    rest=${content//"$from"/}
    count=$(( (${#content} - ${#rest}) / ${#from} ))
    if [ "$count" -ne 1 ]; then reason="text found $count times in $path"; return 1; fi
    original=$content planted=$path
    printf '%s' "${content/"$from"/"$to"}" > "$path"
}

if [ "$check_only" = 1 ]; then
    status=0
    for i in "${!names[@]}"; do
        reason=''
        if plant "$i"; then restore; result=ok; else result=n/a status=1; fi
        printf '%3d  %-7s %s%s\n' $((i + 1)) "$result" "${names[$i]}" "${reason:+  ($reason)}"
    done
    exit "$status"
fi

# ---- Building and testing ----------------------------------------------------------------------
mkdir -p "$build_dir/fault-logs"
logs=$build_dir/fault-logs
echo "fault-sweep: configuring $build_dir (test time limit ${test_timeout}s)"
cmake -S . -B "$build_dir" -G Ninja -DCORESYSTEM_BUILD_BENCH=OFF \
    -DCORESYSTEM_TEST_TIMEOUT="$test_timeout" > "$logs/configure.log" 2>&1 ||
    { echo "fault-sweep: configure failed, see $logs/configure.log" >&2; exit 2; }

build() { cmake --build "$build_dir" > "$1" 2>&1; }
# Runs the tests selected by $1 (ctest arguments as shell words); the status is ctest's.
run_tests() {
    local args=()
    eval "args=($1)"
    (cd "$build_dir" && ctest -j2 --no-tests=error --output-on-failure "${args[@]}") > "$2" 2>&1
}

echo "fault-sweep: building without faults"
build "$logs/build-clean.log" || { echo "fault-sweep: the clean build fails, see $logs/build-clean.log" >&2; exit 2; }

declare -A baseline=()   # test selection -> 0 when its tests pass without any fault
caught=0 missed=0 inapplicable=0 hung=0
missed_names=()
for i in "${!names[@]}"; do
    n=$((i + 1))
    log=$logs/fault-$n.log
    selection=${selections[$i]}
    if [ -z "${baseline[$selection]+set}" ]; then
        # The previous fault's build is still in place: build the restored sources first.
        build "$logs/build-baseline-$n.log"
        run_tests "$selection" "$logs/baseline-$n.log"
        baseline[$selection]=$?
    fi
    reason=''
    if [ "${baseline[$selection]}" -ne 0 ]; then
        result="n/a" reason="its tests fail without the fault, see $logs/baseline-*.log"
    elif ! plant "$i"; then
        result="n/a"
    elif ! build "$log"; then
        result="n/a" reason="does not build, see $log"
    elif run_tests "$selection" "$log"; then
        result="MISSED"
    elif grep -q '\*\*\*Timeout' "$log"; then
        result="caught" reason="only by a time-out, see $log"
        hung=$((hung + 1))
    else
        result="caught"
    fi
    restore
    case $result in
        caught) caught=$((caught + 1)) ;;
        MISSED) missed=$((missed + 1)) missed_names+=("$n. ${names[$i]}") ;;
        *) inapplicable=$((inapplicable + 1)) ;;
    esac
    printf '%3d  %-7s %s%s\n' "$n" "$result" "${names[$i]}" "${reason:+  ($reason)}"
done

# Leave the build directory matching the restored sources.
build "$logs/build-restored.log" || echo "fault-sweep: rebuilding the restored sources failed" >&2

applicable=$((caught + missed))
echo
echo "fault-sweep: caught $caught of $applicable applicable faults" \
    "($(( applicable > 0 ? 100 * caught / applicable : 0 ))%; $hung of them only by a time-out)," \
    "missed $missed, not applicable $inapplicable"
for name in "${missed_names[@]}"; do echo "  missed: $name"; done
[ "$missed" -eq 0 ]
