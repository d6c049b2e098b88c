#!/usr/bin/env bash
# clang-tidy with the repository's .clang-tidy over every source the build compiles of the
# library, the stand-in host, the firmware and history targets, the wire, the connections, the
# emulator, the HTTP library, gwctl and the fleet collector; any finding fails the run. Sources unchanged since an earlier pass are not checked
# again (scripts/tidy.py says how it knows). Uses the compile commands of a configured build
# (default build/dev).
# Usage: scripts/tidy.sh [BUILD_DIR]
set -euo pipefail
exec python3 "$(dirname "$0")/tidy.py" "$@"
