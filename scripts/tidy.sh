#!/usr/bin/env bash
# clang-tidy with the repository's .clang-tidy over every source the build compiles of the
# library, the stand-in host, the firmware-file reader, the wire, the connections, the process
# helpers, the emulator and gwctl; any finding fails the run. Uses the compile commands of a
# configured build (default build/dev).
# Usage: scripts/tidy.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
top=$PWD
mapfile -t files < <(grep -o '"file": "[^"]*"' "$build/compile_commands.json" | sed 's/"file": "\(.*\)"/\1/' |
    grep -E "^$top/(lib|host|firmware|wire|connections|process|emulator|cli)/" | sort -u)
echo "clang-tidy: ${#files[@]} files"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
printf '%s\n' "${files[@]}" |
    xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' >"$log" 2>&1 ||
    status=$?
grep -vE '^[0-9]+ warnings? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' "$log" || true
exit "$status"
