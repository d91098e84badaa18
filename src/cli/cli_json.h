// Results under --json: one JSON value on one line of standard output.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Prints the value as one line; text that is not UTF-8 (a damaged name on
// a volume) is replaced rather than ending the output half-way.
void CliPrintJson(const nlohmann::ordered_json& value);

// The text the value is printed as, without the line end.
std::string CliJsonText(const nlohmann::ordered_json& value);
