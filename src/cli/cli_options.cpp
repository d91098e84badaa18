#include "cli/cli_options.h"

#include <cstdint>

#include "cli/cli_numbers.h"

namespace {

constexpr std::string_view kEndOfOptions = "--";
// Only long options take "=VALUE"; "-r=1" is no option at all.
constexpr std::string_view kLongOptionPrefix = "--";
constexpr char kValueSeparator = '=';
constexpr char kHelpCommand[] = "help";

constexpr char kImageOption[] = "--image";
constexpr char kStartOption[] = "--start";
constexpr char kCameraOption[] = "--camera";
constexpr char kJsonOption[] = "--json";
constexpr char kHelpOption[] = "--help";
constexpr char kShortHelpOption[] = "-h";
constexpr char kVersionOption[] = "--version";

// The media callbacks read --start by the lenient sector-number rule, which
// saturates at the signed 32-bit limit; up to it both rules agree.
constexpr std::uint64_t kHighestStartSector = INT32_MAX;

const std::vector<CliOptionRule> kGlobalRules = {
    {kImageOption, true},  {kStartOption, true},     {kCameraOption, true},   {kJsonOption, false},
    {kHelpOption, false},  {kShortHelpOption, false}, {kVersionOption, false},
};

// Options every command takes besides its own.
const std::vector<CliOptionRule> kEveryCommandRules = {
    {kJsonOption, false},
    {kHelpOption, false},
    {kShortHelpOption, false},
};

// "-" alone names standard output and is an argument.
bool IsOptionWord(const std::string& word) { return word.size() > 1 && word[0] == '-'; }

bool IsHelpOption(const std::string& name) { return name == kHelpOption || name == kShortHelpOption; }

const CliOptionRule* FindRule(const std::vector<CliOptionRule>& rules, const std::string& name) {
    for (const CliOptionRule& rule : rules)
        if (name == rule.name) return &rule;
    return nullptr;
}

// Settles the command line as a usage error; false, for the caller to stop.
bool UsageError(CliCommandLine& line, const std::string& message) {
    line.request = CliRequest::UsageError;
    line.usage_error = message;
    return false;
}

// Reads option words one at a time, taking a separate value word when the
// option needs one and was not given "=VALUE".
class OptionReader {
public:
    OptionReader(const std::vector<std::string>& words, CliCommandLine& line) : words_(words), line_(line) {}

    bool AtEnd() const { return next_ >= words_.size(); }
    const std::string& Peek() const { return words_[next_]; }
    std::string Take() { return words_[next_++]; }

    // Reads the option at the current word against the rules; false with the
    // usage error set when it is unknown or its value is wrong or missing.
    bool ReadOption(const std::vector<CliOptionRule>& rules, CliOptionValue* option) {
        const std::string word = Take();
        const std::size_t separator =
            word.starts_with(kLongOptionPrefix) ? word.find(kValueSeparator) : std::string::npos;
        const bool inline_value = separator != std::string::npos;
        option->name = word.substr(0, separator);
        const CliOptionRule* rule = FindRule(rules, option->name);
        if (!rule) return Fail("unknown option " + option->name);
        if (!rule->takes_value) {
            if (inline_value) return Fail("option " + option->name + " takes no value");
            option->value.clear();
            return true;
        }
        if (inline_value) {
            option->value = word.substr(separator + 1);
            return true;
        }
        if (AtEnd()) return Fail("option " + option->name + " needs a value");
        option->value = Take();
        return true;
    }

