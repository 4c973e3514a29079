#include "gui/file_dialogs.h"

#include "app/application.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace gui {

namespace {
const char* const kOpenTitle = "Open a File";
const char* const kSaveTitle = "Save the File";

// "*.DRA;*.dra" with both cases of every pattern, once each.
QString Patterns(const QString& spec) {
    QStringList out;
    for (const QString& raw : spec.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString p = raw.trimmed();
        if (p == QLatin1String("*.*") || p == QLatin1String("*")) {
            if (!out.contains(QLatin1String("*"))) out << QStringLiteral("*");
            continue;
        }
        for (const QString& variant : {p, p.toLower(), p.toUpper()})
            if (!out.contains(variant)) out << variant;
    }
    return out.join(QLatin1Char(' '));
}

// Room for long names and the columns, in lines of text.
void Size(QFileDialog& d) {
    const int line = d.fontMetrics().height();
    d.resize(line * 54, line * 32);
}

// A label without a trailing "(...)": the patterns are written once, by Patterns.
QString Label(QString label) {
    label = label.trimmed();
    if (label.endsWith(QLatin1Char(')'))) {
        const qsizetype open = label.lastIndexOf(QLatin1Char('('));
        if (open > 0) label = label.left(open).trimmed();
    }
    return label;
}
} // namespace

QStringList NameFilters(const std::string& filter) {
    QStringList filters;
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty()) break;
        filters << Label(parts[i]) + QStringLiteral(" (") + Patterns(parts[i + 1]) +
                       QLatin1Char(')');
    }
    return filters;
}

FileDialogs::FileDialogs(app::CDendraApp& app, QWidget* parent) : app_(app), parent_(parent) {}

QString FileDialogs::StartFolder() const {
    if (!last_.isEmpty()) return last_;
    const QString media = QString::fromStdString(app_.Config().media);
    if (!media.isEmpty() && QFileInfo(media).isDir()) return media;
    return QDir::homePath();
}

void FileDialogs::Remember(const QString& path) {
    const QFileInfo info(path);
    last_ = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
}

std::unique_ptr<QFileDialog> FileDialogs::MakeOpenDialog() {
    auto d = std::make_unique<QFileDialog>(parent_, QString::fromUtf8(kOpenTitle), StartFolder());
    d->setObjectName(QStringLiteral("openDialog"));
    d->setAcceptMode(QFileDialog::AcceptOpen);
    d->setFileMode(QFileDialog::ExistingFile);
    d->setNameFilters(NameFilters(app::FileFilter(0)));
    Size(*d);
    return d;
}

std::unique_ptr<QFileDialog> FileDialogs::MakeSaveDialog(const SaveDialog& dialog,
                                                         const QString& suggested,
                                                         const QString& title) {
    auto d = std::make_unique<QFileDialog>(
        parent_, title.isEmpty() ? QString::fromUtf8(kSaveTitle) : title, StartFolder());
    d->setObjectName(QStringLiteral("saveDialog"));
    d->setAcceptMode(QFileDialog::AcceptSave);
    d->setFileMode(QFileDialog::AnyFile);
    const QStringList filters = NameFilters(dialog.filter);
    if (!filters.isEmpty()) d->setNameFilters(filters);
    if (!dialog.defaultExtension.empty())
        d->setDefaultSuffix(QString::fromStdString(dialog.defaultExtension).mid(1));
    if (!suggested.isEmpty()) {
        const QFileInfo info(suggested);
        if (info.isAbsolute()) d->setDirectory(info.absolutePath());
        d->selectFile(info.fileName());
    }
    Size(*d);
    return d;
}

QString FileDialogs::AskOpenPath() {
    std::unique_ptr<QFileDialog> d = MakeOpenDialog();
    if (d->exec() != QDialog::Accepted || d->selectedFiles().isEmpty()) return QString();
    const QString path = d->selectedFiles().first();
    Remember(path);
    return path;
}

QString FileDialogs::AskSavePath(const SaveDialog& dialog, const QString& suggested,
                                 const QString& title) {
    std::unique_ptr<QFileDialog> d = MakeSaveDialog(dialog, suggested, title);
    if (d->exec() != QDialog::Accepted || d->selectedFiles().isEmpty()) return QString();
    const QString path = d->selectedFiles().first();
    Remember(path);
    // A name the program could not open again is refused ("improper extension").
    if (!app::CheckFileName(path.toStdString())) return QString();
    return path;
}

bool DialogSavePrompt::AskPath(const SaveDialog& dialog, const std::string& suggested,
                               std::string& path) {
    QString start = QString::fromStdString(suggested);
    if (start.isEmpty() && !suggestedName_.isEmpty()) {
        start = suggestedName_;
        if (!dialog.defaultExtension.empty() && QFileInfo(start).suffix().isEmpty())
            start += QString::fromStdString(dialog.defaultExtension);
    }
    const QString chosen = dialogs_.AskSavePath(dialog, start, title_);
    if (chosen.isEmpty()) return false;
    path = chosen.toStdString();
    return true;
}

} // namespace gui
