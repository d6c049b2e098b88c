#!/usr/bin/env bash
# The Windows installer as a technician uses it, under Wine in a Wine prefix of its own:
# - per user, silently, with the tools added to the PATH: exactly the installed files (those of
#   the install manifest, and the uninstaller) land in the folder given, the uninstaller is
#   registered, the PATH keeps its entries and gains bin\;
# - the installed gwctl, run from another folder, says its version, verifies the signed sample
#   release and checks the sample device on the installed samples, writing its logs into the user's data folder and nothing into the
#   installation;
# - the silent uninstall leaves nothing but the user's data: no file, no registration, the PATH
#   as it was;
# - a PATH too long for the installer's strings is left whole;
# - per machine, without the PATH: registered for all users; the uninstall keeps a file the
#   installer did not put there, and with it its folder.
# Usage: windows-installer.sh INSTALLER INSTALL_MANIFEST STAGE_DIR
set -uo pipefail
installer=$1 manifest=$2 stage=$3
scratch=$(mktemp -d)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
failed=0
fail() {
    echo "installer: $*"
    failed=1
}
finish() {
    wineserver -k 2>/dev/null
    rm -rf "$scratch"
}
trap finish EXIT
wineboot -i >/dev/null 2>&1 || { echo "installer: cannot make a Wine prefix"; exit 1; }
drive=$WINEPREFIX/drive_c
user_data=$(echo "$drive"/users/*/AppData/Local)/gatewayutils

# A registry value as reg prints it: "TYPE DATA", empty when absent.
reg_value() {
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v name="$2" '$1 == name { $1 = ""; sub(/^ +/, ""); print }'
}
# The files below a folder, relative to it, with '/' between folders.
files_below() {
    (cd "$1" && find . -type f | sed 's@^\./@@' | sort)
}
# Tries a command every 0.1 s, for a minute at most, until it succeeds: the uninstaller copies
# itself away and works from there, so the process started ends before the work does.
within_a_minute() {
    for _ in $(seq 600); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
# Whether the uninstall of the folder has ended: its uninstaller, which it deletes after every
# other file, is gone, and the registry's list of uninstallers (read whole: a query that fails
# says nothing) holds no gatewayutils entry, which it removes last.
uninstalled() {
    local listing
    [ ! -e "$2/uninstall.exe" ] || return 1
    listing=$(wine reg query "$1\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall" 2>/dev/null) || return 1
    ! grep -qi '\\gatewayutils' <<<"$listing"
}

uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\gatewayutils'
expected=$( (sed "s@^$stage/@@" "$manifest"; echo; echo uninstall.exe) | grep -v '^$' | sort)
wine reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d 'C:\keep;%SystemRoot%\tools' /f >/dev/null

# Per user, with the PATH.
wine "$installer" /S /CurrentUser /AddToPath '/D=C:\gwu\user' || fail "the per-user install failed"
folder=$drive/gwu/user
[ "$(files_below "$folder")" = "$expected" ] ||
    fail "the per-user install holds other files than the manifest's:"$'\n'"$(diff <(echo "$expected") <(files_below "$folder"))"
[ -d "$folder/share/gatewayutils/keys" ] || fail "the install made no (empty) trust folder share\\gatewayutils\\keys"
[ "$(reg_value "HKCU\\$uninstall_key" InstallLocation)" = 'REG_SZ C:\gwu\user' ] ||
    fail "no per-user uninstall registration for C:\\gwu\\user"
quiet=$(reg_value "HKCU\\$uninstall_key" QuietUninstallString)
[ "$quiet" = 'REG_SZ "C:\gwu\user\uninstall.exe" /CurrentUser /S' ] || fail "quiet uninstall: $quiet"
path=$(reg_value 'HKCU\Environment' Path)
[ "$path" = 'REG_EXPAND_SZ C:\keep;%SystemRoot%\tools;C:\gwu\user\bin' ] || fail "PATH after install: $path"

mkdir -p "$scratch/elsewhere"
version=$(cd "$scratch/elsewhere" && wine 'C:\gwu\user\bin\gwctl.exe' --version 2>&1 | tr -d '\r')
grep -q "^gwctl [0-9.]*, gatewayutils library" <<<"$version" && grep -q "shared module, registered" <<<"$version" ||
    fail "the installed gwctl --version: $version"
checked=$(cd "$scratch/elsewhere" && wine 'C:\gwu\user\bin\gwctl.exe' check 2>&1 | tr -d '\r') && status=0 || status=$?
[ "$status" -eq 1 ] && grep -q "PROM:Older" <<<"$checked" && grep -q 'gatewayutils.*scenarios.*behind.json' <<<"$checked" ||
    fail "the installed gwctl check on the installed samples ended with $status: $checked"
verified=$(cd "$scratch/elsewhere" && wine 'C:\gwu\user\bin\gwctl.exe' release verify --trust \
    'C:\gwu\user\share\gatewayutils\sample-trust' 'C:\gwu\user\share\gatewayutils\firmware' 2>&1 | tr -d '\r') ||
    fail "the installed sample release does not verify: $verified"
[ -s "$user_data/logs/HLX_Serial_Nums.txt" ] || fail "the check wrote no serial-number list into $user_data/logs"
[ "$(files_below "$folder")" = "$expected" ] || fail "the check wrote into the installation"
[ -z "$(ls -A "$scratch/elsewhere")" ] || fail "the check wrote into the current folder"

wine 'C:\gwu\user\uninstall.exe' /CurrentUser /S || fail "the per-user uninstall failed"
within_a_minute uninstalled HKCU "$folder" || fail "the per-user uninstall did not end, or its registration stays"
[ ! -e "$folder" ] || fail "the per-user uninstall left:"$'\n'"$(files_below "$folder")"
path=$(reg_value 'HKCU\Environment' Path)
[ "$path" = 'REG_EXPAND_SZ C:\keep;%SystemRoot%\tools' ] || fail "PATH after uninstall: $path"
[ -s "$user_data/logs/HLX_Serial_Nums.txt" ] || fail "the uninstall took the user's data"

# A PATH longer than the installer's strings is never cut: it stays as it was, install and
# uninstall alike.
long_path="C:\\keep$(printf ';C:\\folder%04d' $(seq 100))"
wine reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d "$long_path" /f >/dev/null
wine "$installer" /S /CurrentUser /AddToPath '/D=C:\gwu\long' || fail "the install beside a long PATH failed"
[ "$(reg_value 'HKCU\Environment' Path)" = "REG_EXPAND_SZ $long_path" ] || fail "the install changed a long PATH"
wine 'C:\gwu\long\uninstall.exe' /CurrentUser /S || fail "the uninstall beside a long PATH failed"
within_a_minute uninstalled HKCU "$drive/gwu/long" || fail "the uninstall beside a long PATH did not end, or its registration stays"
[ "$(reg_value 'HKCU\Environment' Path)" = "REG_EXPAND_SZ $long_path" ] || fail "the uninstall changed a long PATH"

# Per machine, without the PATH; a file of the user's in the installation stays.
machine_path=$(reg_value 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment' Path)
wine "$installer" /S /AllUsers '/D=C:\gwu\machine' || fail "the per-machine install failed"
folder=$drive/gwu/machine
[ "$(files_below "$folder")" = "$expected" ] || fail "the per-machine install holds other files than the manifest's"
[ "$(reg_value "HKLM\\$uninstall_key" InstallLocation)" = 'REG_SZ C:\gwu\machine' ] ||
    fail "no per-machine uninstall registration"
echo "notes" >"$folder/bin/notes.txt"
wine 'C:\gwu\machine\uninstall.exe' /AllUsers /S || fail "the per-machine uninstall failed"
within_a_minute uninstalled HKLM "$folder" || fail "the per-machine uninstall did not end, or its registration stays"
left=$(files_below "$folder")
[ "$left" = bin/notes.txt ] || fail "the per-machine uninstall left other than the user's file: $left"
[ "$(reg_value 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment' Path)" = "$machine_path" ] ||
    fail "the machine's PATH changed"

[ "$failed" -eq 0 ] && echo "installer: installed, used and removed per user and per machine"
exit "$failed"