    bool Fail(const std::string& message) { return UsageError(line_, message); }

private:
    const std::vector<std::string>& words_;
    CliCommandLine& line_;
    std::size_t next_ = 0;
};

// Applies one global option; false when it settles the request (help,
// version) or is a usage error.
bool ApplyGlobalOption(const CliOptionValue& option, CliCommandLine& line) {
    if (IsHelpOption(option.name)) {
        line.request = CliRequest::ShowHelp;
        return false;
    }
    if (option.name == kVersionOption) {
        line.request = CliRequest::ShowVersion;
        return false;
    }
    if (option.name == kJsonOption) {
        line.options.json = true;
    } else if (option.name == kImageOption) {
        line.options.image = option.value;
    } else if (option.name == kCameraOption) {
        line.options.camera = option.value;
    } else if (option.name == kStartOption) {
        if (!ParseCliNumber(option.value, kHighestStartSector))
            return UsageError(line, std::string(kStartOption) + " needs a sector number from 0 to " +
                                        HexNumberText(kHighestStartSector) +
                                        " (decimal, or hexadecimal after 0x), not \"" + option.value + "\"");
        line.options.start = option.value;
        line.options.start_given = true;
    }
    return true;
}

// Global options up to the first word that is not one; false when the
// request is settled before any command.
bool ReadGlobalOptions(OptionReader& reader, CliCommandLine& line) {
    while (!reader.AtEnd() && IsOptionWord(reader.Peek())) {
        if (reader.Peek() == kEndOfOptions) {
            reader.Take();
            return true;
        }
        CliOptionValue option;
        if (!reader.ReadOption(kGlobalRules, &option) || !ApplyGlobalOption(option, line)) return false;
    }
    return true;
}

// The command's options and arguments, in any order up to "--"; false when
// the request is settled (its usage asked for, or a usage error).
bool ReadCommandWords(OptionReader& reader, const std::vector<CliOptionRule>& own_rules, CliCommandLine& line) {
    std::vector<CliOptionRule> rules = kEveryCommandRules;
    rules.insert(rules.end(), own_rules.begin(), own_rules.end());
    while (!reader.AtEnd()) {
        if (!IsOptionWord(reader.Peek())) {
            line.args.push_back(reader.Take());
            continue;
        }
        if (reader.Peek() == kEndOfOptions) {
            reader.Take();
            while (!reader.AtEnd()) line.args.push_back(reader.Take());
            return true;
        }
        CliOptionValue option;
        if (!reader.ReadOption(rules, &option)) return false;
        if (IsHelpOption(option.name)) {
            line.request = CliRequest::ShowCommandHelp;
            return false;
        }
        if (option.name == kJsonOption)
            line.options.json = true;
        else
            line.command_options.push_back(option);
    }
    return true;
}

// "help" alone is the tool's usage, "help COMMAND" the command's.
void ResolveHelpCommand(const CliOptionRulesOf& rules_of, CliCommandLine& line) {
    line.request = CliRequest::ShowHelp;
    if (line.args.empty()) return;
    if (line.args.size() > 1) {
        UsageError(line, "help takes one COMMAND");
        return;
    }
    if (!rules_of(line.args.front())) {
        UsageError(line, "unknown command " + line.args.front());
        return;
    }
    line.request = CliRequest::ShowCommandHelp;
    line.command = line.args.front();
    line.args.clear();
}

}  // namespace

bool HasCliOption(const std::vector<CliOptionValue>& given, std::string_view name) {
    for (const CliOptionValue& option : given)
        if (option.name == name) return true;
    return false;
}

CliCommandLine ParseCliCommandLine(const std::vector<std::string>& words, const CliOptionRulesOf& rules_of) {
    CliCommandLine line;
    OptionReader reader(words, line);
    if (!ReadGlobalOptions(reader, line)) return line;
    // With both, a command would work on one disk while the user meant the other.
    if (!line.options.image.empty() && !line.options.camera.empty()) {
        UsageError(line, std::string(kImageOption) + " and " + kCameraOption +
                             " name two different disks; give only one of them");
        return line;
    }
    if (reader.AtEnd()) {
        UsageError(line, "no command given");
        line.missing_command = true;
        return line;
    }
    line.command = reader.Take();
    if (line.command == kHelpCommand) {
        ReadCommandWords(reader, {}, line);
        if (line.request != CliRequest::UsageError) ResolveHelpCommand(rules_of, line);
        return line;
    }
    const std::vector<CliOptionRule>* own_rules = rules_of(line.command);
    if (!own_rules) {
        UsageError(line, "unknown command " + line.command);
        return line;
    }
    ReadCommandWords(reader, *own_rules, line);
    return line;
}
