#include "documents/node_wave_access.h"

#include "formats/wave_data.h"
#include "nodes/wave_access.h"
#include "platform/temp_names.h"

#include <memory>

namespace {

class NodeWaveAccess : public WaveAccess {
public:
    WaveSound* CreateTemporary(WaveInfo& info, const WAVEFORMATEX& format, std::string& path,
                               std::string* error) override {
        path = platform::GetTempName(true);
        if (path.empty()) {
            if (error) *error = "no temporary file can be created";
            return nullptr;
        }
        auto data = std::make_unique<sound::WaveData>();
        info.format = format;
        info.bytesPerSample = format.wBitsPerSample / 8;
        if (formats::Result r = data->CreateTempAu(info, path); !r) {
            if (error) *error = r.Message();
            return nullptr;
        }
        return data.release();
    }

    bool SetLength(WaveSound& sound, WaveInfo&, uint32_t bytes) override {
        // Every sound this access makes is a WaveData.
        return static_cast<sound::WaveData&>(sound).SetLength(bytes, true);
    }

    WaveSound* OpenForReading(WaveInfo& info, const std::string& path,
                              std::string* error) override {
        auto data = std::make_unique<sound::WaveData>();
        if (formats::Result r = data->OpenSoundFile(info, path); !r) {
            if (error) *error = r.Message().empty() ? "not a sound file it can read" : r.Message();
            return nullptr;
        }
        return data.release();
    }

    bool SaveAsWave(WaveSound& sound, WaveInfo& info, const std::string& path,
                    std::string* error) override {
        formats::Result r = static_cast<sound::WaveData&>(sound).SaveAsWave(info, path, false);
        if (!r && error) *error = r.Message();
        return r.Ok();
    }
};

} // namespace

void InstallNodeWaveAccess() {
    static NodeWaveAccess access;
    SetWaveAccess(&access);
}
