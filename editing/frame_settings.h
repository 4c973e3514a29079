// The main frame's switches that live while the program runs and are not stored: how editors
// delete (remove the selection, or only make it silent), how times are written ("Use floating
// point times": decimal beats, otherwise beats and units around a colon), and whether the tempo
// events of the files reach the clock ("Send File Tempo Changes").
//
// One object belongs to the main frame; the play panel changes it, every editor reads it and may
// listen for changes. Used on the user-interface thread only.
#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace editing {

// How a time in beats is written and read (editing/time_text.h).
enum class TimeStyle {
    kColon,   // whole beats, ":" and the remaining units: 2:500
    kDecimal, // whole beats, "." and the fraction of a beat to three digits: 2.500
};

class FrameSettings {
public:
    // The prompt of the delete-mode command.
    static constexpr const char* kDeleteModePrompt =
        "Select to delete selection, or just make it silent.";
    static constexpr int kIdDeleteMode = 32795;

    // False: deleting removes the selection; true: it makes the selection silent.
    bool DeleteMakesSilent() const { return deleteMakesSilent_; }
    void SetDeleteMakesSilent(bool on);
    void ToggleDeleteMode() { SetDeleteMakesSilent(!deleteMakesSilent_); }

    // "Use floating point times" (on unless set): the decimal style; off: the colon style.
    bool FloatingPointTimes() const { return floatingTimes_; }
    void SetFloatingPointTimes(bool on);
    TimeStyle Times() const { return floatingTimes_ ? TimeStyle::kDecimal : TimeStyle::kColon; }

    // "Send File Tempo Changes" (on unless set).
    bool SendFileTempoChanges() const { return sendFileTempo_; }
    void SetSendFileTempoChanges(bool on);

    // Called after every change; returns an id for RemoveListener.
    int AddListener(std::function<void()> listener);
    void RemoveListener(int id);

private:
    void Changed();

    bool deleteMakesSilent_ = false;
    bool floatingTimes_ = true;
    bool sendFileTempo_ = true;
    std::vector<std::pair<int, std::function<void()>>> listeners_;
    int nextId_ = 1;
};

} // namespace editing
