// Reads arbitrary bytes as a song file (referenced documents are never opened); a song that
// reads must write bytes that read again to the same bytes, and its merge must end.
#include "events/archive.h"
#include "platform/user_messages.h"
#include "song/song_document.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static platform::RecordingMessages quiet;
    static bool setUp = [] {
        platform::SetMessages(&quiet);
        CSongDoc::SetDocumentOpener([](const std::string&) { return nullptr; });
        return true;
    }();
    (void)setUp;
    CSongDoc song;
    if (!song.LoadFromMemory(data, size)) {
        quiet.Clear();
        return 0;
    }
    if (song.EntryCount() > kMaxSongEntries) std::abort();
    CArchive out;
    song.WriteDocument(out);
    CSongDoc again;
    if (!again.LoadFromMemory(out.Buffer().data(), out.Buffer().size())) std::abort();
    CArchive out2;
    again.WriteDocument(out2);
    if (out2.Buffer() != out.Buffer()) std::abort();
    // The merge of whatever was read runs (a looping entry repeats for ever: a bounded walk).
    song.Prepare();
    int device = 0;
    for (int i = 0; i < 20000; ++i)
        if (CSongDoc::IsEndMarker(song.GetNextEvent(device))) break;
    song.GetLength(1);
    quiet.Clear();
    return 0;
}
