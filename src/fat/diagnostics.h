// Where the engine's own lines go. The engine never prints: a program
// decides whether its lines land on standard output (as the desktop
// program and the plain tool have them), on standard error (next to JSON
// output) or in a log.
#pragma once

#include <string>

namespace fat {

enum class DiagnosticKind {
    kLog,     // the lines the engine has always printed ("FAT_FS: ...")
    kDamage,  // damage found on a volume, a warning for whoever reads errors
};

class Diagnostics {
public:
    virtual ~Diagnostics() = default;
    // `text` is the whole line as it is to appear, its line end included.
    virtual void Report(DiagnosticKind kind, const std::string& text) = 0;
};

// Log lines on standard output, damage on standard error.
Diagnostics& ConsoleDiagnostics();
// Everything on standard error: for programs whose standard output is data.
Diagnostics& ErrorStreamDiagnostics();
// Nothing anywhere.
Diagnostics& SilentDiagnostics();

}  // namespace fat
