#include "fat/diagnostics.h"

#include <cstdio>

namespace fat {
namespace {

void WriteLine(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

class ConsoleSink : public Diagnostics {
public:
    void Report(DiagnosticKind kind, const std::string& text) override {
        WriteLine(kind == DiagnosticKind::kLog ? stdout : stderr, text);
    }
};

class ErrorStreamSink : public Diagnostics {
public:
    void Report(DiagnosticKind, const std::string& text) override { WriteLine(stderr, text); }
};

class SilentSink : public Diagnostics {
public:
    void Report(DiagnosticKind, const std::string&) override {}
};

}  // namespace

Diagnostics& ConsoleDiagnostics() {
    static ConsoleSink sink;
    return sink;
}

Diagnostics& ErrorStreamDiagnostics() {
    static ErrorStreamSink sink;
    return sink;
}

Diagnostics& SilentDiagnostics() {
    static SilentSink sink;
    return sink;
}

}  // namespace fat
