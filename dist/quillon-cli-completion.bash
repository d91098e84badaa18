# The completion itself. The generator puts _quillon_cli_declarations, the
# table read from the tool's help text, before it: lines of
#   global option NAME [VALUE]      an option before the command
#   command NAME                    a command
#   COMMAND option NAME [VALUE]     an option of that command
#   COMMAND argument PLACEHOLDER    its positional arguments, in order
# Plain bash: it needs no completion library.

# The declarations of SUBJECT ("global" or a command), without the subject.
_quillon_cli_of() {
    local line
    while IFS= read -r line; do
        [[ $line == "$1 "* ]] && printf '%s\n' "${line#"$1 "}"
    done < <(_quillon_cli_declarations)
}

# The names declared as KIND by SUBJECT, on one line.
_quillon_cli_names() {
    local kind name rest names=()
    while read -r kind name rest; do
        [[ $kind == "$2" ]] && names+=("$name")
    done < <(_quillon_cli_of "$1")
    printf '%s\n' "${names[*]}"
}

# The value placeholder of SUBJECT's OPTION: empty for a flag, "?" for an
# option SUBJECT does not declare (its value, if any, cannot be known).
_quillon_cli_value_of() {
    local kind name value
    while read -r kind name value; do
        [[ $kind == option && $name == "$2" ]] && { printf '%s\n' "$value"; return; }
    done < <(_quillon_cli_of "$1")
    printf '?\n'
}

# Fills COMPREPLY with the words a PLACEHOLDER may stand for that start with
# CURRENT: a choice ("yes|no") offers its words, folders and files are
# completed from the disk, numbers and names offer nothing.
_quillon_cli_complete_value() {
    local placeholder=${1%...} current=$2
    COMPREPLY=()
    case $placeholder in
        *'|'*) mapfile -t COMPREPLY < <(compgen -W "${placeholder//|/ }" -- "$current") ;;
        DIR) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "$current") ;;
        N | BYTES | SECTOR | TEXT | NEWNAME | '?' | '') ;;
        *) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- "$current") ;;
    esac
}

# Fills COMPREPLY with the names out of WORDS that start with CURRENT.
_quillon_cli_offer() {
    mapfile -t COMPREPLY < <(compgen -W "$1" -- "$2")
}

# The words up to the cursor, with "--opt=VALUE" whole again: bash splits a
# word at "=" when COMP_WORDBREAKS holds it.
_quillon_cli_joined_words() {
    local index word
    _quillon_cli_words=()
    for (( index = 1; index <= COMP_CWORD; index++ )); do
        word=${COMP_WORDS[index]}
        local last=$(( ${#_quillon_cli_words[@]} - 1 ))
        if (( last >= 0 )) && [[ $word == = || ${_quillon_cli_words[last]} == --*= ]]; then
            _quillon_cli_words[last]+=$word
        else
            _quillon_cli_words+=("$word")
        fi
    done
}

_quillon_cli() {
    local _quillon_cli_words
    _quillon_cli_joined_words
    local count=${#_quillon_cli_words[@]}
    local current=${_quillon_cli_words[count - 1]:-}
    local subject=global command="" awaited="" options_ended=0 arguments=0 word value index

    # What the words before the cursor settle: the command, how many of its
    # arguments are given, and whether the last option still wants its value.
    for (( index = 0; index < count - 1; index++ )); do
        word=${_quillon_cli_words[index]}
        if [[ -n $awaited ]]; then
            awaited=""
        elif (( ! options_ended )) && [[ $word == -- ]]; then
            options_ended=1
        elif (( ! options_ended )) && [[ $word == -?* ]]; then
            [[ $word == *=* ]] || awaited=$(_quillon_cli_value_of "$subject" "$word")
            [[ $awaited == '?' ]] && awaited=""
        elif [[ -z $command ]]; then
            command=$word subject=$word options_ended=0
        else
            (( arguments += 1 ))
        fi
    done

    if [[ -n $awaited ]]; then
        _quillon_cli_complete_value "$awaited" "$current"
        return
    fi
    if (( ! options_ended )) && [[ $current == --*=* ]]; then
        _quillon_cli_complete_value "$(_quillon_cli_value_of "$subject" "${current%%=*}")" "${current#*=}"
        # Without "=" among the word breaks the whole word is replaced.
        if [[ $COMP_WORDBREAKS != *=* ]]; then
            COMPREPLY=("${COMPREPLY[@]/#/${current%%=*}=}")
        fi
        return
    fi
    if (( ! options_ended )) && [[ $current == -* ]]; then
        _quillon_cli_offer "$(_quillon_cli_names "$subject" option)" "$current"
        return
    fi
    if [[ -z $command ]]; then
        _quillon_cli_offer "help $(_quillon_cli_names global command)" "$current"
        return
    fi
    if [[ $command == help ]]; then
        (( arguments == 0 )) && _quillon_cli_offer "$(_quillon_cli_names global command)" "$current"
        return
    fi
    local -a placeholders
    read -ra placeholders <<<"$(_quillon_cli_names "$command" argument)"
    local placeholder=${placeholders[arguments]:-}
    # A last placeholder written "PATH..." takes any number of words.
    if [[ -z $placeholder && ${placeholders[-1]:-} == *... ]]; then
        placeholder=${placeholders[-1]}
    fi
    _quillon_cli_complete_value "$placeholder" "$current"
}

complete -F _quillon_cli quillon-cli
