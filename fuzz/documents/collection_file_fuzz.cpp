// Reads arbitrary bytes as a collection file; a collection that reads must write bytes that
// read again to the same bytes, with unique paths.
#include "documents/collection.h"
#include "events/archive.h"
#include "platform/user_messages.h"

#include <cstdint>
#include <cstdlib>
#include <set>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static platform::RecordingMessages quiet;
    platform::SetMessages(&quiet);
    CFileListDoc doc;
    if (!doc.LoadFromMemory(data, size)) {
        quiet.Clear();
        return 0;
    }
    std::set<std::string> unique;
    for (size_t i = 0; i < doc.Paths().Count(); ++i)
        if (!unique.insert(doc.Paths().Path(i)).second) std::abort();
    CArchive out;
    doc.WriteDocument(out);
    CFileListDoc again;
    if (!again.LoadFromMemory(out.Buffer().data(), out.Buffer().size())) std::abort();
    CArchive out2;
    again.WriteDocument(out2);
    if (out2.Buffer() != out.Buffer()) std::abort();
    quiet.Clear();
    return 0;
}
