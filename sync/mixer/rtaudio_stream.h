// Starting, stopping and closing an RtAudio stream without letting its exceptions escape; shared
// by the output and the capture backends. Ordinary threads only.
#pragma once

#include <rtaudio/RtAudio.h>

#include <exception>
#include <memory>
#include <string>

namespace dsync::mixer {

inline bool StartRtStream(RtAudio& audio, std::string* error) {
    try {
        if (!audio.isStreamRunning()) audio.startStream();
        return true;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return false;
    }
}

inline void StopRtStream(RtAudio& audio) {
    try {
        if (audio.isStreamRunning()) audio.stopStream();
    } catch (const std::exception&) {
    }
}

// Stops and closes the stream, then releases the RtAudio object.
inline void CloseRtStream(std::unique_ptr<RtAudio>& audio) {
    if (!audio) return;
    StopRtStream(*audio);
    try {
        if (audio->isStreamOpen()) audio->closeStream();
    } catch (const std::exception&) {
    }
    audio.reset();
}

} // namespace dsync::mixer
