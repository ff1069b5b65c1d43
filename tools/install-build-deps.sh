#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v ninja >/dev/null || need+=(ninja-build)
[[ -f /usr/include/gtest/gtest.h ]] || need+=(libgtest-dev)
[[ -f /usr/include/benchmark/benchmark.h ]] || need+=(libbenchmark-dev)
if ((${#need[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}"
fi
