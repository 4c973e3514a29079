// Reads arbitrary bytes as an event-list file; a file that reads must write back to bytes that
// read again to the same bytes.
#include "documents/event_list_document.h"
#include "events/archive.h"
#include "platform/user_messages.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static platform::RecordingMessages quiet;
    platform::SetMessages(&quiet);
    CSELDoc doc;
    if (!doc.LoadFromMemory(data, size)) return 0;
    if (doc.UnitsPerBeat() == 0) std::abort();
    CArchive out;
    doc.WriteDocument(out);
    CSELDoc again;
    if (!again.LoadFromMemory(out.Buffer().data(), out.Buffer().size())) std::abort();
    CArchive out2;
    again.WriteDocument(out2);
    if (out2.Buffer() != out.Buffer()) std::abort();
    doc.SetUnitsPerBeat(7);
    quiet.Clear();
    return 0;
}
