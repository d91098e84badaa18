# Reading quillon-cli's own help text, shared by the generators of the man
# page and the bash completion, so both follow the command table the program
# was built with. Sourced by bash scripts; every function writes to stdout.

# The commands of the tool: the command tables of "quillon-cli --help" list
# each one on a line of its own, two spaces in, the name first. A name the
# tool does not answer "help NAME" for is left out, with a warning.
help_text_commands() {
    local program=$1 line name
    while IFS= read -r line; do
        [[ $line =~ ^\ \ ([a-z][a-z0-9-]*)(\ |$) ]] || continue
        name=${BASH_REMATCH[1]}
        if "$program" help "$name" >/dev/null 2>&1; then
            printf '%s\n' "$name"
        else
            printf 'warning: "%s" in the help text is no command of %s\n' "$name" "$program" >&2
        fi
    done < <("$program" --help)
}

# Reads usage words, one a line, and prints what they declare, one line each:
#   option NAME [VALUE]   an option; VALUE is its placeholder when it takes one
#   argument PLACEHOLDER  a positional argument, in order
# "[--opt VALUE]" takes a value; "[-r]" and "[--flag]" do not; an option out
# of brackets takes the word after it when that is a placeholder (upper case
# or a choice such as fat16|fat32).
help_text_declarations() {
    local -a words=()
    local word
    while IFS= read -r word; do words+=("$word"); done
    local index=0 count=${#words[@]} bare closes next
    while (( index < count )); do
        word=${words[index]}
        bare=${word#[}
        closes=0
        [[ $bare == *] ]] && closes=1
        bare=${bare%%]*}
        if [[ $bare == -?* && $bare != -- ]]; then
            next=""
            if (( ! closes && index + 1 < count )); then
                next=${words[index + 1]%%]*}
                if [[ $next =~ ^[A-Z][A-Z0-9_]*$ || $next == *'|'* ]]; then
                    (( index += 1 ))
                else
                    next=""
                fi
            fi
            printf 'option %s%s\n' "$bare" "${next:+ $next}"
        elif [[ -n $bare ]]; then
            printf 'argument %s\n' "$bare"
        fi
        (( index += 1 ))
    done
}

# The words of LINE after the first word equal to WORD, one a line.
_help_text_words_after() {
    local line=$1 word=$2 token found=0
    local -a tokens
    read -ra tokens <<<"$line"
    for token in "${tokens[@]}"; do
        if (( found )); then printf '%s\n' "$token"
        elif [[ $token == "$word" ]]; then found=1
        fi
    done
}

# The declarations of a command's own usage: what follows the command's name
# on the usage line of "PROGRAM help COMMAND".
help_text_command_declarations() {
    local program=$1 command=$2 line
    while IFS= read -r line; do
        [[ $line =~ ^[Uu]sage: ]] || continue
        _help_text_words_after "$line" "$command" | help_text_declarations
        return 0
    done < <("$program" help "$command")
}

# The global options: those of the tool's first usage line before COMMAND,
# and every other option its further usage lines name (--version, --help).
help_text_global_declarations() {
    local program=$1 name line token first=1
    name=$(basename "$program")
    local -a tokens
    while IFS= read -r line; do
        [[ -z $line ]] && break
        read -ra tokens <<<"${line#*[Uu]sage:}"
        if (( first )); then
            first=0
            for token in "${tokens[@]}"; do
                [[ $token == COMMAND ]] && break
                [[ $token == "$name" ]] || printf '%s\n' "$token"
            done | help_text_declarations
            continue
        fi
        for token in "${tokens[@]}"; do
            token=${token#[(\[]}
            token=${token%%[]):,]*}
            [[ $token == --?* ]] && printf 'option %s\n' "$token"
        done
    done < <("$program" --help)
}

# Declarations with the first of each option kept; arguments all stay.
help_text_unique() { awk '$1 != "option" || !seen[$2]++'; }
