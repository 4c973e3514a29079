// JSON output of dendra-cli: every command builds its answer as a TextJson value (the text form
// of documents/text_form.h, on nlohmann-json) and prints it on one line.
#pragma once

#include "documents/text_form.h"

#include <cstdio>

namespace cli {

// Prints the value on one line of standard output.
inline void PrintJson(const TextJson& value) {
    const std::string text = textform::Compact(value);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

} // namespace cli
