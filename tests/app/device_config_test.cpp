#include "app/device_config.h"
#include "app/settings.h"
#include "events/song_event.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "sync/drivers/loopback/loopback.h"
#include "sync/drivers/synth/gm_synth.h"
#include "sync/midi_out.h"
#include "sync/sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <unistd.h>

namespace {

class DeviceConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        dsync::EnableLoopbackDevices(true);
        for (int i = 0; i < dsync::LoopbackMidiDriver::kPorts; ++i)
            dsync::Loopback().Output(i).Clear();
        path_ = std::filesystem::temp_directory_path() /
                ("dendra-devices-" + std::to_string(::getpid()) + ".conf");
        std::filesystem::remove(path_);
        settings_ = std::make_unique<app::CSettings>(path_.string());
        options_.window = recorder_.Handle();
        options_.timer = &timer_;
        options_.waveEnabled = false;
        haveSynth_ = !dsync::GmSynth::FindSoundFont("").empty();
    }
    void TearDown() override {
        config_.reset();
        std::filesystem::remove(path_);
        platform::Queue().Drain();
    }
    void Slot(const char* key, const std::string& value) {
        settings_->WriteProfileString(app::kSectionDevices, key, value);
    }
    app::CDeviceConfig& Open() {
        config_ = std::make_unique<app::CDeviceConfig>(*settings_);
        EXPECT_TRUE(config_->OpenDevices(options_));
        return *config_;
    }
    bool IsOpen(const std::string& name) const {
        return config_->IsDeviceOpen(config_->FindByName(name));
    }
    int OpenMidiOutputs() const { return int(config_->OpenMidiOuts().size()); }

    std::filesystem::path path_;
    std::unique_ptr<app::CSettings> settings_;
    platform::MessageRecorder recorder_;
    platform::ManualTimer timer_;
    app::DeviceOptions options_;
    std::unique_ptr<app::CDeviceConfig> config_;
    bool haveSynth_ = false;
};

TEST_F(DeviceConfigTest, FreshSettingsOpenTheBuiltInSynthAsTheDefaultOutput) {
    if (!haveSynth_) GTEST_SKIP() << "no General MIDI soundfont installed";
    auto& c = Open();
    ASSERT_NE(c.Clock(), nullptr);
    EXPECT_EQ(c.Clock()->GetTempo(), 1000000u);
    int synth = c.FindByName(dsync::GmSynth::kName);
    ASSERT_GE(synth, 0);
    EXPECT_EQ(c.Record(synth).DeviceNumber(), 0u);
    EXPECT_TRUE(c.IsDeviceOpen(synth));
    EXPECT_EQ(c.CurrentMidiOut(), synth);
    EXPECT_EQ(OpenMidiOutputs(), 1);
    EXPECT_NE(c.DefaultMidiOut(), nullptr);
    // MIDI input device 0 is opened when the slot is empty (the first input of the table).
    for (int i = 0; i < c.Count(); ++i) {
        if ((c.Record(i).flags & (kDeviceMidi | kDeviceOutput)) == kDeviceMidi &&
            c.Record(i).DeviceNumber() == 0) {
            EXPECT_EQ(c.CurrentMidiIn(), i);
        }
    }
    // Wave devices are off: none is listed or current.
    EXPECT_EQ(c.CurrentWaveOut(), -1);
    EXPECT_EQ(c.CurrentWaveIn(), -1);
}

TEST_F(DeviceConfigTest, NoneInTheFirstOutputSlotOpensNoOutputAtAll) {
    Slot("MIDI OUT 1", "NONE");
    Slot("MIDI OUT 2", "Loopback Out 1");
    Slot("MIDI IN 1", "NONE");
    auto& c = Open();
    EXPECT_EQ(OpenMidiOutputs(), 0);
    EXPECT_EQ(c.CurrentMidiOut(), -1);
    EXPECT_EQ(c.CurrentMidiIn(), -1);
    EXPECT_EQ(c.DefaultMidiOut(), nullptr);
}

TEST_F(DeviceConfigTest, UnknownFirstSlotFallsBackToDeviceZeroAndStops) {
    if (!haveSynth_) GTEST_SKIP() << "no General MIDI soundfont installed";
    Slot("MIDI OUT 1", "A device of another machine");
    Slot("MIDI OUT 2", "Loopback Out 1");
    Open();
    EXPECT_TRUE(IsOpen(dsync::GmSynth::kName));
    EXPECT_FALSE(IsOpen("Loopback Out 1"));
    EXPECT_EQ(OpenMidiOutputs(), 1);
}

