#include "ini.h"

#include <cctype>
#include <cstring>
#include <string>

namespace {

// The sizes of the library's fixed buffers, so that long lines and names are
// cut where they would be cut on Linux.
constexpr int kIniMaxLine = 200;
constexpr std::size_t kIniMaxName = 50;
constexpr char kCommentStarts[] = ";#";
constexpr char kInlineCommentStarts[] = ";";
constexpr char kUtf8ByteOrderMark[] = "\xEF\xBB\xBF";

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

char* SkipLeadingSpace(char* text) {
    while (*text && IsSpace(*text)) ++text;
    return text;
}

char* CutTrailingSpace(char* text) {
    char* end = text + std::strlen(text);
    while (end > text && IsSpace(end[-1])) *--end = '\0';
    return text;
}

// The first of stop (when given) or of an inline comment, else the end.
char* FindStopOrComment(char* text, const char* stop) {
    bool after_space = false;
    while (*text && !(stop && std::strchr(stop, *text)) &&
           !(after_space && std::strchr(kInlineCommentStarts, *text))) {
        after_space = IsSpace(*text);
        ++text;
    }
    return text;
}

std::string CutName(const char* name) { return std::string(name).substr(0, kIniMaxName - 1); }

struct ParseState {
    ini_handler handler;
    void* user;
    std::string section;
    std::string previous_name;
    int first_error = 0;
};

void NoteError(ParseState& state, int line_number) {
    if (state.first_error == 0) state.first_error = line_number;
}

void ParsePair(ParseState& state, char* start, int line_number) {
    char* end = FindStopOrComment(start, "=:");
    if (*end != '=' && *end != ':') return NoteError(state, line_number);
    *end = '\0';
    const std::string name = CutName(CutTrailingSpace(start));
    char* value = end + 1;
    char* comment = FindStopOrComment(value, nullptr);
    *comment = '\0';
    value = CutTrailingSpace(SkipLeadingSpace(value));
    state.previous_name = name;
    if (!state.handler(state.user, state.section.c_str(), name.c_str(), value)) NoteError(state, line_number);
}

void ParseLine(ParseState& state, char* line, int line_number) {
    if (line_number == 1 && std::strncmp(line, kUtf8ByteOrderMark, std::strlen(kUtf8ByteOrderMark)) == 0)
        line += std::strlen(kUtf8ByteOrderMark);
    char* start = SkipLeadingSpace(CutTrailingSpace(line));
    if (std::strchr(kCommentStarts, *start) && *start) return;
    // An indented line under a pair goes on with that pair's value.
    if (!state.previous_name.empty() && *start && start > line) {
        char* comment = FindStopOrComment(start, nullptr);
        *comment = '\0';
        CutTrailingSpace(start);
        if (!state.handler(state.user, state.section.c_str(), state.previous_name.c_str(), start))
            NoteError(state, line_number);
        return;
    }
    if (*start == '[') {
        char* end = FindStopOrComment(start + 1, "]");
        if (*end != ']') return NoteError(state, line_number);
        *end = '\0';
        state.section = CutName(start + 1);
        state.previous_name.clear();
        return;
    }
    if (*start) ParsePair(state, start, line_number);
}

}  // namespace

int ini_parse_stream(ini_reader reader, void* stream, ini_handler handler, void* user) {
    ParseState state{handler, user, {}, {}};
    char line[kIniMaxLine];
    int line_number = 0;
    while (reader(line, kIniMaxLine, stream) != nullptr) ParseLine(state, line, ++line_number);
    return state.first_error;
}
