#!/bin/bash
# Writes the bash completion of quillon-cli from the tool's own help text:
# the table of its commands, options and arguments, followed by the
# completion code that reads it.
#   make-bash-completion.sh PROGRAM CODE OUTPUT
set -euo pipefail
program=$1 code=$2 output=$3
source "$(dirname "$0")/help-text.sh"

# Every command takes --json and --help besides the options its usage names.
readonly every_command_options=("--json" "--help")

table_lines() {
    help_text_global_declarations "$program" | help_text_unique | sed 's/^/global /'
    local command option
    while IFS= read -r command; do
        printf 'global command %s\n' "$command"
        {
            help_text_command_declarations "$program" "$command"
            for option in "${every_command_options[@]}"; do printf 'option %s\n' "$option"; done
        } | help_text_unique | sed "s/^/$command /"
    done < <(help_text_commands "$program")
}

# Only words made of these characters go into the table, so it needs no
# quoting and a help text the reader misunderstood shows at build time.
check_line() {
    [[ $1 =~ ^[a-z][a-z0-9-]*\ (option|argument|command)\ [-A-Za-z0-9_|.]+(\ [-A-Za-z0-9_|.]+)?$ ]] || {
        printf 'make-bash-completion: cannot use "%s" read from %s --help\n' "$1" "$program" >&2
        exit 1
    }
}

mapfile -t lines < <(table_lines)
grep -q '^global command ' < <(printf '%s\n' "${lines[@]}") || {
    printf 'make-bash-completion: no command found in %s --help\n' "$program" >&2
    exit 1
}
{
    printf '# bash completion for quillon-cli\n'
    printf '# Made from the help text of %s; not to be edited.\n\n' "$("$program" --version)"
    printf '_quillon_cli_declarations() {\n    printf '"'"'%%s\\n'"'"''
    for line in "${lines[@]}"; do
        check_line "$line"
        printf " \\\\\n        '%s'" "$line"
    done
    printf '\n}\n\n'
    cat "$code"
} >"$output.tmp"
mv "$output.tmp" "$output"
