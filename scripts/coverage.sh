#!/usr/bin/env bash
# Builds the coverage preset (gcc --coverage, Debug), runs every test with fresh counters and
# prints line and branch coverage per folder, then for the files named as arguments (default:
# the serial-number list and the deployed-unit list). Branches the compiler adds for
# exceptions and branches it proves unreachable are not counted. Uses gcovr, installed here
# through scripts/install-deps.sh when missing, else lcov.
# Usage: scripts/coverage.sh [FILE...]
set -euo pipefail
cd "$(dirname "$0")/.."
files=("$@")
if [ "${#files[@]}" -eq 0 ]; then
    files=(lib/devices/SerialNumList.cpp lib/repair/CDeployedUnitList.cpp)
fi
folders=(lib/base lib/gateway lib/devices lib/repair lib/dialogs lib/os host wire emulator connections process cli)

bash scripts/install-deps.sh gcovr || echo "gcovr could not be installed; trying lcov"

cmake --preset coverage >/dev/null
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
# A failing test still leaves its counts: the report comes first, the tests' verdict last.
status=0
ctest --preset coverage || status=$?

report=build/coverage/report
mkdir -p "$report"
if command -v gcovr >/dev/null; then
    gcovr --root . --object-directory build/coverage --exclude-directories "build/coverage/CMakeFiles" \
        --exclude-throw-branches \
        --exclude-unreachable-branches --json-summary "$report/summary.json" \
        --json-summary-pretty build/coverage >/dev/null
    python3 - "$report/summary.json" "${folders[@]}" -- "${files[@]}" <<'EOF'
import json, sys
args = sys.argv[2:]
split = args.index("--")
folders, files = args[:split], args[split + 1:]
summary = {entry["filename"]: entry for entry in json.load(open(sys.argv[1]))["files"]}

def line(name, entries):
    def ratio(covered, total):
        got = sum(e[covered] for e in entries)
        out_of = sum(e[total] for e in entries)
        return f"{100.0 * got / out_of:6.1f}% ({got}/{out_of})" if out_of else "     -"
    print(f"{name:38} lines {ratio('line_covered', 'line_total'):22} "
          f"branches {ratio('branch_covered', 'branch_total')}")

print("coverage per folder:")
for folder in folders:
    line(folder, [e for name, e in summary.items() if name.startswith(folder + "/")])
print("files:")
for name in files:
    line(name, [summary[name]] if name in summary else [])
EOF
elif command -v lcov >/dev/null; then
    lcov_options=(--quiet --rc lcov_branch_coverage=1)
    lcov "${lcov_options[@]}" --capture --directory build/coverage --base-directory . \
        --output-file "$report/all.info"
    echo "coverage per folder, then files:"
    for item in "${folders[@]}" "${files[@]}"; do
        pattern="$PWD/$item"
        [ -d "$item" ] && pattern="$PWD/$item/*"
        lcov "${lcov_options[@]}" --extract "$report/all.info" "$pattern" \
            --output-file "$report/part.info" || continue
        printf '%-38s %s\n' "$item" "$(lcov "${lcov_options[@]}" --summary "$report/part.info" 2>&1 |
            grep -E 'lines|branches' | tr -s ' ' | tr '\n' ' ')"
    done
else
    echo "neither gcovr nor lcov is available" >&2
    exit 1
fi
exit "$status"
