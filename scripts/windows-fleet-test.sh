#!/usr/bin/env bash
# gwctl sync as a tester's Windows PC runs it: the windows build's gwctl.exe under Wine sends its
# history over https to the Linux gwfleet, on a private PostgreSQL cluster. WinHTTP trusts the
# collector only through a root in the system's certificate store: the sync fails on the
# certificate before the test CA is among the Wine prefix's trusted roots and after it is taken
# out again, succeeds while it is in, and a collector whose certificate comes from another CA is
# refused, nothing stored. A collector that never answers holds a check up for 5 s at most. A
# release set assigned to the tester's group is pulled into its firmware folder once it is
# signed by a key the tester trusts; one tampered with on the collector is refused, the folder in
# use left byte for byte as it was.
# Usage: scripts/windows-fleet-test.sh [WINDOWS_BUILD_DIR]   (default build/windows, after its
# build; scripts/windows-tests.sh runs it). gwfleet and the publisher's gwctl are the dev
# preset's, built when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build/windows}"
gwctl="$build/cli/gwctl.exe"
install_ca="$build/tests/gatewayutils_install_test_ca.exe"
gwfleet=build/dev/fleet/gwfleet
publisher_gwctl=build/dev/cli/gwctl
for program in "$gwctl" "$install_ca"; do
    [ -f "$program" ] || { echo "windows-fleet-test: no $program: build it first" >&2; exit 2; }
done
if [ ! -x "$gwfleet" ] || [ ! -x "$publisher_gwctl" ]; then
    [ -f build/dev/CMakeCache.txt ] || cmake --preset dev >/dev/null
    cmake --build --preset dev --target gwfleet gwctl
fi
export WINEPREFIX="${WINEPREFIX:-$PWD/build/windows/wineprefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

