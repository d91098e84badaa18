# Third-party packages the core uses, all from Debian.
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(quillon_core PUBLIC nlohmann_json::nlohmann_json)

find_package(PkgConfig REQUIRED)
pkg_check_modules(INIH REQUIRED IMPORTED_TARGET inih)
target_link_libraries(quillon_core PUBLIC PkgConfig::INIH)
