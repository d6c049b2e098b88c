#!/usr/bin/env bash
# The layering rules of the tree, checked with grep so that anyone can run them:
#   - the library (lib/) includes nothing of the stand-in host, the emulator, the wire, the
#     connections, the process helpers or the CLI, and its platform headers include only each
#     other (an installed header names the same folders under gatewayutils/);
#   - no CMake file works around a link cycle with a link group;
#   - no two headers share a name, so an include always says which one it means (a header kept
#     under its former name, one #include of its new place, does not count);
#   - no source file is much above 400 lines;
#   - the card rule and the connections' failure codes are the wire's: code names the card "VCL"
#     only in wire/, in lib/ (which keeps its own) and in the tests, the test support, the
#     fuzzers and the benchmarks, which name cards as a host does; 1004 is nowhere in emulator/.
set -uo pipefail
cd "$(dirname "$0")/.."

failed=0
report() {
    echo "structure: $1"
    failed=1
}

files=$(git ls-files -co --exclude-standard | grep -E '\.(cpp|h)$' | grep -v '^build')

hits=$(grep -nE '#include "(gatewayutils/)?(host|emulator|wire|connections|process|cli|tests|testsupport)/' \
    $(printf '%s\n' $files | grep '^lib/') 2>/dev/null)
[ -z "$hits" ] || report "the library includes a layer above it:"$'\n'"$hits"

hits=$(grep -nE '#include "' $(printf '%s\n' $files | grep '^lib/platform/') 2>/dev/null |
    grep -vE '#include "(gatewayutils/)?platform/')
[ -z "$hits" ] || report "a platform header includes something outside platform/:"$'\n'"$hits"

hits=$(git ls-files -co --exclude-standard | grep -E '(^|/)CMakeLists\.txt$|\.cmake$' |
    xargs grep -n 'LINK_GROUP' 2>/dev/null)
[ -z "$hits" ] || report "a link group:"$'\n'"$hits"

# A forwarding header: nothing but comments, "#pragma once" and one #include.
forwarding() {
    [ "$(grep -cvE '^[[:space:]]*(//.*)?$|^#pragma once$' "$1")" -eq 1 ] && grep -qE '^#include "' "$1"
}
dupes=$(for f in $(printf '%s\n' $files | grep '\.h$'); do forwarding "$f" || basename "$f"; done |
    sort | uniq -d)
[ -z "$dupes" ] || report "headers sharing a name: $dupes"

limit=420
for f in $files; do
    lines=$(wc -l <"$f")
    [ "$lines" -le "$limit" ] || report "$f has $lines lines (limit about 400)"
done

# Comments may name the card; code takes the name from wire/Cards.h.
hits=$(for f in $(printf '%s\n' $files | grep -vE '^(wire|lib|tests|testsupport|fuzz|bench)/'); do
    sed 's@//.*@@' "$f" | grep -n '"VCL"' | sed "s@^@$f:@"
done)
[ -z "$hits" ] || report "the card name outside wire/Cards.h:"$'\n'"$hits"

hits=$(grep -n '1004' $(printf '%s\n' $files | grep '^emulator/') 2>/dev/null)
[ -z "$hits" ] || report "a failure code of the connections in the emulator (wire/CommsFailures.h):"$'\n'"$hits"

[ "$failed" -eq 0 ] && echo "structure: the layering rules hold ($(printf '%s\n' $files | wc -l) sources)"
exit "$failed"
