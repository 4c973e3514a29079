#include "editing/frame_settings.h"

#include "platform/thread_check.h"

namespace editing {

void FrameSettings::SetDeleteMakesSilent(bool on) {
    if (on == deleteMakesSilent_) return;
    deleteMakesSilent_ = on;
    Changed();
}

void FrameSettings::SetFloatingPointTimes(bool on) {
    if (on == floatingTimes_) return;
    floatingTimes_ = on;
    Changed();
}

void FrameSettings::SetSendFileTempoChanges(bool on) {
    if (on == sendFileTempo_) return;
    sendFileTempo_ = on;
    Changed();
}

int FrameSettings::AddListener(std::function<void()> listener) {
    DENDRA_UI_THREAD();
    const int id = nextId_++;
    listeners_.emplace_back(id, std::move(listener));
    return id;
}

void FrameSettings::RemoveListener(int id) {
    std::erase_if(listeners_, [id](const auto& l) { return l.first == id; });
}

void FrameSettings::Changed() {
    DENDRA_UI_THREAD();
    const auto listeners = listeners_;
    for (const auto& l : listeners)
        if (l.second) l.second();
}

} // namespace editing
