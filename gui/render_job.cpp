#include "gui/render_job.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>

namespace gui {

namespace {
// Where the build tree keeps dendra-cli, seen from the folder of `dendra`.
const char* const kBuildTreeRenderer = "../cli/dendra-cli";

QString LastLine(const QByteArray& log) {
    const QStringList lines = QString::fromUtf8(log).split(
        QRegularExpression(QStringLiteral("[\r\n]")), Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last().trimmed();
}
} // namespace

RenderJob::RenderJob(QObject* parent) : QObject(parent), process_(new QProcess(this)) {
    process_->setProcessChannelMode(QProcess::SeparateChannels);
    connect(process_, &QProcess::readyReadStandardError, this, &RenderJob::OnOutput);
    connect(process_, &QProcess::finished, this, &RenderJob::OnFinished);
}

RenderJob::~RenderJob() {
    if (Running()) {
        cancelled_ = true;
        process_->disconnect(this);
        process_->kill();
        process_->waitForFinished(2000);
    }
}

QString RenderJob::RendererPath() {
    const QString forced = qEnvironmentVariable("DENDRA_CLI");
    if (!forced.isEmpty()) return QFileInfo(forced).isExecutable() ? forced : QString();
    const QDir here(QCoreApplication::applicationDirPath());
    for (const QString& candidate : {here.filePath(QStringLiteral("dendra-cli")),
                                     here.filePath(QLatin1String(kBuildTreeRenderer))}) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable()) return info.canonicalFilePath();
    }
    return QString();
}

int RenderJob::LastPercent(const QByteArray& text) {
    static const QRegularExpression progress(QStringLiteral("rendering .*:\\s*(\\d+)%"));
    int percent = -1;
    const QStringList lines = QString::fromUtf8(text).split(
        QRegularExpression(QStringLiteral("[\r\n]")), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QRegularExpressionMatch m = progress.match(line);
        if (m.hasMatch()) percent = m.captured(1).toInt();
    }
    return percent;
}

bool RenderJob::Start(const QString& input, const QString& output, const QString& soundFont,
                      QString* error) {
    if (Running()) {
        if (error) *error = QStringLiteral("A render is under way.");
        return false;
    }
    const QString renderer = RendererPath();
    if (renderer.isEmpty()) {
        if (error) *error = QStringLiteral("The renderer (dendra-cli) was not found.");
        return false;
    }
    const QFileInfo target(output);
    temp_ = std::make_unique<QTemporaryDir>(target.absolutePath() +
                                            QStringLiteral("/.dendra-render-XXXXXX"));
    if (!temp_->isValid()) {
        if (error)
            *error = QStringLiteral("Cannot write in %1: %2")
                         .arg(target.absolutePath(), temp_->errorString());
        temp_.reset();
        return false;
    }
    output_ = target.absoluteFilePath();
    rendered_ = temp_->filePath(QStringLiteral("render.wav"));
    log_.clear();
    cancelled_ = false;
    QStringList args{QStringLiteral("render"), input, QStringLiteral("-o"), rendered_};
    if (!soundFont.isEmpty()) args << QStringLiteral("--soundfont") << soundFont;
    process_->setWorkingDirectory(QFileInfo(input).absolutePath());
    process_->start(renderer, args);
    if (!process_->waitForStarted(5000)) {
        if (error)
            *error =
                QStringLiteral("The renderer could not start: %1").arg(process_->errorString());
        temp_.reset();
        return false;
    }
    return true;
}

void RenderJob::Cancel() {
    if (!Running()) return;
    cancelled_ = true;
    process_->terminate();
}

bool RenderJob::Running() const {
    return process_->state() != QProcess::NotRunning;
}

void RenderJob::OnOutput() {
    const QByteArray chunk = process_->readAllStandardError();
    log_ += chunk;
    const int percent = LastPercent(chunk);
    if (percent >= 0) Q_EMIT progress(percent);
}

void RenderJob::OnFinished(int exitCode, QProcess::ExitStatus status) {
    OnOutput();
    bool ok = false;
    QString message;
    if (cancelled_) {
        message.clear();
    } else if (status != QProcess::NormalExit || exitCode != 0) {
        message = LastLine(log_);
        const QString prefix = QStringLiteral("dendra-cli render: ");
        if (message.startsWith(prefix)) message = message.mid(prefix.size());
        if (message.isEmpty()) message = QStringLiteral("The render failed.");
    } else if (std::rename(QFile::encodeName(rendered_).constData(),
                           QFile::encodeName(output_).constData()) != 0) {
        message = QStringLiteral("Cannot write %1").arg(output_);
    } else {
        ok = true;
        message = LastLine(log_).replace(rendered_, output_);
    }
    temp_.reset();
    Q_EMIT finished(ok, message);
}

} // namespace gui
