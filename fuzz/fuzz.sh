#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for SECONDS (default 60)
# on its seed corpus. New inputs go to build-fuzz/corpus/, findings to build-fuzz/findings/; the
# seeds in fuzz/corpus/ stay as they are.
# usage: fuzz/fuzz.sh [SECONDS [TARGET...]]     targets: base64 percent html cookies multipart
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_EACH=${1:-60}
[ $# -gt 0 ] && shift
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(base64 percent html cookies multipart)
BUILD=$ROOT/build-fuzz

if [ ! -f "$BUILD/build.ninja" ] || ! grep -q '^NUBELO_WERROR:BOOL=ON$' "$BUILD/CMakeCache.txt"; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DNUBELO_FUZZ=ON \
          -DNUBELO_WERROR=ON >/dev/null
fi
cmake --build "$BUILD" --target "${TARGETS[@]/#/fuzz_}"

status=0
for t in "${TARGETS[@]}"; do
    work=$BUILD/corpus/$t
    mkdir -p "$work" "$BUILD/findings"
    args=(-max_total_time="$SECONDS_EACH" -print_final_stats=1
          -artifact_prefix="$BUILD/findings/$t-")
    [ -f "$ROOT/fuzz/dict/$t.dict" ] && args+=(-dict="$ROOT/fuzz/dict/$t.dict")
    log=$BUILD/fuzz-$t.log
    echo "fuzz: $t for ${SECONDS_EACH}s" >&2
    if "$BUILD/fuzz/fuzz_$t" "${args[@]}" "$work" "$ROOT/fuzz/corpus/$t" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        echo "fuzz: $t: ${runs:-?} executions, no finding" >&2
    else
        echo "fuzz: $t: FINDING (input in $BUILD/findings/), log follows" >&2
        tail -n 60 "$log" >&2
        status=1
    fi
done
exit $status
