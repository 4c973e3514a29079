// Sound files on the command line: `dump` of .wav, .aif, .aiff, .au, .snd and .tmp files (with
// `--samples`, every sample), and `convert`.
#include "cli/commands.h"
#include "cli/json.h"

#include "documents/wave_document.h"
#include "formats/sample_format.h"
#include "platform/byte_cursor.h"
#include "platform/temp_names.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace cli {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int MatchSound(const std::string& ext, const std::vector<uint8_t>& head) {
    auto at = [&](size_t off, const char* four) {
        return head.size() >= off + 4 && std::memcmp(head.data() + off, four, 4) == 0;
    };
    if (at(0, ".snd") || (at(0, "RIFF") && at(8, "WAVE")) ||
        (at(0, "FORM") && (at(8, "AIFF") || at(8, "AIFC"))))
        return 2;
    for (const char* e : {".wav", ".aif", ".aiff", ".au", ".snd", ".tmp"})
        if (ext == e) return 1;
    return 0;
}

// Opens path as the wave document does; false with the reason reported.
bool OpenSound(const std::string& path, CWaveDoc& doc) {
    if (!CheckReadable(path)) return false;
    if (!doc.OnOpenDocument(path)) {
        InputError(path, "not a sound file dendra-cli can read");
        return false;
    }
    return true;
}

const char* HeldContainer(const CWaveDoc& doc) {
    const sound::WaveData* d = doc.Data();
    const std::string lower = Lower(doc.GetPathName());
    if (lower.find(".wav") != std::string::npos) return "wave";
    return sound::ContainerName(d->SourceContainer());
}

int PrintSound(const std::string& path, bool samples) {
    CWaveDoc doc;
    if (!OpenSound(path, doc)) return kExitInput;
    const WAVEFORMATEX& f = doc.Wave()->info.format;
    const sound::WaveData* d = doc.Data();
    JsonWriter json;
    json.BeginObject();
    json.Key("kind").String("sound");
    json.Key("container").String(HeldContainer(doc));
    json.Key("formatTag").UInt(f.wFormatTag);
    json.Key("encoding").String(f.wBitsPerSample == 8 ? "pcm-u8" : "pcm-s16le");
    json.Key("channels").UInt(f.nChannels);
    json.Key("sampleRate").UInt(f.nSamplesPerSec);
    json.Key("bitsPerSample").UInt(f.wBitsPerSample);
    json.Key("blockAlign").UInt(f.nBlockAlign);
    json.Key("frames").UInt(doc.FrameCount());
    json.Key("sourceEncoding").String(sound::EncodingName(d->SourceEncoding()));
    std::string text = json.Text();
    if (samples) {
        text += ",\"samples\":[";
        std::vector<uint8_t> buf(65536);
        const uint32_t length = d->DataLength();
        bool first = true;
        char num[16];
        for (uint32_t at = 0; at < length;) {
            const uint32_t got = d->ReadAt(at, buf.data(), std::min<uint32_t>(length - at, 65536));
            if (got == 0) break;
            if (f.wBitsPerSample == 8) {
                for (uint32_t i = 0; i < got; ++i) {
                    const int n = std::snprintf(num, sizeof num, first ? "%u" : ",%u", buf[i]);
                    text.append(num, static_cast<size_t>(n));
                    first = false;
                }
            } else {
                for (uint32_t i = 0; i + 1 < got; i += 2) {
                    const int s = static_cast<int16_t>(platform::LoadLe16(&buf[i]));
                    const int n = std::snprintf(num, sizeof num, first ? "%d" : ",%d", s);
                    text.append(num, static_cast<size_t>(n));
                    first = false;
                }
            }
            at += got;
        }
        text += "]";
    }
    text += "}";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    return kExitOk;
}

int DumpSound(const std::string& path) {
    return PrintSound(path, DumpOption("--samples"));
}

int RunConvert(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"convert", "IN OUT.wav [--compress] [--format FLAG] [--rate HZ]",
     "convert a sound file to a WAVE file",
     "Opens IN as a wave document, applies the changes and saves OUT.wav.\n\n"
     "  --compress     save as IMA ADPCM (format tag 17)\n"
     "  --format FLAG  convert to one of the twelve standard formats (flag 1 to 2048)\n"
     "  --rate HZ      convert to HZ samples per second (the length in seconds is kept)\n",
     RunConvert},
};

const Dumper kDumpers[] = {
    {"sound (.wav .aif .aiff .au .snd .tmp)", MatchSound, DumpSound},
};

int RunConvert(const std::vector<std::string>& args) {
    const Command& self = kCommands[0];
    if (WantsHelp(args)) {
        PrintCommandHelp(self);
        return kExitOk;
    }
    std::vector<std::string> files;
    bool compress = false;
    uint32_t flag = 0, rate = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--compress") {
            compress = true;
        } else if (a == "--format" || a == "--rate") {
            uint32_t v = 0;
            if (i + 1 >= args.size() || !ParseU32(args[i + 1], v))
                return UsageError(self, a + " needs a number");
            ++i;
            if (a == "--format") {
                if (sound::FlagIndex(v) < 0)
                    return UsageError(self, "--format takes a flag of 1, 2, 4, ... 2048");
                flag = v;
            } else {
                if (v < 100 || v > 1000000) return UsageError(self, "--rate takes 100 to 1000000");
                rate = v;
            }
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self, "unknown option " + a);
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) return UsageError(self, "expects IN and OUT.wav");
    CWaveDoc doc;
    if (!OpenSound(files[0], doc)) return kExitInput;
    // Changes need a store open for writing: work on a temporary copy, as answering Yes does.
    if ((flag || rate) && !doc.Data()->IsWritable() && !doc.MakeTempCopy())
        return InputError(files[0], "cannot make a temporary copy");
    if (flag && !doc.ChangeFormat(flag)) return kExitInput;
    if (rate) {
        WAVEFORMATEX f = doc.Wave()->info.format;
        f = sound::MakePcmFormat(rate, f.nChannels, f.wBitsPerSample);
        if (!doc.ConvertTo(f)) return kExitInput;
    }
    CWaveDoc::SetCompressWaves(compress);
    if (!doc.OnSaveDocument(files[1])) return InputError(files[1], "could not be written");
    return kExitOk;
}

} // namespace

extern const CommandGroup kSoundCommands = {"sound", kCommands, kDumpers};

} // namespace cli
