#!/bin/bash
# Writes a program's manual page (section 1) from its own --help and
# --version, so the page says what the program says.
#   make-man-page.sh [--commands] PROGRAM SUMMARY SEE_ALSO OUTPUT
# SUMMARY is the one line of the NAME section; SEE_ALSO names related pages
# ("quillon(1)"). With --commands, the program is a tool with commands whose
# usage ("PROGRAM help COMMAND") makes a section of its own.
set -euo pipefail
with_commands=0
if [[ ${1:-} == --commands ]]; then with_commands=1; shift; fi
program=$1 summary=$2 see_also=$3 output=$4
name=$(basename "$program")
source "$(dirname "$0")/help-text.sh"

# Text made safe for roff: backslashes kept, minus signs typed as such (an
# option copied from the page must work), no line taken for a request.
roff_text() {
    local text=${1//\\/\\e}
    text=${text//-/\\-}
    [[ $text == [.\']* ]] && text="\\&$text"
    printf '%s\n' "$text"
}

indent_of() {
    local stripped=${1#"${1%%[! ]*}"}
    printf '%d\n' $(( ${#1} - ${#stripped} ))
}

trimmed() {
    local text=${1#"${1%%[! ]*}"}
    printf '%s\n' "${text%"${text##*[! ]}"}"
}

# The usage lines that open the help text, without "usage:", the program's
# name in bold.
synopsis() {
    printf '.SH SYNOPSIS\n.nf\n'
    local line
    for line in "$@"; do
        line=$(trimmed "${line#*[Uu]sage:}")
        if [[ $line == "$name"* ]]; then
            printf '\\fB%s\\fR%s\n' "$(roff_text "$name")" "$(roff_text "${line#"$name"}")"
        else
            roff_text "$line"
        fi
    done
    printf '.fi\n'
}

# The rest of the help text. An unindented line ending in ":" heads a
# section; other unindented lines are paragraphs. An indented line starts a
# tagged item: its tag is what comes before a gap of two or more spaces (the
# rest begins the item's text), or the whole line when more deeply indented
# lines follow to describe it. Lines indented deeper than an item's tag go on
# with its text. The first option item opens an OPTIONS section unless a
# heading came before it.
body() {
    local line indent item_indent=-1 in_paragraph=0 headed=0 described=0 text
    if ! has_description "$@"; then
        described=1
        printf '.SH DESCRIPTION\n'
        roff_text "$(sentence "$summary")"
    fi
    for line in "$@"; do
        if [[ -z ${line// } ]]; then
            item_indent=-1 in_paragraph=0
            continue
        fi
        indent=$(indent_of "$line")
        text=$(trimmed "$line")
        if (( item_indent >= 0 && indent > item_indent )); then
            roff_text "$text"
        elif (( indent == 0 )) && [[ $text == *: ]]; then
            printf '.SH "%s"\n' "$(roff_text "$(tr '[:lower:]' '[:upper:]' <<<"${text%:}")")"
            headed=1 item_indent=-1 in_paragraph=0
        elif (( indent == 0 )); then
            (( headed || described )) || { printf '.SH DESCRIPTION\n'; described=1; }
            (( in_paragraph )) || printf '.PP\n'
            roff_text "$text"
            in_paragraph=1 item_indent=-1
        else
            if (( ! headed )) && [[ $text == -* ]]; then
                printf '.SH OPTIONS\n'
                headed=1
            fi
            printf '.TP\n'
            if [[ $text == *"  "* ]]; then
                printf '\\fB%s\\fR\n' "$(roff_text "${text%%  *}")"
                roff_text "$(trimmed "${text#*  }")"
            else
                printf '\\fB%s\\fR\n' "$(roff_text "$text")"
            fi
            item_indent=$indent in_paragraph=0
        fi
    done
}

# Whether the help text says what the program does before its first heading
# or item: an unindented line that heads nothing.
has_description() {
    local line
    for line in "$@"; do
        [[ -z ${line// } ]] && continue
        [[ $line == " "* || $line == *: ]] && return 1
        return 0
    done
    return 1
}

# "update a camera" as a sentence: "Update a camera."
sentence() { printf '%s%s.\n' "$(tr '[:lower:]' '[:upper:]' <<<"${1:0:1}")" "${1:1}"; }

# Each command's usage, as "PROGRAM help COMMAND" gives it, as one item.
command_usages() {
    printf '.SH "COMMAND USAGE"\n'
    local command line first
    while IFS= read -r command; do
        printf '.TP\n\\fB%s\\fR\n' "$(roff_text "$command")"
        first=1
        while IFS= read -r line; do
            [[ -z ${line// } ]] && continue
            if (( first )); then
                roff_text "$(trimmed "${line#*[Uu]sage:}")"
                printf '.br\n'
                first=0
            else
                roff_text "$(trimmed "$line")"
                printf '.br\n'
            fi
        done < <("$program" help "$command")
    done < <(help_text_commands "$program")
}

mapfile -t help_lines < <("$program" --help)
usage_count=0
while (( usage_count < ${#help_lines[@]} )) && [[ -n ${help_lines[usage_count]// } ]]; do (( usage_count += 1 )); done
(( usage_count > 0 )) || { printf 'make-man-page: %s --help printed no usage\n' "$program" >&2; exit 1; }
version=$("$program" --version)
title=$(tr '[:lower:]' '[:upper:]' <<<"$name")

{
    printf '.\\" Made from the help text of %s; not to be edited.\n' "$version"
    printf '.TH %s 1 "" "%s" "User Commands"\n' "$(roff_text "$title")" "$(roff_text "$version")"
    printf '.SH NAME\n%s \\- %s\n' "$(roff_text "$name")" "$(roff_text "$summary")"
    synopsis "${help_lines[@]:0:usage_count}"
    body "${help_lines[@]:usage_count}"
    (( with_commands )) && command_usages
    if [[ -n $see_also ]]; then
        printf '.SH "SEE ALSO"\n'
        roff_text "$see_also"
    fi
} >"$output.tmp"
mv "$output.tmp" "$output"