work=$(mktemp -d)
chmod 711 "$work"  # the cluster's user passes through to its folder
pids=()     # the collectors: SIGTERM stops them
cluster=    # the PostgreSQL server: SIGINT, its fast shutdown
ca_installed=no
stop() {  # SIGNAL PID...: the signal, then up to 20 s for each to end
    local signal=$1 pid i
    shift
    for pid in "$@"; do kill "-$signal" "$pid" 2>/dev/null || true; done
    for pid in "$@"; do
        for ((i = 0; i < 200; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
}
cleanup() {
    if [ "$ca_installed" = yes ]; then
        timeout -k 5 60 wine "$install_ca" remove "$work/test-ca.pem" || true
    fi
    [ "${#pids[@]}" -eq 0 ] || stop TERM "${pids[@]}"
    [ -z "$cluster" ] || stop INT "$cluster"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() {
    echo "windows-fleet-test: FAILED: $*" >&2
    for log in "$work"/*.out "$work"/*.err; do
        [ -s "$log" ] && { echo "--- $log"; tail -n 20 "$log"; } >&2
    done
    exit 1
}

# The cluster, as nobody when this runs as root (PostgreSQL refuses root), its socket in its folder.
mkdir "$work/db"
as_server=(setpriv --pdeathsig SIGINT)
if [ "$(id -u)" -eq 0 ]; then
    group=nogroup
    getent group nogroup >/dev/null || group=nobody
    chown nobody "$work/db"
    as_server+=(--reuid=nobody "--regid=$group" --clear-groups)
fi
pg_bin=$(pg_config --bindir)
timeout 120 "${as_server[@]}" -- "$pg_bin/initdb" -D "$work/db/data" -U postgres -A trust -E UTF8 \
    --locale=C --no-sync >"$work/initdb.out" 2>&1 || fail "initdb"
"${as_server[@]}" -- "$pg_bin/postgres" -D "$work/db/data" -k "$work/db" -c listen_addresses= \
    -c fsync=off >"$work/postgres.err" 2>&1 &
cluster=$!
db="postgresql:///postgres?host=$work/db&user=postgres"
fleet() { timeout -k 5 60 "$gwfleet" "$@" --db "$db"; }
for ((i = 0; i < 300; i++)); do
    "$pg_bin/pg_isready" -q -h "$work/db" -U postgres && break
    sleep 0.1
done
fleet migrate >"$work/migrate.out" 2>&1 || fail "gwfleet migrate"

# The test CA with a certificate for localhost, and another CA, not trusted, with its own.
certificate() {  # NAME [SIGNER]: NAME.pem and NAME.key, a CA's without a signer
    local extensions=(-addext "basicConstraints=critical,CA:TRUE"
                      -addext "keyUsage=critical,keyCertSign,cRLSign")
    if [ $# -eq 2 ]; then
        extensions=(-addext "basicConstraints=critical,CA:FALSE"
                    -addext "keyUsage=critical,digitalSignature"
                    -addext "extendedKeyUsage=serverAuth"
                    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1"
                    -CA "$work/$2.pem" -CAkey "$work/$2.key")
    fi
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj "/CN=$1" -keyout "$work/$1.key" -out "$work/$1.pem" "${extensions[@]}" \
        2>>"$work/openssl.err" || fail "openssl: $1"
}
certificate test-ca
certificate other-ca
certificate localhost test-ca
certificate other-localhost other-ca

serve() {  # NAME CERT: gwfleet serve with the certificate, its port in $port
    # The log exists before the collector starts: the background job opens it only when it runs.
    : >"$work/serve-$1.out"
    "$gwfleet" serve --db "$db" --listen 127.0.0.1:0 --tls-cert "$work/$2.pem" \
        --tls-key "$work/$2.key" >"$work/serve-$1.out" 2>&1 &
    pids+=($!)
    port=
    for ((i = 0; i < 200; i++)); do
        port=$(sed -n 's|^gwfleet serving on https://.*:\([0-9]*\)/$|\1|p' "$work/serve-$1.out")
        [ -n "$port" ] && return
        sleep 0.1
    done
    fail "gwfleet serve $1 did not start"
}
serve trusted localhost
trusted_port=$port
serve other other-localhost
other_port=$port

# A collector that takes connections and never answers.
python3 -c 'import socket, time
s = socket.create_server(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True)
held = [s.accept()[0] for _ in range(20)]
time.sleep(600)' >"$work/silent.out" 2>&1 &
pids+=($!)
silent_port=
for ((i = 0; i < 100; i++)); do
    [ -s "$work/silent.out" ] && silent_port=$(cat "$work/silent.out") && break
    sleep 0.1
done
[ -n "$silent_port" ] || fail "the silent collector did not start"

logs="$work/logs"
mkdir "$logs"
export GWU_LOG_DIR="Z:${logs//\//\\}" GWU_TESTER=wine-tester
fleet token add wine-tester >"$logs/fleet-token" 2>"$work/token.err" ||
    fail "gwfleet token add"
# JSON ARG EXPRESSION: the value of the Python expression over the JSON document d of a file.
value() {
    python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$@"
}
stored() {  # the events the collector holds
    fleet testers --json >"$work/testers.out" || fail "gwfleet testers"
    value "$work/testers.out" 'sum(t["events"] for t in d["testers"])'
}
# check NAME URL WORDS: gwctl.exe check against the in-process emulator, one event more in the
# history, and its automatic sync with fleet.conf's URL warns of the WORDS within its 5 s.
check() {
    printf 'url = %s\r\ntoken_file = fleet-token\r\n' "$2" >"$logs/fleet.conf"
    local status=0
    timeout -k 5 60 wine "$gwctl" check --quiet >"$work/$1.out" 2>&1 || status=$?
    [ "$status" -le 1 ] || fail "gwctl.exe check ($1) exited $status"
    grep -q "warning: fleet sync: .*$3" "$work/$1.out" || fail "no warning of $3 ($1)"
}
# sync NAME URL STATUS: gwctl.exe sync --json with the URL in fleet.conf exits with STATUS.
sync() {
    printf 'url = %s\r\ntoken_file = fleet-token\r\n' "$2" >"$logs/fleet.conf"
    local status=0
    timeout -k 5 120 wine "$gwctl" sync --json >"$work/$1.out" 2>"$work/$1.err" || status=$?
    [ "$status" = "$3" ] || fail "gwctl.exe sync ($1) exited $status, not $3"
}
untrusted="certificate is not trusted"
trusted="https://localhost:$trusted_port"

# A collector that never answers does not hold a command up; without the test CA among the
# roots, however valid the chain, the collector is not trusted.
check silent "http://127.0.0.1:$silent_port" "timed out"
check before-ca "$trusted" "$untrusted"
timeout -k 5 60 wine "$install_ca" add "$work/test-ca.pem" >"$work/install.out" 2>&1 ||
    fail "installing the test CA"
ca_installed=yes
# Another CA's certificate is still refused, nothing stored.
sync other-ca "https://localhost:$other_port" 2
grep -q "$untrusted" "$work/other-ca.out" || fail "no certificate reason for another CA"
[ "$(stored)" = 0 ] || fail "events stored although no sync went through"
# The test CA's: the history goes to the fleet, as the token's tester's.
sync trusted "$trusted" 0
[ "$(value "$work/trusted.out" 'd["sync"]["sent"], d["sync"]["acknowledged"]')" = "(2, 2)" ] ||
    fail "the sync did not send and acknowledge the two events"
[ "$(stored)" = 2 ] || fail "the collector does not hold the two events"
[ "$(value "$work/testers.out" '[t["name"] for t in d["testers"]]')" = "['wine-tester']" ] ||
    fail "the events are not the tester's"
# A release set for the tester's group, signed by a publisher the tester trusts. Tampered with
# on the collector, it is refused and the folder in use stays as it was; published again as
# signed, it replaces the folder, the one before kept beside it.
windows_path() { local path="Z:$1"; echo "${path//\//\\}"; }
openssl ecparam -name prime256v1 -genkey -noout -out "$work/publisher.key" 2>>"$work/openssl.err"
mkdir "$work/trust"
openssl ec -in "$work/publisher.key" -pubout -out "$work/trust/fleet-publisher.pem" \
    2>>"$work/openssl.err" || fail "openssl: the publisher's key"
cp -r samples/firmware "$work/firmware"
cp -r samples/firmware "$work/in-use"
cp -r samples/firmware "$work/set"
"$publisher_gwctl" release sign --key "$work/publisher.key" "$work/set" >"$work/sign.out" 2>&1 ||
    fail "gwctl release sign"
export GWU_FIRMWARE_DIR GWU_TRUST_DIR
GWU_FIRMWARE_DIR=$(windows_path "$work/firmware")
GWU_TRUST_DIR=$(windows_path "$work/trust")
fleet release publish "$work/set" --set spring >"$work/publish.out" 2>&1 || fail "publish"
fleet tester group wine-tester lab >>"$work/publish.out" 2>&1 || fail "tester group"
fleet release assign --set spring --group lab >>"$work/publish.out" 2>&1 || fail "assign"
psql -q "$db" -c "UPDATE publication_files SET content = content || '\x00'::bytea
    WHERE name = 'HLX_PROM.rel'" >>"$work/publish.out" 2>&1 || fail "tampering with the set"
sync tampered "$trusted" 1
grep -q "HLX_PROM.rel" "$work/tampered.out" "$work/tampered.err" || fail "the tampered set's refusal names no file"
diff -r "$work/in-use" "$work/firmware" >"$work/refused-diff.out" || fail "a refused set changed the folder"
[ ! -e "$work/firmware.staging" ] || fail "a refused set left its staging folder"
fleet release publish "$work/set" --set spring >>"$work/publish.out" 2>&1 || fail "publish again"
sync pulled "$trusted" 0
[ "$(value "$work/pulled.out" 'd["release"]["set"], d["release"]["sequence"]')" = "('spring', 2)" ] ||
    fail "the sync says no set spring of sequence 2 was pulled"
diff -r -x .fleet-set.json -x .gitattributes "$work/set" "$work/firmware" >"$work/pulled-diff.out" ||
    fail "the firmware folder is not the published set"
diff -r "$work/in-use" "$work/firmware.previous" >"$work/previous-diff.out" ||
    fail "the folder that was in use is not kept as the previous one"
unset GWU_FIRMWARE_DIR GWU_TRUST_DIR

# The trust goes with the root: taken out again, the collector is refused once more.
timeout -k 5 60 wine "$install_ca" remove "$work/test-ca.pem" >>"$work/install.out" 2>&1 ||
    fail "removing the test CA"
ca_installed=no
check after-ca "$trusted" "$untrusted"
[ "$(stored)" = 2 ] || fail "the check's event reached the collector without trust"
echo "windows-fleet-test: passed"
