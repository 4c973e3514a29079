// dendra: the desktop program.
//
//   dendra [/play] [/quit] [/save] [FILE]
//
// Starts as dendra-cli's start-up does (one running instance: a second start hands its command
// line to the first and ends), with the main window. Exit status: 0, also for a start that handed
// over; 2 when another instance runs but does not answer, or the command line could not be
// processed. Qt's own options (-platform, ...) are taken before the program sees the arguments.
#include "gui/appearance.h"
#include "gui/icons.h"
#include "gui/screenshots.h"
#include "gui/shell.h"
#include "platform/thread_check.h"

#include <QApplication>

#include <string>
#include <vector>

#ifndef DENDRA_VERSION
#define DENDRA_VERSION "0"
#endif

int main(int argc, char** argv) {
    platform::ClaimUiThread();
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dendra"));
    QApplication::setOrganizationName(QStringLiteral("Ondrelles"));
    QApplication::setApplicationVersion(QStringLiteral(DENDRA_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("dendra"));
    QApplication::setWindowIcon(gui::ProgramIcon());
    gui::Appearance appearance;

    // QApplication has taken its own options out of argv.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

    gui::Shell shell;
    switch (shell.Start(args)) {
    case app::StartResult::kStarted:
        break;
    case app::StartResult::kHandedOver:
        return 0;
    case app::StartResult::kRefused: // the message has been shown
    case app::StartResult::kFailed:
        return 2;
    }
    gui::InstallDevHooks(shell);
    const int status = QApplication::exec();
    shell.Shutdown();
    return status;
}
