// The application's commands: the device table.
#include "cli/commands.h"

#include "app/device_config.h"
#include "app/settings.h"
#include "platform/timer.h"
#include "sync/devices.h"

#include <cstdio>
#include <span>

namespace cli {

namespace {

int RunDevices(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"devices", "[--closed]", "print the device table",
     "Prints one line per device of the table: its index, its flags (0x01 open, 0x02 MIDI,\n"
     "0x04 mixer-backed, 0x08 output), \"open\" or \"closed\", and its name. The devices the\n"
     "settings name in section Devices are opened as the program opens them at start, and closed\n"
     "again; the settings are not changed.\n\n"
     "  --closed   open nothing: list the table only\n",
     RunDevices},
};

int RunDevices(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        PrintCommandHelp(kCommands[0]);
        return kExitOk;
    }
    bool open = true;
    for (const std::string& a : args) {
        if (a == "--closed")
            open = false;
        else
            return UsageError(kCommands[0], "unknown argument: " + a);
    }
    app::CSettings settings;
    std::string error;
    if (!settings.Load(&error)) return InputError(settings.Path(), error);
    app::AppSettings config = app::ReadAppSettings(settings);
    app::CDeviceConfig devices(settings);
    // The clock runs on a timer that never ticks: nothing is played.
    platform::ManualTimer timer;
    app::DeviceOptions options;
    options.timer = &timer;
    options.waveEnabled = config.waveEnabled;
    options.directSound = config.directSound;
    if (open) {
        devices.OpenDevices(options);
    } else {
        DeviceRecord table[app::kMaxDevices];
        int n = GetDevices(table, app::kMaxDevices, config.waveEnabled, config.directSound);
        for (int i = 0; i < n; ++i)
            std::printf("%2d  0x%02X  closed  %s\n", i, table[i].flags,
                        table[i].name ? table[i].name : "");
        UnGetDevices(table, n);
        return kExitOk;
    }
    for (int i = 0; i < devices.Count(); ++i) {
        const DeviceRecord& r = devices.Record(i);
        std::printf("%2d  0x%02X  %-6s  %s\n", i, r.flags,
                    devices.IsDeviceOpen(i) ? "open" : "closed", r.name ? r.name : "");
    }
    devices.CloseDevices(false);
    return kExitOk;
}

} // namespace

extern const CommandGroup kAppCommands = {"application", kCommands, {}};

} // namespace cli
