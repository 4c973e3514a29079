#include "app/application.h"

#include "app/doc_templates.h"
#include "documents/channel_document.h"
#include "documents/document.h"
#include "documents/lexicon.h"
#include "documents/node_wave_access.h"
#include "documents/wave_document.h"
#include "nodes/builtin_nodes.h"
#include "nodes/library.h"
#include "platform/atomic_file.h"
#include "platform/temp_names.h"
#include "platform/user_messages.h"
#include "tree/random.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace app {

namespace {
std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string FileNameOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The same file, whatever way the path spells it.
bool SamePath(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::error_code ec;
    return !a.empty() && !b.empty() && std::filesystem::equivalent(a, b, ec) && !ec;
}
} // namespace

namespace {
// The options, without their "/" or "-".
const char* const kOptionNames[] = {"play", "quit", "save",      "p",
                                    "pt",   "dde",  "Embedding", "Automation"};

bool IsOptionName(const std::string& name) {
    return std::find(std::begin(kOptionNames), std::end(kOptionNames), name) !=
           std::end(kOptionNames);
}

bool IsMarked(const std::string& a) {
    return !a.empty() && (a[0] == '/' || a[0] == '-');
}
} // namespace

bool IsCommandLineOption(const std::string& arg) {
    return IsMarked(arg) && IsOptionName(arg.substr(1));
}

CommandLineInfo ParseCommandLine(const std::vector<std::string>& args) {
    CommandLineInfo info;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (IsCommandLineOption(a)) {
            const std::string name = a.substr(1);
            if (name == "play")
                info.play = true;
            else if (name == "quit")
                info.quit = true;
            else if (name == "save")
                info.save = true;
            else if (name == "p")
                info.print = true;
            else if (name == "pt") {
                info.printTo = true;
                for (int k = 0; k < 3 && i + 1 < args.size(); ++k)
                    info.printTarget.push_back(args[++i]);
            } else if (name == "dde")
                info.dde = true;
            else
                info.automation = true; // "Embedding" or "Automation"
            continue;
        }
        if (a.empty()) continue;
        // An absolute path starts with "/" too: anything that is not an option is an argument.
        if (a[0] == '-') {
            info.ignored.push_back(a);
        } else if (info.file.empty()) {
            info.file = a;
            info.fileIndex = int(i);
        } else {
            info.ignored.push_back(a);
        }
    }
    return info;
}

std::vector<std::string> UnknownOptions(const CommandLineInfo& info) {
    auto unknown = [](const std::string& a) {
        if (a.size() < 2 || !IsMarked(a)) return false;
        if (a[0] == '-') return true;
        if (a.find_first_of("/.", 1) != std::string::npos) return false;
        std::error_code ec;
        return !std::filesystem::exists(a, ec);
    };
    std::vector<std::string> out;
    if (unknown(info.file)) out.push_back(info.file);
    for (const std::string& a : info.ignored)
        if (unknown(a)) out.push_back(a);
    return out;
}

bool CheckFileName(const std::string& name) {
    std::string file = FileNameOf(name);
    std::string ext = ExtensionOf(file);
    static const char* const kAccepted[] = {".mid", ".wav", ".aiff", ".aif", ".tmp", ".au",
                                            ".dra", ".sng", ".snd",  ".sel", ".col"};
    bool ok = !ext.empty() &&
              std::find(std::begin(kAccepted), std::end(kAccepted), ext) != std::end(kAccepted);
    if (!ok) platform::MessageBox("improper extension");
    return ok;
}

std::string FileFilter(uint32_t kinds) {
    std::string f;
    if (kinds == 0) f += "All Files (*.*)|*.*|";
    if (kinds == 0 || (kinds & kDocKindDendra)) f += "Ondrelles (.DRA)|*.DRA|";
    if (kinds == 0 || (kinds & kDocKindWave)) f += "Waves (.WAV)|*.WAV|";
    if (kinds == 0 || (kinds & kDocKindMidi)) f += "Midi Files (.MID)|*.MID|";
    if (kinds == 0 || (kinds & kDocKindSong)) f += "Song Files (.SNG)|*.SNG|";
    f += "|";
    return f;
}

CDendraApp::CDendraApp(std::string settingsPath)
    : settings_(settingsPath.empty() ? CSettings::DefaultPath() : std::move(settingsPath)),
      config_(DefaultAppSettings()), devices_(settings_) {
    // A save under way when the program is stopped by a signal leaves no temporary file behind.
    platform::RemoveTemporariesWhenStopped();
}

CDendraApp::~CDendraApp() {
    Exit();
}

