#!/bin/bash
# Installs the build into a fresh prefix and uses the installation as a user
# would: the programs run from there, find their GFX_DATA, and the manual
# pages, the completion and the desktop entry are where the desktop looks.
#   install_test.sh CMAKE BUILD_DIR SCRATCH VERSION
set -uo pipefail
cmake=$1 build=$2 scratch=$3/install version=$4
prefix=$scratch/prefix
failures=0 passes=0

check() {  # check WHAT COMMAND...: runs COMMAND, counts and reports it
    local what=$1; shift
    local output
    if output=$("$@" 2>&1); then
        (( passes += 1 ))
    else
        (( failures += 1 ))
        printf 'FAILED: %s\n  %s\n%s\n' "$what" "$*" "$output"
    fi
}

# Programs started as from a terminal without a window system, their state
# (the run log) kept in the scratch folder.
without_display() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$scratch/home" XDG_STATE_HOME="$scratch/state" "$@"
}

renders() {  # renders PAGE: a manual page that groff formats without a warning
    if ! command -v groff >/dev/null; then
        head -n 5 "$1" | grep -q '^\.TH ' && grep -q '^\.SH NAME' "$1"
        return
    fi
    local warnings
    warnings=$(groff -man -Tutf8 -ww -z "$1" 2>&1) || return 1
    [[ -z $warnings ]] || { printf '%s\n' "$warnings"; return 1; }
}

prints() {  # prints EXPECTED COMMAND...: the command succeeds and prints exactly EXPECTED
    local expected=$1; shift
    local output
    output=$("$@") || return 1
    [[ $output == "$expected" ]] || { printf 'printed "%s", not "%s"\n' "$output" "$expected"; return 1; }
}

rm -rf "$scratch"
mkdir -p "$scratch"
if ! "$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
    cat "$scratch/install.log"
    echo "FAILED: cmake --install"
    exit 1
fi

bin=$prefix/bin share=$prefix/share
check "quillon-cli --version" prints "quillon-cli $version" without_display "$bin/quillon-cli" --version
check "quillon --version without a display" prints "quillon $version" without_display "$bin/quillon" --version
check "quillon --help without a display" without_display "$bin/quillon" --help
check "the texts beside the programs" test -s "$bin/GFX_DATA/OT.txt"
for picture in title cam instruction1 instruction2 instruction3; do
    check "$picture.bmp beside the programs" test -s "$bin/GFX_DATA/$picture.bmp"
done
check "no update file is installed" test ! -e "$bin/GFX_DATA/APP_DATA.BIN"

# make-camera copies the installed texts and pictures into the camera's own
# GFX_DATA, and an update run finds them there.
camera=$scratch/camera
check "make-camera with the installed GFX_DATA" without_display "$bin/quillon-cli" make-camera "$camera"
check "the camera got the installed texts" cmp "$bin/GFX_DATA/OT.txt" "$camera/GFX_DATA/OT.txt"
check "update with the installed programs" \
    without_display "$bin/quillon-cli" --camera "$camera/camera.json" update --answer yes
check "the update file reached the camera" cmp "$camera/GFX_DATA/APP_DATA.BIN" "$camera/user/APP_DATA.BIN"

# A camera without a GFX_DATA of its own runs on the installed one: the run
# gets past the texts to its first screen and misses only the update file
# that no installation ships.
bare=$scratch/bare-camera
check "make-camera for the bare camera" without_display "$bin/quillon-cli" make-camera "$bare"
rm -rf "$bare/GFX_DATA"
runs_on_installed_gfx() {
    local output
    if output=$(without_display "$bin/quillon-cli" --json --camera "$bare/camera.json" update --answer yes 2>&1); then
        printf 'the update ran without an update file:\n%s\n' "$output"
        return 1
    fi
    [[ $output == *'"event":"screen"'* && $output == *"$bin/GFX_DATA/APP_DATA.BIN"* ]] ||
        { printf 'the update did not use %s:\n%s\n' "$bin/GFX_DATA" "$output"; return 1; }
}
check "update takes the installed GFX_DATA by default" runs_on_installed_gfx

for page in quillon quillon-cli; do
    man_page=$share/man/man1/$page.1
    check "$page.1 is installed" test -s "$man_page"
    check "$page.1 renders without warnings" renders "$man_page"
done

# The page is made from the installed tool's own help: every command that
# help lists is on the page, and answers its own help from the installation.
page_has_command() {  # page_has_command PAGE COMMAND
    # No pipe into grep -q: its early exit would fail the pipe under pipefail.
    local page
    page=$(sed 's/\\-/-/g' "$1") || return 1
    [[ $page == *"\\fB$2"* ]]
}
commands=$(without_display "$bin/quillon-cli" --help | awk '/^  [a-z]/ {print $1}')
check "quillon-cli --help lists commands" test -n "$commands"
for command in $commands; do
    check "quillon-cli.1 describes $command" page_has_command "$share/man/man1/quillon-cli.1" "$command"
    check "the installed quillon-cli help $command" without_display "$bin/quillon-cli" help "$command"
done
check "quillon.1 describes --camera" page_has_command "$share/man/man1/quillon.1" "--camera"

check "the bash completion is installed" test -s "$share/bash-completion/completions/quillon-cli"
check "the bash completion loads" bash -c "source '$share/bash-completion/completions/quillon-cli' && complete -p quillon-cli"
desktop=$share/applications/quillon.desktop
check "the desktop entry is installed" test -s "$desktop"
check "the desktop entry starts quillon" grep -qx 'Exec=quillon' "$desktop"
check "the desktop entry names the icon" grep -qx 'Icon=quillon' "$desktop"
check "the icon is installed" test -s "$share/icons/hicolor/scalable/apps/quillon.svg"
if command -v desktop-file-validate >/dev/null; then
    check "desktop-file-validate" desktop-file-validate "$desktop"
fi

echo "$passes passed, $failures failed"
(( failures == 0 ))
