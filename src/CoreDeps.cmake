# Third-party packages the core uses, all from Debian. The programs and the
# tests read camera manifests and print JSON too, so the core passes the JSON
# library on.
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(quillon_platform_sim PRIVATE nlohmann_json::nlohmann_json)
target_link_libraries(quillon_core INTERFACE nlohmann_json::nlohmann_json)

find_package(PkgConfig REQUIRED)
pkg_check_modules(INIH REQUIRED IMPORTED_TARGET inih)
target_link_libraries(quillon_app_core PRIVATE PkgConfig::INIH)