TEST_F(DeviceConfigTest, LaterSlotsSkipUnknownNamesAndTheLastOpenedIsCurrent) {
    Slot("MIDI OUT 1", "Loopback Out 0");
    Slot("MIDI OUT 2", "gone");
    Slot("MIDI OUT 3", "Loopback Out 2");
    Slot("MIDI OUT 4", "Loopback Out 0"); // already open: not opened twice
    Slot("MIDI IN 1", "Loopback In 3");
    auto& c = Open();
    EXPECT_TRUE(IsOpen("Loopback Out 0"));
    EXPECT_FALSE(IsOpen("Loopback Out 1"));
    EXPECT_TRUE(IsOpen("Loopback Out 2"));
    EXPECT_EQ(OpenMidiOutputs(), 2);
    EXPECT_EQ(c.CurrentMidiOut(), c.FindByName("Loopback Out 2"));
    EXPECT_EQ(c.CurrentMidiIn(), c.FindByName("Loopback In 3"));
    EXPECT_EQ(dsync::Loopback().Output(0).Opens(), 1);

    // A message for now reaches the driver of the device it was sent to.
    EventMidi e(0xFFFFFFFFu, 0x90, 60, 100);
    ASSERT_NE(c.MidiOutAt(uint32_t(c.FindByName("Loopback Out 0"))), nullptr);
    EXPECT_EQ(c.MidiOutAt(uint32_t(c.FindByName("Loopback Out 0")))->MidiOut(&e), 0u);
    auto sent = dsync::Loopback().Output(0).ShortMessages();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back() & 0xFFFFFF, 0x643C90u);
    EXPECT_EQ(dsync::Loopback().Output(2).ShortMessages().size(), 0u);
}

TEST_F(DeviceConfigTest, ClosingWritesTheOpenOutputsInDeviceOrderThenNone) {
    Slot("MIDI OUT 1", "Loopback Out 2");
    Slot("MIDI OUT 2", "Loopback Out 0");
    Slot("MIDI IN 1", "NONE");
    Slot("WAVE OUT 1", "Speakers"); // wave devices are off this session: the slot is kept
    auto& c = Open();
    ASSERT_EQ(OpenMidiOutputs(), 2);
    ASSERT_TRUE(c.OpenDevice("Loopback In 1"));
    c.CloseDevices();
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(OpenMidiOutputs(), 0);
    EXPECT_EQ(dsync::Loopback().Output(0).Closes(), dsync::Loopback().Output(0).Opens());

    app::CSettings stored(path_.string());
    ASSERT_TRUE(stored.Load());
    auto slot = [&](const char* key) {
        return stored.GetProfileString(app::kSectionDevices, key, "?");
    };
    EXPECT_EQ(slot("MIDI OUT 1"), "Loopback Out 0");
    EXPECT_EQ(slot("MIDI OUT 2"), "Loopback Out 2");
    EXPECT_EQ(slot("MIDI OUT 3"), "NONE");
    EXPECT_EQ(slot("MIDI OUT 4"), "NONE");
    EXPECT_EQ(slot("MIDI IN 1"), "Loopback In 1");
    EXPECT_EQ(slot("WAVE OUT 1"), "Speakers");
    EXPECT_EQ(slot("WAVE IN 1"), "?");
}

TEST_F(DeviceConfigTest, OpenAndCloseByNameKeepTheTableAndCurrentDevicesRight) {
    Slot("MIDI OUT 1", "Loopback Out 1");
    Slot("MIDI IN 1", "NONE");
    auto& c = Open();
    int changes = 0;
    c.SetChangeListener([&] { ++changes; });

    EXPECT_FALSE(c.OpenDevice("no such device"));
    EXPECT_TRUE(c.OpenDevice("Loopback Out 3"));
    EXPECT_EQ(c.CurrentMidiOut(), c.FindByName("Loopback Out 3"));
    EXPECT_TRUE(c.OpenDevice("Loopback Out 3")); // already open: nothing more is opened
    EXPECT_EQ(dsync::Loopback().Output(3).Opens(), 1);
    EXPECT_EQ(OpenMidiOutputs(), 2);

    auto lines = c.DeviceListLines();
    auto sep = std::find(lines.begin(), lines.end(), app::kClosedDevicesLine);
    ASSERT_NE(sep, lines.end());
    EXPECT_EQ(std::count(lines.begin(), sep, "Loopback Out 3"), 1);
    EXPECT_EQ(std::count(sep, lines.end(), "Loopback Out 0"), 1);
    EXPECT_EQ(int(lines.size()), c.Count() + 1);

    // Closing the current output makes the first open one by device number current.
    c.CloseDevice("Loopback Out 3");
    EXPECT_FALSE(IsOpen("Loopback Out 3"));
    EXPECT_EQ(c.CurrentMidiOut(), c.FindByName("Loopback Out 1"));
    c.CloseDevice("Loopback Out 1");
    EXPECT_EQ(c.CurrentMidiOut(), -1);
    EXPECT_EQ(OpenMidiOutputs(), 0);
    EXPECT_EQ(dsync::Loopback().Output(1).Closes(), 1);
    EXPECT_EQ(changes, 3);

    ASSERT_TRUE(c.OpenDevice("Loopback In 0"));
    EXPECT_EQ(c.CurrentMidiIn(), c.FindByName("Loopback In 0"));
    c.CloseDevice("Loopback In 0");
    EXPECT_EQ(c.CurrentMidiIn(), -1);
}

