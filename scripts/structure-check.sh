#!/usr/bin/env bash
# The layering rules of the tree, checked with grep so that anyone can run them:
#   - the library (lib/) includes nothing of the stand-in host, the emulator, the wire, the
#     connections or the CLI, and its platform headers include only each other (an installed
#     header names the same folders under gatewayutils/);
#   - inside the library, devices/, dialogs/, repair/ and base/ include nothing of gateway/
#     (the facade above them), and base/ includes only base/;
#   - no CMake file works around a link cycle with a link group;
#   - no two headers share a name, so an include always says which one it means;
#   - no source file is much above 400 lines.
set -uo pipefail
cd "$(dirname "$0")/.."

failed=0
report() {
    echo "structure: $1"
    failed=1
}

files=$(git ls-files -co --exclude-standard | grep -E '\.(cpp|h)$' | grep -v '^build')

hits=$(grep -nE '#include "(gatewayutils/)?(host|emulator|wire|connections|cli|tests|testsupport)/' \
    $(printf '%s\n' $files | grep '^lib/') 2>/dev/null)
[ -z "$hits" ] || report "the library includes a layer above it:"$'\n'"$hits"

hits=$(grep -nE '#include "' $(printf '%s\n' $files | grep '^lib/platform/') 2>/dev/null |
    grep -vE '#include "(gatewayutils/)?platform/')
[ -z "$hits" ] || report "a platform header includes something outside platform/:"$'\n'"$hits"

hits=$(grep -nE '#include "(gatewayutils/)?gateway/' \
    $(printf '%s\n' $files | grep -E '^lib/(devices|dialogs|repair|base)/') 2>/dev/null)
[ -z "$hits" ] || report "a part of the library below the facade includes gateway/:"$'\n'"$hits"

hits=$(grep -nE '#include "' $(printf '%s\n' $files | grep '^lib/base/') 2>/dev/null |
    grep -vE '#include "(gatewayutils/)?base/')
[ -z "$hits" ] || report "a base header includes something outside base/:"$'\n'"$hits"

hits=$(git ls-files -co --exclude-standard | grep -E '(^|/)CMakeLists\.txt$|\.cmake$' |
    xargs grep -n 'LINK_GROUP' 2>/dev/null)
[ -z "$hits" ] || report "a link group:"$'\n'"$hits"

dupes=$(printf '%s\n' $files | grep '\.h$' | xargs -n1 basename | sort | uniq -d)
[ -z "$dupes" ] || report "headers sharing a name: $dupes"

limit=420
for f in $files; do
    lines=$(wc -l <"$f")
    [ "$lines" -le "$limit" ] || report "$f has $lines lines (limit about 400)"
done

[ "$failed" -eq 0 ] && echo "structure: the layering rules hold ($(printf '%s\n' $files | wc -l) sources)"
exit "$failed"
