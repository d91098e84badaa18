# Starts the cross-built Windows programs under Wine: headless, quiet, and in
# a prefix of this build's own, so a run never touches the user's ~/.wine and
# two build directories never share one. Wine makes the prefix on its first
# start; scripts/run-windows-tests makes it once before the tests run.
set(QUILLON_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix CACHE PATH "Wine prefix of this build")

# A Windows program sees the build machine's root as drive Z:. Paths the
# tests receive at build time (the program under test, scratch folders) are
# handed over in that form.
function(quillon_windows_path out path)
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()

find_program(QUILLON_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(NOT QUILLON_WINE)
  message(STATUS "No wine64: the Windows programs build, but the tests cannot run here")
  return()
endif()

# A script rather than the bare program, as test discovery runs the test
# programs at build time too, outside ctest's environment.
set(QUILLON_WINE_RUNNER ${CMAKE_BINARY_DIR}/wine-run)
file(CONFIGURE OUTPUT ${QUILLON_WINE_RUNNER} @ONLY CONTENT [=[#!/bin/sh
# Runs one Windows program of this build under Wine.
export WINEPREFIX='@QUILLON_WINE_PREFIX@'
export WINEDEBUG=-all
# Neither the .NET nor the HTML runtime is wanted: without these Wine would
# offer to download them when it makes the prefix.
export WINEDLLOVERRIDES='mscoree,mshtml='
unset DISPLAY WAYLAND_DISPLAY
exec '@QUILLON_WINE@' "$@"
]=])
file(CHMOD ${QUILLON_WINE_RUNNER}
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLON_WINE_RUNNER})
