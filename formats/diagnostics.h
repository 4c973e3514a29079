// The sound-file readers and decoders report what they see and what they reject as plain text
// lines on the standard error stream. Tests and fuzzers may divert them.
#pragma once

#include <string>

namespace sound {

using DiagnosticSink = void (*)(const std::string& text);

// Writes text (as given, newline included when it has one) to the current sink.
void Diagnostic(const std::string& text);
// Installs a sink; null restores standard error. Returns the previous sink (null for stderr).
DiagnosticSink SetDiagnosticSink(DiagnosticSink sink);
// A sink that drops everything (fuzzers).
void DiscardDiagnostic(const std::string& text);

} // namespace sound
