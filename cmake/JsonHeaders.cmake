# nlohmann_json::nlohmann_json from a folder that holds nlohmann/json.hpp,
# for builds where no package configuration of it is found: the Windows
# cross-build (Debian's headers are in the build machine's /usr/include), or
# a Windows machine with the headers unpacked somewhere.
#
# Only the library's own folder is copied into the build: adding the whole
# of /usr/include would put the build machine's C library headers in front
# of the Windows ones.
set(QUILLON_JSON_INCLUDE_DIR /usr/include CACHE PATH "Folder holding nlohmann/json.hpp")
if(NOT EXISTS ${QUILLON_JSON_INCLUDE_DIR}/nlohmann/json.hpp)
  message(FATAL_ERROR "nlohmann/json.hpp is not in QUILLON_JSON_INCLUDE_DIR (${QUILLON_JSON_INCLUDE_DIR})")
endif()
set(QUILLON_JSON_COPY ${PROJECT_BINARY_DIR}/third_party/include)
file(COPY ${QUILLON_JSON_INCLUDE_DIR}/nlohmann DESTINATION ${QUILLON_JSON_COPY})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${QUILLON_JSON_COPY})
