#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test twice: once
# in a plain build, once under AddressSanitizer and UndefinedBehaviorSanitizer.
# Exits non-zero on any failure; the test summaries come last.
set -uo pipefail
cd "$(dirname "$0")"

packages=(cmake make g++ libgtest-dev libgmock-dev clang-format gettext iproute2 libcrypt-dev man-db groff-base
          python3 python3-croniter)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "== installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq || exit 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" || exit 1
fi

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
jobs=$(nproc 2>/dev/null || echo 2)

configure_and_build() { # dir, extra cmake arguments...
    local dir=$1
    shift
    # A build directory made with another generator cannot be reused.
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -q "CMAKE_GENERATOR:INTERNAL=${generator[1]:-Unix Makefiles}\$" "$dir/CMakeCache.txt"; then
        rm -rf "$dir"
    fi
    cmake -S . -B "$dir" "${generator[@]}" "$@" >/dev/null || return 1
    cmake --build "$dir" -j "$jobs" || return 1
}

status=0
summary=()
run_suite() { # name, dir
    local name=$1 dir=$2 log
    log=$(mktemp)
    echo "== tests: $name"
    (cd "$dir" && ctest --output-on-failure -j "$jobs") 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    [ "$rc" -eq 0 ] || status=1
    summary+=("$name: $(grep -E 'tests passed|tests failed' "$log" | tail -n 1)")
    rm -f "$log"
}

echo "== build: plain"
if configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    ln -sf build/compile_commands.json compile_commands.json
    run_suite plain build
else
    status=1
    summary+=("plain: build failed")
fi

echo "== build: sanitizers"
if configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DVOLTMIRA_SANITIZE=ON; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run_suite sanitizers build-asan
else
    status=1
    summary+=("sanitizers: build failed")
fi

echo "== summary"
printf '%s\n' "${summary[@]}"
exit $status
