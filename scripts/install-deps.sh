#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing. Safe to run repeatedly.
# Packages named as arguments are installed as well, without their recommended extras (a
# script's own tools, e.g. gcovr, or the Windows cross compiler and Wine). The argument
# --browser names the browser tests' packages: the headless browser that drives gwctl serve's page
# (the tests' own npm packages come with npm ci in tests/browser).
set -euo pipefail

# libboost-dev: Beast and Asio, the programs' HTTP (http/), headers only; ccache: the compiler
# cache every preset uses; help2man: the tools' manual pages, which man-db renders in their test;
# libssl-dev: OpenSSL 3's libcrypto, the cryptography of signed release folders on Linux
# (firmware/signing), and its libssl, the programs' HTTP over TLS (http/); openssl: the command
# line those tests check it against and make their test certificates with; libpq-dev: the fleet
# collector's PostgreSQL client (fleet/); postgresql: the server its tests run a private cluster
# of (initdb, postgres, pg_config); systemd: systemd-analyze, which checks the collector's unit
# in the package check.
packages=(cmake ninja-build ccache g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
          libboost-dev clang libclang-rt-14-dev clang-tidy help2man man-db libssl-dev openssl
          libpq-dev postgresql systemd)
browser_packages=(chromium fonts-dejavu-core)

extra=()
for argument in "$@"; do
    if [ "$argument" = "--browser" ]; then
        extra+=("${browser_packages[@]}")
    else
        extra+=("$argument")
    fi
done

# Prints the packages of the arguments that are not installed.
missing() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            echo "$package"
        fi
    done
}

mapfile -t missing_base < <(missing "${packages[@]}")
mapfile -t missing_extra < <(missing ${extra[@]+"${extra[@]}"})
if [ "${#missing_base[@]}" -eq 0 ] && [ "${#missing_extra[@]}" -eq 0 ]; then
    exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
echo "Installing: ${missing_base[*]} ${missing_extra[*]}"
"${sudo_cmd[@]}" apt-get update -qq
if [ "${#missing_base[@]}" -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing_base[@]}"
fi
if [ "${#missing_extra[@]}" -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing_extra[@]}"
fi
