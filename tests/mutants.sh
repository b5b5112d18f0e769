#!/usr/bin/env bash
# Mutation check: applies each fault listed in tests/mutants.txt alone, builds, runs the tests
# named for it and restores the file. A mutant is "killed" when a test fails, "survived" when
# every named test still passes, "unbuilt" (a mistake in the list) when the compiler refuses it.
# Prints one line per mutant, then the total; with KILLERS=1 it also runs every test against each
# mutant and records which ones kill it (slow: the whole suite per mutant).
#
# usage: tests/mutants.sh [ID-REGEX]        (through ./run mutants)
#
# tests/mutants.txt holds one mutant per line, fields separated by " @@ ":
#   ID @@ FILE @@ TEXT @@ REPLACEMENT @@ TESTS @@ WHAT IT BREAKS
# TEXT must occur on exactly one line of FILE; TESTS is a CTest name pattern (-R).
# Lines starting with "#" and blank lines are skipped.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
LIST=$ROOT/tests/mutants.txt
BUILD=${MUTANTS_BUILD:-$ROOT/build-mutants}
PICK=${1:-.}
RESULTS=$BUILD/mutants-results.txt

# Configured every time: the test names below come from the configuration, and a build folder
# left from before a suite was renamed would name a target that no longer exists.
cmake -S "$ROOT" -B "$BUILD" -G Ninja >/dev/null || exit 2
echo "mutants: baseline build" >&2
# The tests the picked mutants name (the whole tree for KILLERS=1).
patterns=""
while IFS= read -r line || [ -n "$line" ]; do
    [[ -z "${line// /}" || "$line" == \#* ]] && continue
    IFS=$'\x1f' read -r id _ _ _ tests _ <<<"${line// @@ /$'\x1f'}"
    [[ "$id" =~ $PICK ]] && patterns+="${patterns:+|}$tests"
done <"$LIST"
baseline=()
if [ "${KILLERS:-0}" != 1 ] && [ -n "$patterns" ]; then
    mapfile -t named < <(ctest --test-dir "$BUILD" -N -R "$patterns" 2>/dev/null |
        sed -n 's/^ *Test *#[0-9]*: *//p')
    [ "${#named[@]}" -gt 0 ] && baseline=(--target "${named[@]}")
fi
cmake --build "$BUILD" "${baseline[@]}" >/dev/null ||
    { echo "mutants: the unmutated tree does not build" >&2; exit 2; }

backup=""
target=""
restore() {
    if [ -n "$backup" ] && [ -f "$backup" ]; then
        # A fresh mtime, not the original one: Ninja rebuilds only for an input newer than its
        # output, so a file put back with its old time would leave the mutant in the build.
        cp "$backup" "$target"
        rm -f "$backup"
        backup=""
    fi
}
# A Ctrl-C or an error halfway must never leave a mutant in the source tree.
trap 'restore; exit 130' INT TERM
trap restore EXIT

# The tests a pattern names; each test is the target of the same name, and its programs are
# its dependencies, so building these is enough to run them.
tests_named() { # PATTERN
    ctest --test-dir "$BUILD" -N -R "$1" 2>/dev/null | sed -n 's/^ *Test *#[0-9]*: *//p'
}

run_tests() { # PATTERN -> 0 when all pass
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$BUILD" -R "$1" -j "$(nproc)" \
        --timeout 300 >/dev/null 2>&1
}

killed=0
survived=0
invalid=0
: >"$RESULTS"
while IFS= read -r line || [ -n "$line" ]; do
    [[ -z "${line// /}" || "$line" == \#* ]] && continue
    IFS=$'\x1f' read -r id file text replacement tests what \
        <<<"${line// @@ /$'\x1f'}"
    [[ "$id" =~ $PICK ]] || continue
    target=$ROOT/$file
    if [ ! -f "$target" ] || [ "$(grep -cF -- "$text" "$target")" != 1 ]; then
        echo "INVALID  $id: the text is not on exactly one line of $file" | tee -a "$RESULTS"
        invalid=$((invalid + 1))
        continue
    fi
    mapfile -t named < <(tests_named "$tests")
    if [ "${#named[@]}" -eq 0 ]; then
        echo "INVALID  $id: the pattern $tests names no test" | tee -a "$RESULTS"
        invalid=$((invalid + 1))
        continue
    fi
    # Only what the named tests need (the whole tree when every test is to run against it).
    build_args=(--target "${named[@]}")
    [ "${KILLERS:-0}" = 1 ] && build_args=()
    backup=$(mktemp)
    cp -p "$target" "$backup"
    content=$(<"$target")
    printf '%s\n' "${content/"$text"/"$replacement"}" >"$target"

    verdict=survived
    by=""
    if ! cmake --build "$BUILD" "${build_args[@]}" >/dev/null 2>&1; then
        # A fault the compiler refuses is not one a test could miss: the list needs mending.
        verdict=unbuilt
    elif [ "${KILLERS:-0}" = 1 ]; then
        # The whole suite, and every test function that fails, so each test's worth can be
        # read off: which faults it catches, and which of those nothing else does.
        log=$BUILD/mutant-$id.log
        QT_QPA_PLATFORM=offscreen ctest --test-dir "$BUILD" -j "$(nproc)" --timeout 300 \
            --output-on-failure >"$log" 2>&1 || verdict=killed
        by=$( (sed -n 's/^[[:space:]]*[0-9]* - \([A-Za-z0-9_]*\) (.*/\1/p' "$log"
               sed -n 's/^FAIL! *: *\([A-Za-z0-9_]*::[A-Za-z0-9_]*\).*/\1/p' "$log") |
            sort -u | tr '\n' ' ')
        by=" [killed by: ${by:-nothing}]"
    elif ! run_tests "$tests"; then
        verdict=killed
    fi
    restore
    case $verdict in
        survived) survived=$((survived + 1)) ;;
        killed) killed=$((killed + 1)) ;;
        unbuilt) invalid=$((invalid + 1)) ;;
    esac
    printf '%-9s %s: %s%s\n' "$verdict" "$id" "$what" "$by" | tee -a "$RESULTS"
done <"$LIST"

# No rebuild of the unmutated tree here: every file put back is newer than what was built from
# its mutant, so the next build of any target takes it up again.
total=$((killed + survived))
echo "mutants: $killed of $total killed, $survived survived, $invalid invalid" | tee -a "$RESULTS"
[ "$invalid" -eq 0 ]
