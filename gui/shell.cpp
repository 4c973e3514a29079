#include "gui/shell.h"

#include "app/doc_templates.h"
#include "documents/channel_document.h"
#include "documents/document.h"
#include "documents/tree_document.h"
#include "gui/main_window.h"
#include "gui/message_boxes.h"
#include "platform/message_queue.h"
#include "platform/user_messages.h"
#include "song/song_document.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

namespace gui {

namespace {
// How often the slower check looks for trees that began to solve without a window noticing.
constexpr int kIdleCheckMs = 250;
} // namespace

Shell::Shell(ShellOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)),
      panel_(std::make_unique<editing::PlayPanel>(engine_, frame_)), app_(options_.settingsPath),
      devices_(app_.Devices()) {
    if (options_.installMessageBoxes) {
        messages_ = std::make_unique<MessageBoxes>();
        previousMessages_ = platform::SetMessages(messages_.get());
    }
    app_.SetPlayHandler([this](CAmpDoc* doc, uint32_t end) { OnPlayRequest(doc, end); });
    engine_.SetDevices(&devices_);

    idleTimer_ = new QTimer(this);
    idleTimer_->setInterval(0);
    connect(idleTimer_, &QTimer::timeout, this, &Shell::IdleTurn);
    idleCheck_ = new QTimer(this);
    idleCheck_->setInterval(kIdleCheckMs);
    connect(idleCheck_, &QTimer::timeout, this, &Shell::KickIdle);
}

Shell::~Shell() {
    Shutdown();
    if (messages_) platform::SetMessages(previousMessages_);
}

app::StartResult Shell::Start(const std::vector<std::string>& args, bool show) {
    // The main window exists before the command line is processed; it is shown afterwards.
    window_ = std::make_unique<MainWindow>(*this);

    app::StartupOptions startup;
    startup.interactive = true;
    startup.openDevices = options_.openDevices;
    startup.devices.window = engine_.Window();
    startup.devices.timer = options_.timer;
    startup.instanceFolder = options_.instanceFolder;
    app_.Devices().SetChangeListener([this] { Q_EMIT devicesChanged(); });

    const app::StartResult result = app_.Startup(args, startup);
    if (result != app::StartResult::kStarted) {
        window_.reset();
        return result;
    }
    started_ = true;

    queueNotifier_ =
        new QSocketNotifier(platform::Queue().WakeDescriptor(), QSocketNotifier::Read, this);
    connect(queueNotifier_, &QSocketNotifier::activated, this, &Shell::DrainMessages);
    if (app_.Instance() && app_.Instance()->Descriptor() >= 0) {
        handOverNotifier_ =
            new QSocketNotifier(app_.Instance()->Descriptor(), QSocketNotifier::Read, this);
        connect(handOverNotifier_, &QSocketNotifier::activated, this, &Shell::PumpHandOvers);
    }
    idleCheck_->start();

    window_->SyncDocuments();
    window_->RestoreLocations();
    if (show) window_->show();
    window_->ShowNoSoundNotice(NoSoundNotice());
    // What was posted while starting (the devices' first messages) is handled now.
    DrainMessages();
    KickIdle();
    return result;
}

void Shell::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    idleTimer_->stop();
    idleCheck_->stop();
    delete queueNotifier_;
    queueNotifier_ = nullptr;
    delete handOverNotifier_;
    handOverNotifier_ = nullptr;
    // Stop ends every sounding note before the devices close.
    engine_.SetSong(nullptr);
    engine_.SetDevices(nullptr);
    engineSong_ = nullptr;
    standIn_.reset();
    playingDoc_ = nullptr;
    // The windows let go of their documents before the application destroys them.
    if (window_) window_->DetachAll();
    window_.reset();
    app_.Devices().SetChangeListener(nullptr);
    app_.Exit();
}

// ---- Play ----

CSongDoc* Shell::SongFor(CAmpDoc* doc) {
    if (!doc) return nullptr;
    const uint32_t kind = app_.DocumentKind(doc);
    if (kind == kDocKindSong) return static_cast<CSongDoc*>(doc);
    if (kind == 0 || kind == kDocKindCollection) return nullptr;
    if (StandInPlays(doc)) return standIn_.get();
    auto song = std::make_unique<CSongDoc>();
    if (!song->OnNewDocument()) return nullptr;
    // The application owns the document; the stand-in song only borrows it.
    std::shared_ptr<CChanDoc> shared(static_cast<CChanDoc*>(doc), [](CChanDoc*) {});
    if (song->IncludeDocument(shared) <= 0) return nullptr;
    if (engineSong_ == standIn_.get()) {
        engine_.SetSong(nullptr);
        engineSong_ = nullptr;
    }
    standIn_ = std::move(song);
    return standIn_.get();
}

bool Shell::CanPlay(CAmpDoc* doc) {
    if (!doc || !app_.Devices().Clock()) return false;
    const uint32_t kind = app_.DocumentKind(doc);
    return kind != 0 && kind != kDocKindCollection;
}

bool Shell::Target(CAmpDoc* doc) {
    CSongDoc* song = SongFor(doc);
    if (!song) return false;
    if (song != engineSong_) {
        // Stops what plays.
        engine_.SetSong(song);
        engineSong_ = song;
    }
    playingDoc_ = doc;
    return true;
}

bool Shell::Prepare(CAmpDoc* doc) {
    if (engine_.IsPlaying()) return engineSong_ != nullptr;
    if (!CanPlay(doc) || !Target(doc)) return false;
    if (!engineSong_->IsPrepared()) engineSong_->Prepare();
    return true;
}

