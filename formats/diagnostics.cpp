#include "formats/diagnostics.h"

#include <atomic>
#include <cstdio>

namespace sound {
namespace {
std::atomic<DiagnosticSink> g_sink{nullptr};
}

void Diagnostic(const std::string& text) {
    DiagnosticSink sink = g_sink.load();
    if (sink) {
        sink(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

DiagnosticSink SetDiagnosticSink(DiagnosticSink sink) {
    return g_sink.exchange(sink);
}

void DiscardDiagnostic(const std::string&) {}

} // namespace sound
