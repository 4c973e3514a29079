#include "gui/message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>

namespace gui {

namespace {
int g_showing = 0;

// Counts a box that waits for the user.
struct ShowingScope {
    ShowingScope() { ++g_showing; }
    ~ShowingScope() { --g_showing; }
    ShowingScope(const ShowingScope&) = delete;
    ShowingScope& operator=(const ShowingScope&) = delete;
};

bool OnUiThread() {
    return QCoreApplication::instance() &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

QMessageBox::Icon IconOf(platform::MessageKind kind) {
    switch (kind) {
    case platform::MessageKind::Warning:
        return QMessageBox::Warning;
    case platform::MessageKind::Error:
        return QMessageBox::Critical;
    default:
        return QMessageBox::Information;
    }
}

QWidget* Owner() {
    QWidget* w = QApplication::activeModalWidget();
    if (!w) w = QApplication::activeWindow();
    return w;
}
} // namespace

MessageBoxes::MessageBoxes() : receiver_(std::make_unique<QObject>()) {}

MessageBoxes::~MessageBoxes() = default;

QString MessageBoxes::Title() {
    return QStringLiteral("Dendra");
}

bool MessageBoxes::Showing() {
    return g_showing > 0;
}

std::unique_ptr<QMessageBox>
MessageBoxes::MakeMessage(const QString& text, platform::MessageKind kind, QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(IconOf(kind), Title(), text, QMessageBox::Ok, parent);
    box->setObjectName(QStringLiteral("messageBox"));
    return box;
}

std::unique_ptr<QMessageBox> MessageBoxes::MakeQuestion(const QString& text, platform::Answer safe,
                                                        QWidget* parent) {
    const bool yesNo = safe == platform::Answer::Yes || safe == platform::Answer::No;
    auto box = std::make_unique<QMessageBox>(
        QMessageBox::Question, Title(), text,
        yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok | QMessageBox::Cancel, parent);
    box->setObjectName(QStringLiteral("questionBox"));
    QMessageBox::StandardButton def = QMessageBox::Cancel;
    switch (safe) {
    case platform::Answer::Yes:
        def = QMessageBox::Yes;
        break;
    case platform::Answer::No:
        def = QMessageBox::No;
        break;
    case platform::Answer::Ok:
        def = QMessageBox::Ok;
        break;
    case platform::Answer::Cancel:
        def = QMessageBox::Cancel;
        break;
    }
    box->setDefaultButton(def);
    box->setEscapeButton(yesNo ? QMessageBox::No : QMessageBox::Cancel);
    return box;
}

void MessageBoxes::ShowNow(const QString& text, platform::MessageKind kind) {
    std::unique_ptr<QMessageBox> box = MakeMessage(text, kind, Owner());
    ShowingScope showing;
    box->exec();
}

void MessageBoxes::ShowPosted(const QString& text, platform::MessageKind kind) {
    // One box at a time, in the order posted: a message posted while a box is open waits for it.
    posted_.emplace_back(text, kind);
    if (showingPosted_) return;
    showingPosted_ = true;
    while (!posted_.empty()) {
        const auto [next, nextKind] = posted_.front();
        posted_.pop_front();
        ShowNow(next, nextKind);
    }
    showingPosted_ = false;
}

void MessageBoxes::Show(const std::string& text, platform::MessageKind kind) {
    const QString qtext = QString::fromStdString(text);
    if (OnUiThread()) {
        ShowNow(qtext, kind);
        return;
    }
    // Never a box on this thread: the user-interface thread shows it when it next runs.
    QMetaObject::invokeMethod(
        receiver_.get(), [this, qtext, kind] { ShowPosted(qtext, kind); }, Qt::QueuedConnection);
}

platform::Answer MessageBoxes::Ask(const std::string& text, platform::Answer safe) {
    if (!OnUiThread()) {
        Show(text, platform::MessageKind::Information);
        return safe;
    }
    std::unique_ptr<QMessageBox> box = MakeQuestion(QString::fromStdString(text), safe, Owner());
    int result;
    {
        ShowingScope showing;
        result = box->exec();
    }
    switch (result) {
    case QMessageBox::Yes:
        return platform::Answer::Yes;
    case QMessageBox::No:
        return platform::Answer::No;
    case QMessageBox::Ok:
        return platform::Answer::Ok;
    case QMessageBox::Cancel:
        return platform::Answer::Cancel;
    default:
        return safe;
    }
}

} // namespace gui
