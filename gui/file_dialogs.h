// The file dialogs: "Open a File" and "Save the File".
//
// Both take the system's filter lists ("Label|*.EXT|...||", app::FileFilter and the save rules'
// SaveDialog) as Qt name filters, matching either case of each extension. The first dialog after
// start-up opens in the Media folder, every later one where the last one was left. The save dialog
// asks before overwriting, adds the default extension to a name typed without one, and then holds
// the name to the kinds of file the program opens: any other shows "improper extension" and
// counts as cancelled.
//
// Used on the user-interface thread only.
#pragma once

#include "app/document_save.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <string>

class QFileDialog;
class QWidget;

namespace app {
class CDendraApp;
}

namespace gui {

// The Qt name filters of a filter list, in its order ("Midi Files (*.MID *.mid)").
QStringList NameFilters(const std::string& filter);

class FileDialogs {
public:
    FileDialogs(app::CDendraApp& app, QWidget* parent);

    // The folder the next dialog opens in.
    QString StartFolder() const;
    // A chosen file: the next dialog opens in its folder.
    void Remember(const QString& path);

    // The dialogs as they are shown (not shown yet).
    std::unique_ptr<QFileDialog> MakeOpenDialog();
    std::unique_ptr<QFileDialog> MakeSaveDialog(const SaveDialog& dialog, const QString& suggested,
                                                const QString& title);

    // "Open a File": the chosen path, or "" when cancelled.
    QString AskOpenPath();
    // "Save the File": the chosen path (extension checked), or "" when cancelled or refused.
    QString AskSavePath(const SaveDialog& dialog, const QString& suggested,
                        const QString& title = QString());

private:
    app::CDendraApp& app_;
    QWidget* parent_;
    QString last_; // the folder of the last dialog, "" before the first
};

// The save rules' path prompt as the save dialog. The name suggested for a document without a
// path is its title (SetSuggestedName before each save).
class DialogSavePrompt : public SavePathPrompt {
public:
    explicit DialogSavePrompt(FileDialogs& dialogs) : dialogs_(dialogs) {}
    void SetSuggestedName(const QString& name) { suggestedName_ = name; }
    void SetTitle(const QString& title) { title_ = title; }
    bool AskPath(const SaveDialog& dialog, const std::string& suggested,
                 std::string& path) override;

private:
    FileDialogs& dialogs_;
    QString suggestedName_;
    QString title_;
};

} // namespace gui