StartResult CDendraApp::Startup(const std::vector<std::string>& args,
                                const StartupOptions& options) {
    RegisterBuiltinNodeTypes();
    std::string error;
    if (!settings_.Load(&error)) platform::MessageBox(error);
    config_ = ReadAppSettings(settings_);
    UseLexiconFolder(config_.lexicon);
    exited_ = false;

    const CommandLineInfo info = ParseCommandLine(args);
    if (config_.runOnce && options.interactive) {
        // The running instance resolves a relative path against its own folder, not ours.
        std::vector<std::string> handed = options.handOver.empty() ? args : options.handOver;
        const CommandLineInfo handedInfo =
            options.handOver.empty() ? info : ParseCommandLine(options.handOver);
        if (handedInfo.fileIndex >= 0 && handedInfo.file[0] != '/') {
            std::error_code ec;
            std::string full =
                std::filesystem::absolute(handedInfo.file, ec).lexically_normal().string();
            if (!ec) handed[size_t(handedInfo.fileIndex)] = full;
        }
        instance_ = std::make_unique<CSingleInstance>(options.instanceFolder);
        switch (instance_->Acquire(handed)) {
        case CSingleInstance::Result::kFirst:
            break;
        case CSingleInstance::Result::kHandedOver:
            instance_.reset();
            return StartResult::kHandedOver;
        case CSingleInstance::Result::kRefused:
            instance_.reset();
            platform::MessageBox("Cannot run it twice. Sorry");
            return StartResult::kRefused;
        case CSingleInstance::Result::kLockFailed:
            instance_.reset();
            platform::MessageBox("There's a problem...");
            break;
        }
    }
    started_ = true;

    SeedRandom(uint32_t(std::time(nullptr)));
    platform::SetTempFolder(config_.media);
    CWaveDoc::SetCompressWaves(config_.compressWaves);
    // The node registry with the configured effect libraries; the wave nodes' sound files.
    InstallNodeWaveAccess();
    Registry().BuildBuiltins(config_.waveEnabled);
    LoadEffectLibraries(Registry(), {std::begin(config_.libraries), std::end(config_.libraries)});

    savedDeviceNames_.clear();
    for (const auto& [slot, name] : options.deviceNames) {
        std::optional<std::string> own;
        if (settings_.Has(kSectionDevices, slot))
            own = settings_.GetProfileString(kSectionDevices, slot, "");
        savedDeviceNames_.emplace_back(slot, std::move(own));
        settings_.WriteProfileString(kSectionDevices, slot, name);
    }
    if (options.openDevices) {
        DeviceOptions d = options.devices;
        d.waveEnabled = config_.waveEnabled;
        d.directSound = config_.directSound;
        devices_.OpenDevices(d);
    }

    if (!ProcessCommandLine(info)) return StartResult::kFailed;
    return StartResult::kStarted;
}

bool CDendraApp::ProcessCommandLine(const CommandLineInfo& info) {
    quitAfterPlay_ = info.quit;
    bool ok;
    if (info.print || info.printTo) {
        // Printing ends the program once the file is printed; there is no printer here.
        mainWindowHidden_ = true;
        if (!info.file.empty()) OpenDocumentFile(info.file);
        ok = false;
    } else if (info.dde) {
        mainWindowHidden_ = true;
        ok = true;
    } else if (info.file.empty()) {
        if (settings_.GetProfileInt(kSectionBehavior, "NewDocument", 1) != 0)
            NewDocument(kDocKindSong, "temp");
        ok = true;
    } else {
        CAmpDoc* doc = OpenDocumentFile(info.file);
        ok = doc != nullptr;
        // A save that did not happen (the document has said why) must not go on as if it had.
        if (ok && info.save) ok = doc->OnSaveDocument(doc->GetPathName());
    }
    if (!ok) return false;
    if (info.save) {
        quitAfterPlay_ = true;
        playRequested_ = true;
        requestedEnd_ = 4;
    } else if (info.play) {
        playRequested_ = true;
        requestedEnd_ = 0;
    } else {
        return true;
    }
    if (playHandler_) playHandler_(active_, requestedEnd_);
    return true;
}

bool CDendraApp::ApplySettingsDialog(const AppSettings& dialog, std::string* error) {
    auto folder = [](std::string f) {
        if (!f.empty() && f.back() != '/') f += '/';
        return f;
    };
    // What the dialog does not show stays as the store has it.
    AppSettings stored = ReadAppSettings(settings_);
    stored.newDocument = dialog.newDocument;
    stored.include = dialog.include;
    stored.followActive = dialog.followActive;
    stored.saveLocations = dialog.saveLocations;
    stored.compressWaves = dialog.compressWaves;
    stored.waveEnabled = dialog.waveEnabled;
    stored.directSound = dialog.directSound;
    stored.media = folder(dialog.media);
    stored.lexicon = folder(dialog.lexicon);
    stored.dendretum = folder(dialog.dendretum);
    WriteAppSettings(settings_, stored);

    config_.newDocument = stored.newDocument;
    config_.include = stored.include;
    config_.followActive = stored.followActive;
    config_.saveLocations = stored.saveLocations;
    config_.compressWaves = stored.compressWaves;
    config_.waveEnabled = stored.waveEnabled;
    config_.directSound = stored.directSound;
    config_.media = stored.media;
    config_.lexicon = stored.lexicon;
    config_.dendretum = stored.dendretum;
    platform::SetTempFolder(config_.media);
    CWaveDoc::SetCompressWaves(config_.compressWaves);
    return settings_.Save(error);
}

