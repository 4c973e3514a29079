// Rendering a document to a WAVE file in the background, with progress and cancel.
//
// The renderer (song/offline_render.h) runs a play engine and clock of its own, drains the
// process's posted-message queue while it works and loads the built-in synthesizer afresh for its
// sample rate. In the desktop program that synthesizer sounds live through the open wave output
// and that queue feeds the live play engine, so a render inside this process, on any thread,
// would pull both from under what plays. The render therefore runs in a process of its own:
// `dendra-cli render`, the same renderer. The program follows its progress, and Cancel ends it.
//
// The file is written into a temporary folder beside the target and moved over the target only
// when the render succeeded: a cancelled or failed render leaves the target as it was.
//
// Used on the user-interface thread only.
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

class QTemporaryDir;

namespace gui {

class RenderJob : public QObject {
    Q_OBJECT

public:
    explicit RenderJob(QObject* parent = nullptr);
    ~RenderJob() override;

    // The dendra-cli that renders: $DENDRA_CLI when set, else the one beside this program, else
    // the one of the build tree this program was built in. "" when none is found.
    static QString RendererPath();

    // Starts rendering a saved document into output (a .wav path). soundFont "" for the usual
    // search. False with *error set when the render cannot start.
    bool Start(const QString& input, const QString& output, const QString& soundFont,
               QString* error);
    void Cancel();
    bool Running() const;

    // Reads "rendering NAME:  42%" lines of the renderer; -1 when the text holds none.
    static int LastPercent(const QByteArray& text);

Q_SIGNALS:
    void progress(int percent);
    // ok: the file is in place, message the renderer's summary; otherwise what went wrong
    // ("" when cancelled).
    void finished(bool ok, const QString& message);

private Q_SLOTS:
    void OnOutput();
    void OnFinished(int exitCode, QProcess::ExitStatus status);

private:
    QProcess* process_;
    std::unique_ptr<QTemporaryDir> temp_;
    QString output_;
    QString rendered_;
    QByteArray log_;
    bool cancelled_ = false;
};

} // namespace gui
