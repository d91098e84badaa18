#include "cli/cli_json.h"

#include <iostream>

std::string CliJsonText(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void CliPrintJson(const nlohmann::ordered_json& value) { std::cout << CliJsonText(value) << "\n" << std::flush; }
