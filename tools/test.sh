#!/usr/bin/env bash
# Builds everything and runs every test.
#   tools/test.sh              the normal build, in build/
#   tools/test.sh --sanitize   with AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
#   tools/test.sh --long       the normal build, then the interleaving hunt: the many-seed
#                              scenarios with LONG_SEEDS seeds each (default 2000) and the whole
#                              suite once per seed 2..SUITE_SEEDS (default 100); every failing
#                              seed is printed with the command that replays it
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
long=false
case "${1:-}" in
--sanitize)
    dir=build-asan
    flags=(-DVEXLINK_SANITIZE=ON)
    ;;
--long) long=true ;;
esac
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug "${flags[@]}" >/dev/null
cmake --build "$dir" -j2
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if ! $long; then
    ctest --test-dir "$dir" --output-on-failure -j2
    exit 0
fi

tests="$dir/vexlink_tests"
log=$(mktemp -d)
failed=0
echo "many-seed scenarios, ${LONG_SEEDS:-2000} seeds each"
if ! VEXLINK_SEEDS="${LONG_SEEDS:-2000}" "$tests" --gtest_brief=1 --gtest_filter='Seeds/*' >"$log/seeds.txt" 2>&1; then
    grep 'FAILED  \]' "$log/seeds.txt" | sed 's/^/  /'
    echo "  replay: $tests --gtest_filter=<the case above> (its seed is the case's number)"
    failed=1
fi
tail -n 1 "$log/seeds.txt"
echo "whole suite under seeds 2..${SUITE_SEEDS:-100}"
suite() {
    if ! VEXLINK_SEED="$1" "$tests" --gtest_brief=1 >"$log/suite-$1.txt" 2>&1; then
        grep 'FAILED  \]' "$log/suite-$1.txt" | sed "s|^|  seed $1: |"
        echo "  replay: VEXLINK_SEED=$1 $tests --gtest_filter=<the test above>"
        return 1
    fi
}
export -f suite
export tests log
seq 2 "${SUITE_SEEDS:-100}" | xargs -P 2 -I{} bash -c 'suite {}' || failed=1
echo "$((${SUITE_SEEDS:-100} - 1)) whole-suite runs done; logs in $log"
exit $failed
