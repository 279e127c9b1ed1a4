#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The krm59340 developers
# usage: test_docs.sh PROGRAM MANPAGE COMPLETION
# The manual page and the bash completion are written by hand beside the program; this holds them to the
# options the program itself lists in --help, so an option added to the code without them fails here. It also
# checks that the page renders without a warning (lintian checks the same in the package) and that an option
# whose value is a file completes file names, in both spellings bash splits differently, and one whose value
# is something else does not. A program with commands has the same checks for its commands and their options.
set -uo pipefail
program=$1 manpage=$2 completion=$3 name=$(basename "$1") failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

help=$("$program" --help 2>/dev/null) || { echo "FAIL: $program --help exited non-zero"; exit 1; }
# The long options of --help's option column, with their value name if they take one ("--bus-trace <file>").
mapfile -t options < <(sed -nE 's/^ +(-[^ ,]+, )*(--[a-z][a-z0-9-]*)( <([a-z-]+)>)?.*/\2 \4/p' <<<"$help")
[ ${#options[@]} -gt 0 ] || { echo "FAIL: no option found in $program --help"; exit 1; }

warnings=$(groff -man -ww -z "$manpage" 2>&1)
[ -z "$warnings" ] || fail "$manpage renders with warnings: $warnings"
# A section of the page as a reader sees it, on lines too long to break an option in two.
section() { groff -man -Tascii -P-cbou -rLL=300n "$manpage" 2>/dev/null | sed -n "/^$1/,/^[A-Z]/p"; }
described=$(section OPTIONS)

# shellcheck source=/dev/null
source "$completion"
function=$(complete -p "$name" | sed -nE 's/.*-F ([^ ]+).*/\1/p')
complete_words() {
    local COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
    "$function" "$name" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}"
}
offered=$(complete_words "$name" --)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/run.vcd" "$scratch/other.txt"
cd "$scratch" || exit 1

for entry in "${options[@]}"; do
    read -r option value <<<"$entry"
    grep -qE -- "^ +(-[^ ,]+, )*$option( |$)" <<<"$described" || fail "$option is not described in the manual page"
    grep -qx -- "$option" <<<"$offered" || fail "completing -- does not offer $option"
    if [ "$value" = file ]; then
        for words in "$option r" "$option = r"; do
            # shellcheck disable=SC2086
            got=$(complete_words "$name" $words)
            [ "$got" = run.vcd ] || fail "completing '$name $words' gave '$got', not the file run.vcd"
        done
    elif [ -n "$value" ] && grep -qx run.vcd <<<"$(complete_words "$name" "$option" "")"; then
        fail "completing after $option <$value> offers file names"
    fi
done

# A program with commands lists them in a Commands section of --help ("  set CH VOLTS   Set ..."); each needs
# its place in the page's COMMANDS section and in the completion, and so do the options of its own --help.
mapfile -t commands < <(sed -n '/^Commands/,/^$/p' <<<"$help" | sed -nE 's/^  ([a-z]+)( .*)?$/\1/p' | sort -u)
listed=$(section COMMANDS)
offered_commands=$(complete_words "$name" "")
for command in "${commands[@]}"; do
    grep -qE -- "^ +$command( |$)" <<<"$listed" || fail "the command $command is not described in the manual page"
    grep -qx -- "$command" <<<"$offered_commands" || fail "completing a command does not offer $command"
    offered_own=$(complete_words "$name" "$command" --)
    for option in $("$program" "$command" --help 2>/dev/null | sed -nE 's/^  (--[a-z][a-z0-9-]*).*/\1/p'); do
        grep -q -- "$option" <<<"$listed" || fail "$command $option is not in the manual page"
        grep -qx -- "$option" <<<"$offered_own" || fail "completing '$command --' does not offer $option"
    done
done

[ "$failures" -eq 0 ] || exit 1
echo "$name: ${#options[@]} options and ${#commands[@]} commands in --help, all described in the manual page and completed"
