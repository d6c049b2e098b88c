#!/usr/bin/env bash
# The story the README's first command tells, on the embedded default (the in-process emulated
# gateway and the sample folders): a communication module behind the sample release is checked
# and updated until it matches, the serial-number list shows the devices met, and modules that
# lost their serial numbers are repaired from the deployed-unit list; the sample release is
# verified, and a tampered copy of it refused; the tester's history tells it all again.
# Usage: scripts/story.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
gwctl="$build/cli/gwctl"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/logs"
# Each gwctl run works on a fresh scratch copy of the sample release (its embedded default),
# verified with the sample publisher's key.
unset GWU_FIRMWARE_DIR GWU_TRUST_DIR
export GWU_LOG_DIR="$work/logs" GWU_RUNTIME_DIR="$PWD/samples/runtime"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# gwctl exits 1 when differences remain: that is part of the story, not a failure.
run() { "$gwctl" "$@" || [ $? -eq 1 ]; }

step "1. A communication module whose PROM and bootstrap are behind the sample release:"
echo "   check it, then update one code type at a time until it matches"
run update --device emu:samples/scenarios/behind.json

step "2. A module that lost its serial number: the deployed-unit list resolves it silently"
run check --device emu:samples/scenarios/lost-serial-silent.json

step "3. A module the list cannot decide alone: the user types HX100241 on the keyboard"
run check --device emu:samples/scenarios/lost-serial-typed.json --keys 'HX100241<tick><tick>'
echo "From the repair report in the log folder, ReportHLXRepair.txt:"
grep -E "ParseHLXFileName|WriteBackToHLX|About to write" "$work/logs/ReportHLXRepair.txt" | sed 's/^/  /'

step "4. The serial-number list of the modules met"
run list

step "5. The sample release is signed by the sample publisher; a copy with one byte added"
echo "   is refused before anything reaches the device (exit 2)"
"$gwctl" release verify --trust samples/sample-trust samples/firmware
cp -r samples/firmware "$work/tampered"
printf '!' >> "$work/tampered/HLX_PROM.rel"
status=0
"$gwctl" update --quiet --firmware "$work/tampered" --device emu:samples/scenarios/behind.json \
    > /dev/null || status=$?
[ "$status" -eq 2 ] || { echo "the tampered folder was not refused ($status)"; exit 1; }

step "6. The tester's history: every check, update and repair, with its evidence"
run history
