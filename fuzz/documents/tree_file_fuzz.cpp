// Tree files from arbitrary bytes: a read either fails with a message and leaves the document
// as it was, or gives a document that stores and reads back to the same bytes.
#include "documents/tree_document.h"
#include "events/archive.h"
#include "platform/user_messages.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::ScopedRecordingMessages quiet;
    CDendraDoc doc;
    doc.SetSolveOnRead(false);
    doc.SetComments("before");
    if (!doc.LoadFromMemory(data, size)) {
        if (quiet.Shown().empty() || doc.GetComments() != "before") std::abort();
        return 0;
    }
    CArchive first;
    doc.WriteDocument(first);
    CDendraDoc again;
    again.SetSolveOnRead(false);
    CArchive in(first.Buffer());
    if (!again.ReadDocument(in)) std::abort();
    CArchive second;
    again.WriteDocument(second);
    if (second.Buffer() != first.Buffer()) std::abort();
    // Solve short trees too, as reading a file without a stored solution does.
    if (doc.GetRoot().duration <= 20000 && doc.GetRoot().start <= 20000) doc.Solver().SolveAtOnce();
    return 0;
}
