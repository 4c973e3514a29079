// The user-messages interface as message boxes.
//
// A message is a modal box with the system's text and an OK button; its icon follows the kind.
// A question is a real question with the buttons its safe answer implies:
//   safe Yes or No      -> Yes and No; Escape gives No;
//   safe Ok or Cancel   -> OK and Cancel; Escape gives Cancel;
// the safe answer is the default button. The boxes belong to the active window.
//
// Threads: a message box is only ever shown on the user-interface thread. A message from another
// thread is posted to the user-interface thread and shown there when its event loop next runs,
// one box after the other in the order posted; the caller does not wait. A question from another
// thread cannot wait for the user: its text is posted as a message and the safe answer is taken.
#pragma once

#include "platform/user_messages.h"

#include <QString>

#include <deque>
#include <memory>
#include <utility>

class QMessageBox;
class QObject;
class QWidget;

namespace gui {

class MessageBoxes : public platform::UserMessages {
public:
    MessageBoxes();
    ~MessageBoxes() override;

    void Show(const std::string& text, platform::MessageKind kind) override;
    platform::Answer Ask(const std::string& text, platform::Answer safe) override;

    // The boxes as Show and Ask build them (not shown), for the screenshots.
    static std::unique_ptr<QMessageBox> MakeMessage(const QString& text, platform::MessageKind kind,
                                                    QWidget* parent);
    static std::unique_ptr<QMessageBox> MakeQuestion(const QString& text, platform::Answer safe,
                                                     QWidget* parent);

    // True while a box asked for by the core waits for the user (idle work waits too).
    static bool Showing();
    // The title of every box.
    static QString Title();

private:
    void ShowNow(const QString& text, platform::MessageKind kind);
    void ShowPosted(const QString& text, platform::MessageKind kind);
    // Lives on the user-interface thread; messages from other threads are queued to it.
    std::unique_ptr<QObject> receiver_;
    // Messages posted from other threads, shown one after the other (user-interface thread).
    std::deque<std::pair<QString, platform::MessageKind>> posted_;
    bool showingPosted_ = false;
};

} // namespace gui
