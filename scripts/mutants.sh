#!/usr/bin/env bash
# The mutation check: applies each deliberate fault of scripts/mutants.txt, one at a time, to a
# scratch copy of the tracked files at HEAD, rebuilds it incrementally (dev preset) and runs the
# tests. A mutant is caught when a test fails, or the build (shown apart: a mutant that only
# breaks the build says little, so each one should compile), missed when everything passes.
# Prints "N mutants, C caught, M missed" and the missed ones; exits 1 when any is missed and 2
# when the list or the unmutated copy is unusable (a text not found exactly once, a failing
# baseline).
# Usage: scripts/mutants.sh [--check] [NAME...]   (only the named mutants; all by default)
#   --check only makes sure every text is found exactly once at HEAD, without building.
# Environment: MUTANTS_LIST (default scripts/mutants.txt), MUTANTS_TMPDIR (where the new scratch
# folder goes, default /tmp), MUTANTS_TEST_TIMEOUT (seconds per test, default 120),
# MUTANTS_KEEP=1 keeps the scratch copy (its logs/ folder is always kept).
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true  # '&' in a replacement stays '&'
cd "$(dirname "$0")/.."

check_only=0
if [ "${1:-}" = --check ]; then
    check_only=1
    shift
fi
list=$(realpath "${MUTANTS_LIST:-scripts/mutants.txt}")
work=$(mktemp -d "${MUTANTS_TMPDIR:-/tmp}/gwu-mutants.XXXXXX")
# Open to every user: a suite run as root runs some programs as the user nobody.
chmod 755 "$work"
test_timeout=${MUTANTS_TEST_TIMEOUT:-120}
src=$work/src
logs=$work/logs
# The scratch copy goes on every way out (unless kept); the logs stay while there are any.
cleanup() {
    cd /
    if [ "${MUTANTS_KEEP:-}" != 1 ]; then
        rm -rf "$src"
    fi
    rmdir "$logs" "$work" 2>/dev/null || true
}
trap cleanup EXIT

# The mutants: name, files, text, replacement and description in parallel arrays.
names=() files=() finds=() replaces=() descriptions=()
while IFS= read -r line || [ -n "$line" ]; do
    [[ -z "${line//[[:space:]]/}" || $line == \#* ]] && continue
    IFS=$'\x01' read -r name file find replace description extra <<<"${line// @@ /$'\x01'}"
    if [ -z "$description" ] || [ -n "$extra" ]; then
        echo "mutants: not five fields: $line" >&2
        exit 2
    fi
    if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then
        continue
    fi
    names+=("$name") files+=("$file") descriptions+=("$description")
    finds+=("${find//\{NL\}/$'\n'}") replaces+=("${replace//\{NL\}/$'\n'}")
done <"$list"
if [ ${#names[@]} -eq 0 ]; then
    echo "mutants: no mutant to run in $list" >&2
    exit 2
fi

# How often the text occurs in the content.
occurrences() {
    local rest=$1 text=$2 count=0
    while [[ $rest == *"$text"* ]]; do
        rest=${rest#*"$text"}
        count=$((count + 1))
    done
    echo "$count"
}

# The one file among the globs that holds the text once, the others not at all; empty when the
# text is not found exactly once.
target_of() {
    local globs=$1 text=$2 file content count total=0 target=""
    for file in $globs; do
        [ -f "$file" ] || continue
        IFS= read -r -d '' content <"$file" || true
        count=$(occurrences "$content" "$text")
        total=$((total + count))
        [ "$count" -gt 0 ] && target=$file
    done
    [ "$total" -eq 1 ] && echo "$target"
    return 0
}

# Builds and tests the scratch copy, logging to $1.build.log and $1.test.log. Returns 1 when
# the build fails, 2 when a test fails. The long runs and the browser test are left out, as the
# dev test preset leaves them out.
build_and_test() {
    if ! cmake --build build/dev -j2 >"$1.build.log" 2>&1; then
        return 1
    fi
    if ! ctest --test-dir build/dev -j2 --timeout "$test_timeout" --stop-on-failure -LE "^(stress|soak|browser)$" \
        --output-on-failure >"$1.test.log" 2>&1; then
        return 2
    fi
}

mkdir -p "$src" "$logs"
git archive HEAD | tar -x -C "$src"
cd "$src"

# Every text must be found before anything is built: a stale list fails at once.
for i in "${!names[@]}"; do
    if [ -z "$(target_of "${files[$i]}" "${finds[$i]}")" ]; then
        echo "mutants: ${names[$i]}: the text is not found exactly once in ${files[$i]}" >&2
        exit 2
    fi
done
if [ "$check_only" -eq 1 ]; then
    echo "${#names[@]} mutants, every text found exactly once"
    exit 0
fi

start=$SECONDS
echo "Scratch copy of $(git -C "$OLDPWD" rev-parse --short HEAD) in $src; baseline build and tests"
cmake --preset dev >"$logs/baseline.configure.log" 2>&1
status=0
build_and_test "$logs/baseline" || status=$?
if [ "$status" -ne 0 ]; then
    echo "mutants: the unmutated copy fails its $([ "$status" -eq 1 ] && echo build || echo tests)" \
        "(logs: $logs/baseline.*)" >&2
    exit 2
fi
echo "baseline passes ($((SECONDS - start))s)"

caught=0
missed=()
for i in "${!names[@]}"; do
    name=${names[$i]}
    file=$(target_of "${files[$i]}" "${finds[$i]}")
    cp -p "$file" "$logs/$name.original"
    IFS= read -r -d '' content <"$file" || true
    printf '%s' "${content/"${finds[$i]}"/"${replaces[$i]}"}" >"$file"
    began=$SECONDS
    status=0
    build_and_test "$logs/$name" || status=$?
    case $status in
        1) verdict="caught (build fails)" ;;
        2) failed=$(sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' \
               "$logs/$name.test.log" | head -n 1)
           verdict="caught by ${failed:-a failing test}" ;;
        *) verdict="MISSED" ;;
    esac
    if [ "$status" -eq 0 ]; then
        missed+=("$name")
    else
        caught=$((caught + 1))
    fi
    printf '%-34s %s (%ss)\n' "$name" "$verdict" "$((SECONDS - began))"
    # The original content with a new time stamp, so the next build compiles it again.
    cp "$logs/$name.original" "$file" && touch "$file" && rm "$logs/$name.original"
done

echo "${#names[@]} mutants, $caught caught, ${#missed[@]} missed ($((SECONDS - start))s)"
for name in "${missed[@]}"; do
    for i in "${!names[@]}"; do
        [ "${names[$i]}" = "$name" ] && echo "  missed: $name: ${descriptions[$i]} (${files[$i]})"
    done
done
echo "logs: $logs"
[ ${#missed[@]} -eq 0 ]