int CDendraApp::PumpHandOvers() {
    if (!instance_) return 0;
    int n = 0;
    for (const auto& args : instance_->Poll()) {
        ProcessCommandLine(ParseCommandLine(args));
        ++n;
    }
    return n;
}

CAmpDoc* CDendraApp::OpenByExtension(const std::string& path) {
    std::string file = FileNameOf(path);
    std::string ext = ExtensionOf(file);
    const DocTemplate* t = TemplateForExtension(ext);
    if (!t) return nullptr;
    if (Lower(file) == ext) {
        // Only an extension: a new document of that kind.
        return NewDocument(t->kind, t->kind == kDocKindWave ? "temp.wav" : "temp");
    }
    if (Lower(file.substr(0, 4)) == "temp") return nullptr;
    return OpenDocumentFile(path);
}

CAmpDoc* CDendraApp::OpenDocumentFile(const std::string& path) {
    for (const auto& d : documents_)
        if (SamePath(d->GetPathName(), path)) return active_ = d.get();
    std::string textError;
    const DocTemplate* t = TemplateForFile(path, &textError);
    if (!t && !textError.empty()) {
        platform::Messages().Show("The text of this document cannot be read: " + textError,
                                  platform::MessageKind::Error);
        return nullptr;
    }
    if (!t) {
        platform::MessageBox("improper extension");
        return nullptr;
    }
    std::unique_ptr<CAmpDoc> doc = t->create();
    if (!doc || !doc->OnOpenDocument(path)) return nullptr;
    AddRecentFile(path);
    documents_.push_back(std::move(doc));
    kinds_.push_back(t->kind);
    return active_ = documents_.back().get();
}

CAmpDoc* CDendraApp::NewDocument(uint32_t kind, const std::string& title) {
    const DocTemplate* t = TemplateForKind(kind);
    if (!t) return nullptr;
    std::unique_ptr<CAmpDoc> doc = t->create();
    if (!doc || !doc->OnNewDocument()) return nullptr;
    doc->SetTitle(title);
    documents_.push_back(std::move(doc));
    kinds_.push_back(t->kind);
    return active_ = documents_.back().get();
}

void CDendraApp::CloseDocument(CAmpDoc* doc) {
    auto it = std::find_if(documents_.begin(), documents_.end(),
                           [&](const auto& d) { return d.get() == doc; });
    if (it == documents_.end()) return;
    (*it)->OnCloseDocument();
    if (active_ == doc) active_ = nullptr;
    kinds_.erase(kinds_.begin() + (it - documents_.begin()));
    documents_.erase(it);
    if (!active_ && !documents_.empty()) active_ = documents_.back().get();
}

uint32_t CDendraApp::DocumentKind(const CAmpDoc* doc) const {
    for (size_t i = 0; i < documents_.size(); ++i)
        if (documents_[i].get() == doc) return kinds_[i];
    return 0;
}

std::string CDendraApp::GetTempName(bool forTemporary) {
    return platform::GetTempName(forTemporary);
}

void CDendraApp::DeleteTempFiles() {
    platform::DeleteTempFiles();
}

void CDendraApp::AddRecentFile(const std::string& path) {
    std::error_code ec;
    std::string full = std::filesystem::absolute(path, ec).string();
    if (ec) full = path;
    std::vector<std::string> list{full};
    for (const std::string& f : config_.recentFiles)
        if (!f.empty() && f != full && list.size() < size_t(kRecentFileCount)) list.push_back(f);
    for (int i = 0; i < kRecentFileCount; ++i)
        config_.recentFiles[i] = i < int(list.size()) ? list[size_t(i)] : std::string();
}

void CDendraApp::Exit() {
    if (exited_) return;
    exited_ = true;
    devices_.CloseDevices();
    for (const auto& [slot, name] : savedDeviceNames_) {
        if (name)
            settings_.WriteProfileString(kSectionDevices, slot, *name);
        else
            settings_.Erase(kSectionDevices, slot);
    }
    savedDeviceNames_.clear();
    documents_.clear();
    kinds_.clear();
    active_ = nullptr;
    if (started_) {
        for (int i = 0; i < kRecentFileCount; ++i) {
            std::string key = "File" + std::to_string(i + 1);
            if (config_.recentFiles[i].empty())
                settings_.Erase(kSectionRecentFiles, key);
            else
                settings_.WriteProfileString(kSectionRecentFiles, key, config_.recentFiles[i]);
        }
        std::string error;
        if (!settings_.Save(&error)) platform::MessageBox(error);
        DeleteTempFiles();
    }
    started_ = false;
    if (instance_) instance_->Release();
    instance_.reset();
}

} // namespace app
