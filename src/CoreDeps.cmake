# Third-party packages the core uses, all from Debian.
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(quillon_core PUBLIC nlohmann_json::nlohmann_json)
