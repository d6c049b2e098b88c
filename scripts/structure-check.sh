#!/usr/bin/env bash
# The layering rules of the tree, checked with grep so that anyone can run them:
#   - the library (lib/) includes nothing of the stand-in host, the emulator, the wire, the
#     connections, the process helpers or the CLI, and its platform headers include only each
#     other (an installed header names the same folders under gatewayutils/);
#   - inside the library, devices/, dialogs/, repair/ and base/ include nothing of gateway/
#     (the facade above them), and base/ includes only base/;
#   - no include folder is a source folder below the top of the tree: a target publishes its
#     generated include root (cmake/Headers.cmake), so that the build refuses an include of a
#     target it does not link. The targets of lib/, host/ and firmware/ name no source folder
#     at all, not even the top of the tree;
#   - no CMake file works around a link cycle with a link group;
#   - no two headers share a name, so an include always says which one it means (a header kept
#     under its former name, one #include of its new place, does not count);
#   - no source file is much above 400 lines;
#   - the card rule and the connections' failure codes are the wire's: code names the card "VCL"
#     only in wire/, in lib/ (which keeps its own) and in the tests, the test support, the
#     fuzzers and the benchmarks, which name cards as a host does; 1004 is nowhere in emulator/;
#   - with a configured build (BUILD_DIR, default build/dev), that the build itself refuses an
#     include of a target not linked (compiled probes).
# Usage: scripts/structure-check.sh [BUILD_DIR]
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

hits=$(grep -nE '#include "(gatewayutils/)?gateway/' \
    $(printf '%s\n' $files | grep -E '^lib/(devices|dialogs|repair|base)/') 2>/dev/null)
[ -z "$hits" ] || report "a part of the library below the facade includes gateway/:"$'\n'"$hits"

hits=$(grep -nE '#include "' $(printf '%s\n' $files | grep '^lib/base/') 2>/dev/null |
    grep -vE '#include "(gatewayutils/)?base/')
[ -z "$hits" ] || report "a base header includes something outside base/:"$'\n'"$hits"

cmake_files=$(git ls-files -co --exclude-standard | grep -E '(^|/)CMakeLists\.txt$|\.cmake$' |
    grep -v '^build')
# Each (target_)include_directories(...) call on one line, after the name of its file.
include_calls=$(for f in $cmake_files; do
    tr '\n' ' ' <"$f" | grep -oE 'include_directories\([^)]*\)' | sed "s@^@$f: @"
done)
hits=$(grep -E '(PROJECT|CMAKE)_SOURCE_DIR\}/|CMAKE_CURRENT_(SOURCE|LIST)_DIR' <<<"$include_calls")
[ -z "$hits" ] || report "a source folder below the top of the tree as an include folder:"$'\n'"$hits"
hits=$(grep -E '^(lib|host|firmware)/.*SOURCE_DIR' <<<"$include_calls")
[ -z "$hits" ] || report "a target of lib/, host/ or firmware/ names a source folder as an include folder:"$'\n'"$hits"

hits=$(xargs grep -n 'LINK_GROUP' <<<"$cmake_files" 2>/dev/null)
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
# The build's own refusal, when a configured build is at hand (BUILD_DIR, default build/dev):
# a probe file that includes one header, compiled with the flags of a source of a target, must
# fail for want of that header where the target does not link the header's target, and compile
# where it does (so that the probes themselves are known to work).
build=${1:-build/dev}
if [ -f "$build/compile_commands.json" ]; then
    probes=$(mktemp -d)
    trap 'rm -rf "$probes"' EXIT
    # probe SOURCE INCLUDE ok|refused: SOURCE is a regular expression for a source of the tree.
    probe() {
        printf '#include "%s"\n' "$2" >"$probes/probe.cpp"
        local output status=0
        output=$(python3 - "$build/compile_commands.json" "$PWD" "$1" "$probes/probe.cpp" <<'EOF'
import json, os, re, shlex, subprocess, sys
commands, top, pattern, probe = sys.argv[1:]
for entry in json.load(open(commands)):
    if re.fullmatch(pattern, os.path.relpath(entry["file"], top)):
        args = shlex.split(entry["command"])
        args = args[1:] if "ccache" in os.path.basename(args[0]) else args
        kept, skip = [], False
        for arg in args:  # everything but what names the output or the source
            if skip or arg in ("-o", "-c", "-MF", "-MT", "-MQ"):
                skip = not skip
            elif arg not in ("-MD", "-MMD"):
                kept.append(arg)
        run = subprocess.run(kept + ["-fsyntax-only", probe], cwd=entry["directory"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        print(run.stdout, end="")
        sys.exit(run.returncode)
print("no compile command for " + pattern)
sys.exit(2)
EOF
        ) || status=$?
        if [ "$3" = ok ] && [ "$status" -ne 0 ]; then
            report "$1 cannot include \"$2\" (probe):"$'\n'"$output"
        elif [ "$3" = refused ] && ! grep -qE "$2(: No such file|' file not found)" <<<"$output"; then
            report "$1 can include \"$2\", of a target it does not link (probe):"$'\n'"$output"
        fi
    }
    probe 'host/Comms\.cpp' 'platform/Comms.h' ok
    probe 'host/Comms\.cpp' 'devices/CHLXUtils.h' refused
    probe 'host/Comms\.cpp' 'gatewayutils/gateway/CGatewayChecks.h' refused
    probe 'host/popup/Popup\.cpp' 'os/Os.h' refused
    probe 'lib/devices/CHLXUtils\.cpp' 'host/Folders.h' refused
    probe 'lib/devices/CHLXUtils\.cpp' 'wire/Protocol.h' refused
    probe 'firmware/ReleaseFile\.cpp' 'platform/Types.h' refused
    probe 'firmware/signing/Crypto\.cpp' 'firmware/signing/Crypto.h' ok
    probe 'firmware/signing/Crypto\.cpp' 'platform/FileVerifier.h' ok
    probe 'firmware/signing/Crypto\.cpp' 'gateway/CGatewayChecks.h' refused
    probe 'firmware/signing/Crypto\.cpp' 'firmware/ReleaseFile.h' ok
    probe 'firmware/signing/Crypto\.cpp' 'host/Folders.h' refused
    probe 'history/Event\.cpp' 'os/Os.h' ok
    probe 'history/Event\.cpp' 'gateway/CGatewayChecks.h' refused
    probe 'history/Event\.cpp' 'host/Folders.h' refused
    probe 'emulator/(.*/)?Gateway\.cpp' 'platform/DeviceRequests.h' ok
    probe 'emulator/(.*/)?Gateway\.cpp' 'os/Os.h' refused
    probe 'emulator/(.*/)?Gateway\.cpp' 'devices/CHLXUtils.h' refused
fi

[ "$failed" -eq 0 ] && echo "structure: the layering rules hold ($(printf '%s\n' $files | wc -l) sources)"
exit "$failed"
