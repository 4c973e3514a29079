// Reads a stored event store from arbitrary bytes, then walks, balances and stores it again.
#include "events/archive.h"
#include "events/event_tree.h"
#include "platform/user_messages.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::ScopedRecordingMessages messages;
    CArchive in(data, size);
    CEventTree tree;
    tree.Serialize(in);
    if (in.Failed()) {
        if (tree.GetCount() != 0) std::abort(); // a failed read keeps the (empty) store as it was
        return 0;
    }
    // Time order must hold whatever the file said.
    uint32_t last = 0;
    int32_t seen = 0;
    for (SongEvent* e = tree.First(); e; e = tree.Next(), ++seen) {
        if (tree.CurrentTime() < last) std::abort();
        last = tree.CurrentTime();
    }
    if (seen != tree.GetCount() || !tree.CheckStructure()) std::abort();
    tree.Seek(last / 2);
    tree.StepBack();
    tree.OpenGap(100, last / 3);
    tree.CloseGap(50, last / 4);
    if (!tree.CheckStructure()) std::abort();
    tree.Balance();
    if (!tree.CheckStructure()) std::abort();
    tree.PairNoteOffs();
    if (!tree.CheckStructure()) std::abort();
    tree.GetLength(1);
    CArchive out;
    tree.Serialize(out);
    CArchive again(out.Buffer());
    CEventTree copy;
    copy.Serialize(again);
    if (again.Failed() || copy.GetCount() != tree.GetCount() || !copy.CheckStructure())
        std::abort();
    return 0;
}
