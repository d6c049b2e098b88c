#!/usr/bin/env bash
# The tools' manual pages and bash completions against the programs themselves: every option
# that a program's --help lists is completed and is in its manual page (which names no folder of
# this machine), every gwctl command is completed, and the options that name a folder or a file
# complete folders or files.
# gwfleet: each command's options likewise, after the command.
# Usage: tools.sh GWCTL GWEMU COMPLETIONS_DIR MANUALS_DIR GWFLEET
set -uo pipefail
declare -A program=([gwctl]=$1 [gwemu]=$2 [gwfleet]=$5)
completions=$3 manuals=$4
failed=0
fail() {
    echo "tools: $*"
    failed=1
}

# What bash offers for the command line "$@" (the last word being completed).
complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$completer" "$@"
    printf '%s\n' "${COMPREPLY[@]}"
}

for tool in gwctl gwemu; do
    # shellcheck source=/dev/null
    source "$completions/$tool" || fail "$tool: its completion does not load"
    completer=_$tool
    options=$("${program[$tool]}" --help | grep -oE '^  (-h,)?--[a-z][a-z-]*' | sed 's/^ *\(-h,\)\?//' | sort -u)
    [ "$(wc -l <<<"$options")" -ge 8 ] || fail "$tool: --help lists too few options: $options"
    offered=$(complete_line "$tool" --)
    page=$(MANWIDTH=200 man -l "$manuals/$tool.1.gz" 2>&1) || fail "$tool: its manual page does not render"
    for folder in "$(cd "$completions/../.." && pwd)" "$(cd "$manuals/../.." && pwd)"; do
        grep -qF -- "$folder" <<<"$page" && fail "$tool: its manual page names $folder"
    done
    for option in $options; do
        grep -qxF -- "$option" <<<"$offered" || fail "$tool: $option is not completed"
        grep -qF -- "$option" <<<"$page" || fail "$tool: $option is not in its manual page"
    done
    for offer in $offered; do
        grep -qxF -- "$offer" <<<"$options" || fail "$tool: $offer is completed but not in --help"
    done
done

# gwctl's commands, as its --help lists them; none once one is given.
commands=$("${program[gwctl]}" --help | sed -n 's/.*TEXT:{\([a-z,]*\)}.*/\1/p' | tr ',' '\n')
[ -n "$commands" ] || fail "gwctl: --help lists no commands"
completer=_gwctl
[ "$(complete_line gwctl '')" = "$commands" ] || fail "gwctl: commands completed: $(complete_line gwctl '')"
[ "$(complete_line gwctl --json up)" = update ] || fail "gwctl: 'up' does not complete to update"
[ -z "$(complete_line gwctl check '')" ] || fail "gwctl: a second command is offered"
[ "$(complete_line gwctl check --fir)" = --firmware ] || fail "gwctl: --fir does not complete"

# Folders for a folder, files for a file.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" && mkdir samples && touch sample.json
[ "$(complete_line gwctl --logs sam)" = samples ] || fail "gwctl: --logs does not complete folders only"
[ "$(complete_line gwctl --custom-cpld sample.)" = sample.json ] || fail "gwctl: --custom-cpld does not complete files"
completer=_gwemu
[ "$(complete_line gwemu --scenario sample.)" = sample.json ] || fail "gwemu: --scenario does not complete files"
[ "$(complete_line gwemu --firmware sam)" = samples ] || fail "gwemu: --firmware does not complete folders only"

# gwfleet's commands, and each one's options after it (those of --help, in the manual page).
# shellcheck source=/dev/null
source "$completions/gwfleet" || fail "gwfleet: its completion does not load"
completer=_gwfleet
page=$(MANWIDTH=200 man -l "$manuals/gwfleet.1.gz" 2>&1) || fail "gwfleet: its manual page does not render"
fleet_commands=$("${program[gwfleet]}" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
[ "$(wc -l <<<"$fleet_commands")" -ge 6 ] || fail "gwfleet: --help lists too few commands: $fleet_commands"
for command in $fleet_commands; do
    grep -qxF -- "$command" <<<"$(complete_line gwfleet '')" || fail "gwfleet: $command is not completed"
    words=("$command")
    [ "$command" = token ] && words=(token add)
    options=$("${program[gwfleet]}" "${words[@]}" --help | grep -oE '^  (-h,)?--[a-z][a-z-]*' | sed 's/^ *\(-h,\)\?//' | sort -u)
    offered=$(complete_line gwfleet "${words[@]}" --)
    for option in $options; do
        grep -qxF -- "$option" <<<"$offered" || fail "gwfleet ${words[*]}: $option is not completed"
        [ "$option" = --help ] || grep -qF -- "$option" <<<"$page" || fail "gwfleet: $option is not in its manual page"
    done
done
[ "$(complete_line gwfleet serve --tls-cert sample.)" = sample.json ] || fail "gwfleet: --tls-cert does not complete files"

[ "$failed" -eq 0 ] && echo "tools: manual pages and completions of gwctl, gwemu and gwfleet agree with --help"
exit "$failed"
