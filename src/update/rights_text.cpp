#include "update/rights_text.h"

#include "device/platform/platform.h"

std::string MissingRightsTextKey(const TextTable& texts) {
    const std::string key = platform::CurrentPlatform().MissingRightsTextKey();
    // A translation made before the platform had a text of its own still
    // says something.
    return LookupText(texts, key).empty() ? text_key::kNotAdministrator : key;
}

std::string MissingRightsText(const TextTable& texts) {
    return FormatWithoutArguments(LookupText(texts, MissingRightsTextKey(texts)));
}