TEST_F(DeviceConfigTest, SongDeviceNumbersOutsideTheTableMeanTheDefault) {
    Slot("MIDI OUT 1", "Loopback Out 0");
    auto& c = Open();
    EXPECT_EQ(c.NormalizeDevice(100), uint32_t(kDeviceNone));
    EXPECT_EQ(c.NormalizeDevice(101), uint32_t(kDeviceAllMidi));
    EXPECT_EQ(c.NormalizeDevice(102), uint32_t(kDeviceDefault));
    EXPECT_EQ(c.NormalizeDevice(uint32_t(c.Count())), uint32_t(kDeviceDefault));
    EXPECT_EQ(c.NormalizeDevice(99), uint32_t(kDeviceDefault));
    EXPECT_EQ(c.NormalizeDevice(0xFFFFFFFFu), uint32_t(kDeviceDefault));
    uint32_t out0 = uint32_t(c.FindByName("Loopback Out 0"));
    EXPECT_EQ(c.NormalizeDevice(out0), out0);
    EXPECT_EQ(c.MidiOutAt(out0), c.DefaultMidiOut());
    EXPECT_EQ(c.MidiOutAt(uint32_t(c.FindByName("Loopback Out 1"))), nullptr); // closed
    EXPECT_EQ(c.MidiOutAt(uint32_t(c.FindByName("Loopback In 0"))), nullptr);  // an input
    EXPECT_EQ(c.MidiOutAt(102), nullptr);
    EXPECT_EQ(c.WaveOutAt(out0), nullptr);
}

TEST_F(DeviceConfigTest, SlotsByKindIgnoreOtherKindsAndSlots) {
    app::CDeviceConfig c(*settings_);
    c.SetDeviceName(app::kKindMidiOut, 3, "X");
    c.SetDeviceName(app::kKindMidiOut, 4, "ignored");
    c.SetDeviceName(app::kKindWaveIn, 1, "ignored");
    c.SetDeviceName(7, 0, "ignored");
    c.SetDeviceName(app::kKindWaveOut, 0, "W");
    EXPECT_EQ(settings_->GetProfileString(app::kSectionDevices, "MIDI OUT 4", ""), "X");
    EXPECT_EQ(settings_->GetProfileString(app::kSectionDevices, "WAVE OUT 1", ""), "W");
    EXPECT_EQ(c.GetDeviceName(app::kKindMidiOut, 3), "X");
    EXPECT_EQ(c.GetDeviceName(app::kKindMidiOut, 4), "");
    EXPECT_EQ(c.GetDeviceName(0, 0), "");
    EXPECT_EQ(settings_->Format().find("ignored"), std::string::npos);
}

} // namespace

TEST_F(DeviceConfigTest, NoSoundOutputIsToldOnlyWhenAnOutputWasWantedAndNoneOpened) {
    // Wave devices off: nothing was wanted.
    EXPECT_FALSE(Open().NoSoundOutput());
    config_.reset();
    // "NONE" asks for no output.
    options_.waveEnabled = true;
    Slot("WAVE OUT 1", "NONE");
    EXPECT_FALSE(Open().NoSoundOutput());
    config_.reset();
    Slot("WAVE OUT 1", "");
    app::CDeviceConfig& c = Open();
    EXPECT_EQ(c.NoSoundOutput(), c.CurrentWaveOut() < 0);
    c.CloseDevices(false);
    EXPECT_FALSE(c.NoSoundOutput()); // closed: nothing to say
}
