#!/bin/bash
# The bash completion of quillon-cli against the tool itself: it offers
# every command and option the help text names, the tool takes every option
# it offers (with a value exactly when the completion asks for one), and it
# completes choices, files and folders where the usage says so.
#   completion_test.sh QUILLON_CLI COMPLETION SCRATCH
set -uo pipefail
cli=$1 completion=$2 scratch=$3/completion
failures=0 passes=0

fail() { (( failures += 1 )); printf 'FAILED: %s\n' "$*"; }
pass() { (( passes += 1 )); }

source "$completion" || { echo "FAILED: cannot load $completion"; exit 1; }

# The words offered at the end of LINE, sorted, on one line. Words are split
# as readline splits them, "=" a word of its own.
offered() {
    local line=$1
    local -a words
    read -ra words <<<"${line//=/ = }"
    [[ $line == *" " ]] && words+=("")
    COMP_WORDS=("${words[@]}")
    COMP_CWORD=$(( ${#words[@]} - 1 ))
    COMPREPLY=()
    _quillon_cli 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort | xargs
}

expect_offered() {  # expect_offered LINE EXPECTED: exactly these words (sorted)
    local got
    got=$(offered "$1")
    if [[ $got == "$2" ]]; then pass; else fail "[$1] offers \"$got\", not \"$2\""; fi
}

expect_among() {  # expect_among LINE WORD: WORD is one of the words offered
    local got
    got=" $(offered "$1") "
    if [[ $got == *" $2 "* ]]; then pass; else fail "[$1] does not offer $2 (offers:$got)"; fi
}

expect_exit() {  # expect_exit CODE ARGS...: quillon-cli ARGS ends with CODE
    local code=$1; shift
    "$cli" "$@" >/dev/null 2>&1
    local got=$?
    if (( got == code )); then pass; else fail "quillon-cli $* ended with $got, not $code"; fi
}

# The options the completion offers at a "-" in LINE, one a line.
options_offered_at() { offered "$1-" | tr ' ' '\n'; }

# The tool's commands, read from its help text without the completion's reader.
mapfile -t commands < <("$cli" --help | sed -n 's/^  \([a-z][a-z0-9-]*\)\( .*\)\{0,1\}$/\1/p')
(( ${#commands[@]} > 0 )) || { echo "FAILED: no command found in quillon-cli --help"; exit 1; }

# Every command is offered, and "help" with them.
for command in "${commands[@]}" help; do expect_among "quillon-cli " "$command"; done
for command in "${commands[@]}"; do expect_among "quillon-cli help " "$command"; done
# Every command offered is one.
for command in $(offered "quillon-cli "); do
    [[ $command == help ]] || expect_exit 0 help "$command"
done

# Option words a help text names ("--name" or "-x").
options_named_in() { grep -oE '(^|[ [(])--?[a-z][a-z0-9-]*' | sed 's/^[ [(]//' | sort -u; }

# Every option of the tool's usage lines is offered before a command.
while IFS= read -r option; do
    expect_among "quillon-cli -" "$option"
done < <("$cli" --help | sed '/^$/q' | options_named_in)

# Every option a command's help names, that the tool takes after that
# command, is offered there.
takes_option() {  # takes_option COMMAND OPTION: as a flag or with a value
    "$cli" "$1" "$2" --help >/dev/null 2>&1 || "$cli" "$1" "$2=0" --help >/dev/null 2>&1
}
for command in "${commands[@]}"; do
    while IFS= read -r option; do
        takes_option "$command" "$option" || continue
        expect_among "quillon-cli $command -" "$option"
    done < <("$cli" help "$command" | options_named_in)
done

# The tool takes every option offered, with a value exactly when the
# completion completes one.
value_wanted() {  # value_wanted SUBJECT OPTION: the completion's placeholder
    local value
    value=$(_quillon_cli_value_of "$1" "$2")
    [[ -n $value && $value != '?' ]]
}
check_global_option() {
    if value_wanted global "$1"; then
        expect_exit 0 "$1=0" --help
        expect_exit 2 "$1"
    else
        expect_exit 0 "$1" --help
        expect_exit 2 "$1=0" --help
    fi
}
check_command_option() {
    if value_wanted "$1" "$2"; then
        expect_exit 0 "$1" "$2=0" --help
        expect_exit 2 "$1" "$2"
    else
        expect_exit 0 "$1" "$2" --help
        expect_exit 2 "$1" "$2=0" --help
    fi
}
while IFS= read -r option; do check_global_option "$option"; done < <(options_offered_at "quillon-cli ")
for command in "${commands[@]}"; do
    while IFS= read -r option; do check_command_option "$command" "$option"; done \
        < <(options_offered_at "quillon-cli $command ")
done

# Values and arguments: choices offer their words, folders and files come
# from the disk, and the global options are not offered after a command.
rm -rf "$scratch"
mkdir -p "$scratch/folder"
touch "$scratch/file.img"
cd "$scratch" || exit 1
complete_value_after() {  # complete_value_after LINE PLACEHOLDER
    case $2 in
        *'|'*) expect_offered "$1" "$(tr '|' '\n' <<<"$2" | sort | xargs)" ;;
        DIR) expect_offered "$1" "folder" ;;
        FILE) expect_offered "$1" "file.img folder" ;;
    esac
}
while read -r subject kind name placeholder; do
    [[ $kind == option && -n ${placeholder:-} ]] || continue
    if [[ $subject == global ]]; then
        complete_value_after "quillon-cli $name " "$placeholder"
        complete_value_after "quillon-cli $name=" "$placeholder"
    else
        complete_value_after "quillon-cli $subject $name " "$placeholder"
        complete_value_after "quillon-cli $subject $name=" "$placeholder"
    fi
done < <(_quillon_cli_declarations)
for command in "${commands[@]}"; do
    first_argument=$(_quillon_cli_names "$command" argument | cut -d' ' -f1)
    [[ -n $first_argument ]] && complete_value_after "quillon-cli --json $command " "$first_argument"
    while IFS= read -r option; do
        [[ $option == --json || $option == --help ]] && continue
        expect_offered "quillon-cli $command $option" ""
    done < <(options_offered_at "quillon-cli ")
done
expect_offered "quillon-cli --image file.img --start 0 --camera x.json info --j" "--json"
expect_offered "quillon-cli help info " ""

echo "$passes passed, $failures failed"
(( failures == 0 ))
