// The WAVE file layer through the sound object: open (decoding compressed data into a
// temporary file), read everything, seek, change the format and save it again.
#include "events/song_event.h"
#include "formats/wave_data.h"
#include "platform/user_messages.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
std::string Scratch(const char* name) {
    return "/tmp/dendra-fuzz-wave-" + std::to_string(::getpid()) + "-" + name;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static platform::RecordingMessages quiet;
    platform::SetMessages(&quiet);
    quiet.Clear();
    const std::string in = Scratch("in.wav"), temp = Scratch("conv.wav"), out = Scratch("out.wav");
    if (std::FILE* f = std::fopen(in.c_str(), "wb")) {
        if (size) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    {
        sound::WaveData d;
        WaveInfo info;
        formats::Notes notes;
        const formats::Result opened = d.OpenWave(info, in, temp, &notes);
        // A failure the decoder found is its last note, word for word.
        if (opened.GetCode() == formats::Code::Malformed && !notes.empty() &&
            opened.Message().back() == '\n' && notes.back() != opened.Message())
            std::abort();
        if (opened) {
            const uint32_t length = d.DataLength();
            if (info.format.nChannels != 1 && info.format.nChannels != 2) std::abort();
            std::vector<uint8_t> buf(8192);
            uint32_t total = 0;
            for (uint32_t got; (got = d.Read(info, buf.data(), uint32_t(buf.size()))) > 0;)
                total += got;
            if (total != length) std::abort();
            if (length) d.SeekBytes(info, length / 2);
            if (length < 200000 && d.MakeMemory(info)) d.SaveAsWave(info, out, size % 2 == 0);
        }
    }
    std::remove(in.c_str());
    std::remove(temp.c_str());
    std::remove(out.c_str());
    return 0;
}
