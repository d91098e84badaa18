# Third-party packages the core uses, all from Debian. The programs and the
# tests read camera manifests and print JSON too, so the core passes the JSON
# library on.
#
# A cross-build looks for packages in the target's sysroot only, where
# Debian puts neither of these; it takes the header-only JSON library from
# the build machine's copy, and the INI parser from src/compat.
find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND)
  include(${PROJECT_SOURCE_DIR}/cmake/JsonHeaders.cmake)
endif()
target_link_libraries(quillon_platform_sim PRIVATE nlohmann_json::nlohmann_json)
target_link_libraries(quillon_core INTERFACE nlohmann_json::nlohmann_json)

if(WIN32)
  add_library(quillon_ini STATIC ${CMAKE_CURRENT_SOURCE_DIR}/compat/ini/ini.cpp)
  target_include_directories(quillon_ini PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/compat/ini)
  target_link_libraries(quillon_app_core PRIVATE quillon_ini)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(INIH REQUIRED IMPORTED_TARGET inih)
  target_link_libraries(quillon_app_core PRIVATE PkgConfig::INIH)
endif()
