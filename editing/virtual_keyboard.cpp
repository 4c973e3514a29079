#include "editing/virtual_keyboard.h"

#include "events/song_event.h"
#include "song/entry_settings.h"
#include "song/play_engine.h"

#include <algorithm>
#include <cctype>

namespace editing {

namespace {

// The black keys' row: the key under each 7-pixel step.
constexpr int kUpperKeys[32] = {51, 52, 52, 53, 53, 54, 54, 55, 56, 56, 57, 58, 58, 59, 59, 60,
                                60, 61, 61, 62, 63, 63, 64, 64, 65, 65, 66, 66, 67, 68, 68, 69};

int Upper(int key) {
    return key >= 0 && key < 128 ? std::toupper(key) : key;
}

} // namespace

VirtualKeyboard::VirtualKeyboard(CPlayEngine* engine) : engine_(engine) {
    keyNote_.fill(-1);
}

void VirtualKeyboard::Changed() {
    if (listener_) listener_();
}

void VirtualKeyboard::SetOctave(int octave) {
    octave_ = std::clamp(octave, kMinOctave, kMaxOctave);
    Changed();
}

void VirtualKeyboard::SetVelocity(int velocity) {
    velocity_ = std::clamp(velocity, 1, 127);
    Changed();
}

void VirtualKeyboard::SetSend(bool on) {
    send_ = on;
    Changed();
}

void VirtualKeyboard::SetDialogBaseUnitWidth(int width) {
    leftEdge_ = width == 8 ? kLeftEdgeNarrow : kLeftEdge;
    Changed();
}

int VirtualKeyboard::KeyNumberOfKey(int key) {
    switch (Upper(key)) {
    case 'A':
        return 52;
    case 'S':
        return 53;
    case 'D':
        return 55;
    case 'F':
        return 57;
    case 'G':
        return 59;
    case 'H':
        return 60;
    case 'J':
        return 62;
    case 'K':
        return 64;
    case 'L':
        return 65;
    case ';':
        return 67;
    case '\'':
        return 69;
    case 'Q':
        return 51;
    case 'E':
        return 54;
    case 'R':
        return 56;
    case 'T':
        return 58;
    case 'U':
        return 61;
    case 'I':
        return 63;
    case 'P':
        return 66;
    case '[':
        return 68;
    case ']':
        return 70;
    default:
        return -1;
    }
}

void VirtualKeyboard::Play(const MidiEvent& message) {
    ++played_;
    if (!engine_) return;
    // Live input has a place in the song only while it plays.
    if (engine_->IsPlaying()) engine_->LiveInput(message);
    if (send_) {
        EventMidi event(kSendNow, message.status, message.data1, message.data2);
        engine_->SendMidi(uint32_t(kDeviceDefault), event);
    }
}

void VirtualKeyboard::Note(int number, bool on) {
    if (number < 0 || number > 127) return;
    MidiEvent m;
    m.status = on ? 0x90 : 0x80;
    m.data1 = uint8_t(number);
    m.data2 = on ? uint8_t(velocity_) : 0;
    Play(m);
}

bool VirtualKeyboard::KeyDown(int key, bool autoRepeat) {
    const int number = KeyNumberOfKey(key);
    if (number < 0 || autoRepeat) return false;
    int& sounding = keyNote_[size_t(Upper(key))];
    if (sounding >= 0) return false; // still down: the repeat of a key
    sounding = number + octave_ * 12;
    Note(sounding, true);
    Changed();
    return true;
}

bool VirtualKeyboard::KeyUp(int key) {
    if (KeyNumberOfKey(key) < 0) return false;
    int& sounding = keyNote_[size_t(Upper(key))];
    if (sounding < 0) return false;
    Note(sounding, false);
    sounding = -1;
    Changed();
    return true;
}

int VirtualKeyboard::KeyAt(int x, int y) const {
    const int d = x - leftEdge_;
    if (d < 0 || d > kWidth) return -1;
    if (y > kUpperHeight) {
        const int w = d / 21;
        return 52 + 2 * w - (w > 0) - (w > 4) - (w > 7);
    }
    return kUpperKeys[std::min(d / 7, 31)];
}

void VirtualKeyboard::MouseDown(int x, int y) {
    mouseDown_ = true;
    const int key = KeyAt(x, y);
    if (key < 0) {
        Changed();
        return;
    }
    if (mouseKey_) Note(*mouseKey_, false);
    mouseKey_ = key + octave_ * 12;
    Note(*mouseKey_, true);
    Changed();
}

void VirtualKeyboard::MouseMove(int x, int y) {
    if (!mouseDown_) return;
    const int key = KeyAt(x, y);
    const std::optional<int> now = key < 0 ? std::nullopt : std::optional<int>(key + octave_ * 12);
    if (now == mouseKey_) return;
    if (mouseKey_) Note(*mouseKey_, false);
    mouseKey_ = now;
    if (mouseKey_) Note(*mouseKey_, true);
    Changed();
}

void VirtualKeyboard::MouseUp(int, int) {
    mouseDown_ = false;
    if (mouseKey_) Note(*mouseKey_, false);
    mouseKey_.reset();
    Changed();
}

uint16_t VirtualKeyboard::BendValue(int position) {
    position = std::clamp(position, 0, kWheelMax);
    return uint16_t(std::min(kWheelMax - position, 16383));
}

void VirtualKeyboard::SetWheel(int position) {
    wheel_ = std::clamp(position, 0, kWheelMax);
    const uint16_t v = BendValue(wheel_);
    MidiEvent m;
    m.status = 0xE0;
    m.data1 = uint8_t(v % 128);
    m.data2 = uint8_t(v / 128);
    Play(m);
    Changed();
}

} // namespace editing
