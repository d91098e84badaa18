// The text that tells the user how to get the rights raw disk access needs,
// in the words of the platform in use.
#pragma once

#include <string>

#include "texts/text_table.h"

// The platform's own text when the table has it, else the classic one.
std::string MissingRightsText(const TextTable& texts);
// The key of the text MissingRightsText gives.
std::string MissingRightsTextKey(const TextTable& texts);