bool Shell::Play(CAmpDoc* doc, uint32_t endBeats) {
    if (engine_.IsPlaying()) {
        // A Play while playing stops.
        engine_.Play();
        AfterMessages();
        return true;
    }
    if (!Target(doc)) return false;
    if (endBeats > 0) {
        // The End given; the song's natural length must not win it back.
        if (!engineSong_->IsPrepared()) engineSong_->Prepare();
        engine_.SetLoopEnd(endBeats);
    }
    const bool ok = engine_.Play();
    AfterMessages();
    return ok;
}

void Shell::Stop() {
    engine_.Stop();
    AfterMessages();
}

bool Shell::Record(CAmpDoc* doc) {
    // While recording, Record ends it; otherwise it records the document's song.
    if (!engine_.IsRecording() && !Target(doc)) return false;
    const bool ok = engine_.Record();
    AfterMessages();
    return ok;
}

void Shell::EndRecord() {
    engine_.EndRecord();
    AfterMessages();
}

bool Shell::StandInPlays(const CAmpDoc* doc) const {
    return standIn_ && standIn_->EntryCount() > 0 && standIn_->Entry(0).document.get() == doc;
}

void Shell::ReleaseDocument(CAmpDoc* doc) {
    if (!doc) return;
    if (doc == playingDoc_ || doc == engineSong_ || StandInPlays(doc)) {
        engine_.SetSong(nullptr);
        engineSong_ = nullptr;
        standIn_.reset();
        playingDoc_ = nullptr;
        AfterMessages();
    }
}

void Shell::OnPlayRequest(CAmpDoc* doc, uint32_t endBeats) {
    if (engine_.IsPlaying()) engine_.Stop();
    if (!Play(doc, endBeats) && app_.QuitAfterPlay() && !handingOver_) {
        // Nothing could play and the program was to end when playing ended: it ends now.
        QTimer::singleShot(0, this, &Shell::quitRequested);
    }
}

bool Shell::ApplySettings(const app::AppSettings& settings, std::string* error) {
    return app_.ApplySettingsDialog(settings, error);
}

// ---- Devices ----

QString Shell::NoSoundNotice() {
    return app_.Devices().NoSoundOutput() ? QString::fromUtf8(app::kNoSoundOutputMessage)
                                          : QString();
}

void Shell::ToggleDevice(const std::string& name) {
    app::CDeviceConfig& d = app_.Devices();
    const int index = d.FindByName(name);
    if (index < 0) return;
    // A device that goes away while the song plays takes its queued events with it.
    if (engine_.IsPlaying()) engine_.Stop();
    if (d.IsDeviceOpen(index))
        d.CloseDevice(name);
    else
        d.OpenDevice(name);
    AfterMessages();
}

// ---- The loop ----

void Shell::DrainMessages() {
    platform::Queue().Drain();
    AfterMessages();
}

void Shell::PumpHandOvers() {
    const bool quitBefore = app_.QuitAfterPlay();
    handingOver_ = true;
    const int handed = app_.PumpHandOvers();
    handingOver_ = false;
    if (handed == 0) return;
    app_.SetQuitAfterPlay(quitBefore);
    Q_EMIT documentsChanged();
    KickIdle();
    AfterMessages();
}

void Shell::AfterMessages() {
    const bool playing = engine_.IsPlaying();
    const bool recording = engine_.IsRecording();
    const uint32_t beat = engine_.CurrentBeat();
    const bool ended = wasPlaying_ && !playing;
    if (playing != wasPlaying_ || recording != wasRecording_ || beat != shownBeat_) {
        wasPlaying_ = playing;
        wasRecording_ = recording;
        shownBeat_ = beat;
        Q_EMIT playStateChanged();
    }
    if (ended && app_.QuitAfterPlay() && !handingOver_) Q_EMIT quitRequested();
}

// ---- Idle work ----

std::vector<CDendraDoc*> Shell::SolvingTrees() const {
    std::vector<CDendraDoc*> trees;
    auto add = [&](CAmpDoc* doc, uint32_t kind) {
        if (kind != kDocKindDendra) return;
        auto* tree = static_cast<CDendraDoc*>(doc);
        if (tree->IsSolving() && std::find(trees.begin(), trees.end(), tree) == trees.end())
            trees.push_back(tree);
    };
    for (const auto& doc : app_.Documents()) {
        const uint32_t kind = app_.DocumentKind(doc.get());
        add(doc.get(), kind);
        if (kind != kDocKindSong) continue;
        auto* song = static_cast<CSongDoc*>(doc.get());
        for (int i = 0; i < song->EntryCount(); ++i) {
            CChanDoc* entryDoc = song->Entry(i).document.get();
            if (entryDoc) add(entryDoc, entryDoc->GetDocKind());
        }
    }
    return trees;
}

void Shell::KickIdle() {
    if (!started_ || shutDown_ || idleTimer_->isActive()) return;
    if (!SolvingTrees().empty()) idleTimer_->start();
}

bool Shell::IdleRunning() const {
    return idleTimer_->isActive();
}

void Shell::IdleTurn() {
    // A message box shown from inside a document waits for the user: no document work meanwhile.
    if (MessageBoxes::Showing()) return;
    const std::vector<CDendraDoc*> trees = SolvingTrees();
    if (trees.empty()) {
        idleTimer_->stop();
        return;
    }
    // One tree per turn, in turn, so that every solving tree advances.
    CDendraDoc* tree = trees[idleNext_++ % trees.size()];
    tree->OnIdle();
}

} // namespace gui
