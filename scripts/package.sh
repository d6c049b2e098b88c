#!/usr/bin/env bash
# The SDK's packages: builds the release preset, makes the .deb and the .tar.gz with CPack and
# checks their file lists: the headers of every installed target, the libraries, gwctl, gwemu and
# gwfleet with their manual pages and bash completions, every sample, the CMake package and the
# pkg-config files; none of the project's private headers; the same files in both; no path of
# this tree in any file; no lintian error, and no warning but the explained ones. Fails when one
# is off.
# Usage: scripts/package.sh   (CMAKE_BUILD_PARALLEL_LEVEL limits the build's jobs)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
build=build/release

# CPack's .deb needs dpkg-shlibdeps (dpkg-dev), which reads the binaries with file and objdump;
# lintian checks the .deb as Debian checks its packages.
bash scripts/install-deps.sh dpkg-dev file binutils lintian
cmake --preset release
cmake --build --preset release
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB && cpack -G TGZ)
deb=$(ls "$build"/packages/*.deb)
tgz=$(ls "$build"/packages/*.tar.gz)

# Each package's entries relative to its install prefix, folders ending in '/'.
deb_list=$(dpkg-deb --contents "$deb" | awk '{print $6}' | sed -n 's@^\./usr/@@p' | sort)
tgz_list=$(tar -tzf "$tgz" | sed 's@^[^/]*/@@' | sort)

failed=0
fail() {
    echo "package: $1"
    failed=1
}

expected=(
    include/gatewayutils/gateway/CGatewayChecks.h include/gatewayutils/platform/Comms.h
    include/gatewayutils/devices/CHLXUtils.h include/gatewayutils/repair/CHLXSerialNumRepair.h
    include/gatewayutils/dialogs/CTabDialog.h include/gatewayutils/os/Os.h
    include/gatewayutils/firmware/ReleaseFile.h include/gatewayutils/host/Folders.h
    include/gatewayutils/firmware/signing/Crypto.h
    include/gatewayutils/history/HistoryFile.h
    include/gatewayutils/host/MemoryValueStore.h include/gatewayutils/host/popup/PopupLibrary.h
    include/gatewayutils/wire/Protocol.h include/gatewayutils/wire/FrameClient.h
    include/gatewayutils/emulator/model/Gateway.h include/gatewayutils/emulator/scenario/Scenario.h
    include/gatewayutils/emulator/trace/Trace.h include/gatewayutils/emulator/serving/Replay.h
    include/gatewayutils/emulator/Gateway.h include/gatewayutils/emulator/Backend.h
    include/gatewayutils/connections/OpenDevice.h
    include/gatewayutils/connections/EmulatorConnection.h
    include/gatewayutils/connections/FrameTransport.h
    include/gatewayutils/connections/FrameConnection.h
    include/gatewayutils/connections/TcpConnection.h
    include/gatewayutils/connections/BackendTransport.h
    include/gatewayutils/connections/EmulatorRequests.h
    include/gatewayutils/process/EmulatorProcess.h include/gatewayutils/process/ChildProcess.h
    include/gatewayutils/process/ProcessUtils.h
    bin/gwctl bin/gwemu share/man/man1/gwctl.1.gz share/man/man1/gwemu.1.gz
    share/bash-completion/completions/gwctl share/bash-completion/completions/gwemu
    bin/gwfleet share/man/man1/gwfleet.1.gz share/bash-completion/completions/gwfleet
    share/gatewayutils/systemd/gwfleet.service
    lib/cmake/gatewayutils/gatewayutilsConfig.cmake
    lib/cmake/gatewayutils/gatewayutilsConfigVersion.cmake
    lib/cmake/gatewayutils/gatewayutilsTargets.cmake
    lib/pkgconfig/gatewayutils.pc lib/pkgconfig/gatewayutils-standin.pc
    lib/pkgconfig/gatewayutils-connections.pc lib/pkgconfig/gatewayutils-process.pc
    lib/pkgconfig/gatewayutils-signing.pc lib/pkgconfig/gatewayutils-history.pc
)
for sample in $(git ls-files samples/firmware samples/runtime samples/scenarios samples/sample-trust |
                grep -v '/\.gitattributes$'); do
    expected+=("share/gatewayutils/${sample#samples/}")
done
expected+=(share/gatewayutils/keys/)
libraries=(gatewayutils gwu_os gwu_firmware gatewayutils_host gatewayutils_popup gwu_wire
           gwu_emulator_scenario gwu_emulator_model gwu_emulator_trace gwu_emulator_serving
           gwu_emulator_server
           gatewayutils_connections gwu_process gwu_signing gatewayutils_history)
private='(OsNative|SocketPlatform|PopupWidgetTree|PopupNames|CommunicationModule|MeasurementModule|DeviceReplies|FaultInjector|FileText|TraceNames|SigningText)\.h$|testsupport|gtest|warnings'

for name in deb tgz; do
    list=${name}_list
    for entry in "${expected[@]}"; do
        grep -qxF "$entry" <<<"${!list}" || fail "$name: $entry is missing"
    done
    for library in "${libraries[@]}"; do
        grep -qE "^lib/lib$library\.(a|so)" <<<"${!list}" || fail "$name: library $library is missing"
    done
    hits=$(grep -E "$private" <<<"${!list}" || true)
    [ -z "$hits" ] || fail "$name: holds what is not to be installed:"$'\n'"$hits"
done
files_only() { grep -vE '/$|^$' <<<"$1"; }
differ=$(diff <(files_only "$deb_list") <(files_only "$tgz_list") || true)
[ -z "$differ" ] || fail "the two packages differ:"$'\n'"$differ"

# An installed file that names a path of this tree would only work on this machine.
unpacked=$(mktemp -d)
logs=$(mktemp -d)
trap 'rm -rf "$unpacked" "$logs"' EXIT
tar -xzf "$tgz" -C "$unpacked"
hits=$(grep -rlF "$top" "$unpacked" || true)
while IFS= read -r -d '' compressed; do
    ! zcat "$compressed" | grep -qF "$top" || hits+=$'\n'"$compressed"
done < <(find "$unpacked" -name '*.gz' -print0)
[ -z "$hits" ] || fail "files naming $top:"$'\n'"$hits"

# Debian's checks: no error, and no warning but those the README explains (section "Installing").
explained='link-to-shared-library-in-wrong-package|maintscript-calls-ldconfig|package-name-doesnt-match-sonames|pkg-config-unavailable-for-cross-compilation|shared-library-lacks-version'
findings=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -E '^[EW]: ' || true)
unexplained=$(grep -vE "^W: [^ ]+ ($explained)( |$)" <<<"$findings" || true)
[ -z "$unexplained" ] || fail "lintian:"$'\n'"$unexplained"

