// The document templates: which document class opens which file extensions.
//
// A new kind of document is one line in the table of doc_templates.cpp (or a call to
// RegisterDocTemplate at start-up).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CAmpDoc;

namespace app {

struct DocTemplate {
    int id;                 // the template's number (3 tree, 4 song, 5 MIDI, ...)
    uint32_t kind;          // the document kind flag it makes
    const char* typeString; // "\nDendra\nDendra\nDendras (*.dra)\n.dra\nQUAV.Dendra..."
    std::vector<std::string> extensions; // lower case with the dot, e.g. ".dra"
    std::unique_ptr<CAmpDoc> (*create)();
};

// The templates in registration order.
const std::vector<DocTemplate>& DocTemplates();
// Adds a template (start-up only); a later template never takes an extension an earlier one has.
void RegisterDocTemplate(DocTemplate t);

// The extension of a path's file name, lower case with its dot; "" when it has none.
std::string ExtensionOf(const std::string& path);
// The template for an extension (as ExtensionOf gives it), or null.
const DocTemplate* TemplateForExtension(const std::string& extension);
// The template for a file: a tree's or song's text form by its content (whatever its name),
// otherwise by its extension; null when neither tells (with *textError set when the file is a
// text form with a syntax error before its kind: "line L, column C: ...").
const DocTemplate* TemplateForFile(const std::string& path, std::string* textError = nullptr);
// The template for a document kind flag, or null.
const DocTemplate* TemplateForKind(uint32_t kind);

} // namespace app
