#!/usr/bin/env bash
# Builds everything and runs every test.
#   tools/test.sh              the normal build, in build/
#   tools/test.sh --sanitize   with AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
if [[ "${1:-}" == "--sanitize" ]]; then
    dir=build-asan
    flags=(-DVEXLINK_SANITIZE=ON)
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug "${flags[@]}" >/dev/null
cmake --build "$dir" -j2
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$dir" --output-on-failure -j2