# The shared library exports the classes a host uses and derives from, not the library's
# internals (symbols are hidden unless marked).
exports=$(nm -D --defined-only -C "$unpacked"/*/lib/libgatewayutils.so.* | awk '{$1=$2=""; print}')
for name in CGatewayChecks::CheckForUpdates CCodeDiffResults::ToString CTabDialog::DoModal \
            CHLXUtils::CHLXUtils CQPTUtils::CQPTUtils gwu_library_version; do
    grep -qF "$name" <<<"$exports" || fail "libgatewayutils.so does not export $name"
done
internal=$(grep -E "CHLXSerialNumRepair|CDeployedUnitList|CKeyboardDialog|SerialNumList|gwu::os::" <<<"$exports" || true)
[ -z "$internal" ] || fail "libgatewayutils.so exports internals:"$'\n'"$internal"

# Unpacked anywhere, the tools run on the package's own samples: a check from another folder,
# with no folder named, finds the sample module behind the sample release (exit 1), and writes
# its serial-number list into the user's data folder.
home=$(mktemp -d)
trap 'rm -rf "$unpacked" "$logs" "$home"' EXIT
installed=$(find "$unpacked" | sort)
relocated=$(cd "$home" && env -u GWU_FIRMWARE_DIR -u GWU_RUNTIME_DIR -u GWU_LOG_DIR \
    -u XDG_STATE_HOME HOME="$home" "$unpacked"/*/bin/gwctl check --quiet 2>&1) && status=0 || status=$?
[ "$status" -eq 1 ] && grep -q "PROM:Older" <<<"$relocated" ||
    fail "the unpacked gwctl check ended with $status: $relocated"
[ -s "$home/.local/state/gatewayutils/logs/HLX_Serial_Nums.txt" ] ||
    fail "the unpacked gwctl check wrote no serial-number list into ~/.local/state/gatewayutils/logs"

# A repair run from the package (the sample module that lost its serial number, repaired from
# the sample deployed-unit list without a prompt) leaves its report in the log folder and
# nothing in the package: an installed tool never writes into the installation.
scenario=$(echo "$unpacked"/*/share/gatewayutils/scenarios/lost-serial-silent.json)
repaired=$(cd "$unpacked" && env -u GWU_FIRMWARE_DIR -u GWU_RUNTIME_DIR -u GWU_LOG_DIR \
    ./*/bin/gwctl check --quiet --logs "$logs" --device "emu:$scenario" 2>&1) && status=0 || status=$?
[ "$status" -eq 0 ] && grep -q "HX100234" <<<"$repaired" ||
    fail "the unpacked gwctl's repair ended with $status: $repaired"
grep -q "WriteBackToHLX" "$logs/ReportHLXRepair.txt" 2>/dev/null ||
    fail "the repair report is not in the log folder $logs"
written=$(diff <(echo "$installed") <(find "$unpacked" | sort) || true)
[ -z "$written" ] || fail "the runs wrote into the unpacked package:"$'\n'"$written"

# The collector's systemd unit, as an operator installs it, pointing at the unpacked gwfleet:
# systemd's own check of its sections, directives and command.
unit="$home/gwfleet.service"
sed -e "s#/usr/bin/gwfleet#$(echo "$unpacked"/*/bin/gwfleet)#" -e '/^Documentation=/d' \
    "$(echo "$unpacked"/*/share/gatewayutils/systemd/gwfleet.service)" >"$unit"
checked=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$checked" ] ||
    fail "systemd-analyze finds fault with the collector's unit: $checked"

if [ "$failed" -eq 0 ]; then
    echo "package: $(basename "$deb") and $(basename "$tgz"): $(files_only "$deb_list" | wc -l) files each, every one expected there"
fi
exit "$failed"
