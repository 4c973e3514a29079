#include "gui/document_window.h"

#include "documents/channel_document.h"
#include "documents/collection.h"
#include "documents/event_list_document.h"
#include "documents/midi_document.h"
#include "documents/tree_document.h"
#include "documents/wave_document.h"
#include "formats/sample_format.h"
#include "formats/wave_data.h"
#include "song/song_document.h"

#include <QFont>
#include <QFormLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

#include <map>

namespace gui {

// ---- DocumentWindow ----

DocumentWindow::DocumentWindow(CAmpDoc& doc, uint32_t kind, QWidget* parent)
    : QWidget(parent), doc_(&doc), kind_(kind) {
    doc.AddView(this);
}

DocumentWindow::~DocumentWindow() {
    Detach();
}

void DocumentWindow::Detach() {
    if (doc_) doc_->RemoveView(this);
    doc_ = nullptr;
}

void DocumentWindow::OnUpdate(CDocView*, long) {
    Refresh();
}

// ---- Makers ----

namespace {
std::map<uint32_t, DocumentWindowMaker>& Makers() {
    static std::map<uint32_t, DocumentWindowMaker> makers;
    return makers;
}

QString Text(const std::string& s) {
    return QString::fromStdString(s);
}

QString Count(long long n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QString::fromUtf8(n == 1 ? one : many));
}

// Up to `max` lines of a list, then how many more.
QString ListText(const std::vector<QString>& items, size_t max = 8) {
    QStringList lines;
    for (size_t i = 0; i < items.size() && i < max; ++i) lines << items[i];
    if (items.size() > max) lines << QStringLiteral("... and %1 more").arg(items.size() - max);
    return lines.join(QLatin1Char('\n'));
}

void AddChannelLines(CChanDoc& doc, SummaryLines& out) {
    out.emplace_back(QStringLiteral("Units per beat"),
                     QString::number(doc.GetTicksPerBeat(kUnitsPerBeat)));
}

long long EventsOf(CChanDoc& doc) {
    long long n = 0;
    for (int c = 1; c <= doc.GetChannelCount(); ++c)
        if (CEventTree* events = doc.GetChannelEvents(c)) n += events->GetCount();
    return n;
}
} // namespace

void RegisterDocumentWindow(uint32_t kind, DocumentWindowMaker maker) {
    Makers()[kind] = std::move(maker);
}

DocumentWindow* MakeDocumentWindow(CAmpDoc& doc, uint32_t kind, Shell& shell, QWidget* parent) {
    auto it = Makers().find(kind);
    if (it != Makers().end() && it->second) return it->second(doc, kind, shell, parent);
    return new SummaryWindow(doc, kind, parent);
}

QString KindName(uint32_t kind) {
    switch (kind) {
    case kDocKindSong:
        return QStringLiteral("Song");
    case kDocKindDendra:
        return QStringLiteral("Dendra");
    case kDocKindMidi:
        return QStringLiteral("MIDI file");
    case kDocKindWave:
        return QStringLiteral("Sound");
    case kDocKindWordList:
        return QStringLiteral("Event list");
    case kDocKindCollection:
        return QStringLiteral("Collection");
    default:
        return QStringLiteral("Document");
    }
}

SummaryLines DocumentSummary(CAmpDoc& doc, uint32_t kind) {
    SummaryLines out;
    out.emplace_back(QStringLiteral("File"), doc.GetPathName().empty()
                                                 ? QStringLiteral("not saved yet")
                                                 : Text(doc.GetPathName()));
    switch (kind) {
    case kDocKindSong: {
        auto& song = static_cast<CSongDoc&>(doc);
        if (!song.Description().empty())
            out.emplace_back(QStringLiteral("Description"), Text(song.Description()));
        // The length is known once the song has been prepared (played, exported).
        if (const uint32_t beats = song.GetLength(0))
            out.emplace_back(QStringLiteral("Length"), Count(beats, "beat", "beats"));
        std::vector<QString> entries;
        for (int i = 0; i < song.EntryCount(); ++i) {
            const SongEntry& e = song.Entry(i);
            QString line = QStringLiteral("%1. %2").arg(i + 1).arg(Text(e.settings.DisplayName()));
            if (!e.document) line += QStringLiteral(" (missing)");
            entries.push_back(line);
        }
        out.emplace_back(QStringLiteral("Entries"),
                         entries.empty() ? QStringLiteral("none") : ListText(entries));
        break;
    }
    case kDocKindDendra: {
        auto& tree = static_cast<CDendraDoc&>(doc);
        out.emplace_back(QStringLiteral("Solution"),
                         Count(tree.Solution().GetCount(), "event", "events") +
                             (tree.IsSolving() ? QStringLiteral(" (solving)") : QString()));
        AddChannelLines(tree, out);
        const QString comments = Text(tree.GetComments()).trimmed();
        if (!comments.isEmpty()) out.emplace_back(QStringLiteral("Comments"), comments);
        break;
    }
    case kDocKindMidi: {
        auto& midi = static_cast<CMidiDoc&>(doc);
        out.emplace_back(QStringLiteral("Format"), QString::number(midi.FileFormat()));
        out.emplace_back(QStringLiteral("Events"), Count(EventsOf(midi), "event", "events"));
        out.emplace_back(QStringLiteral("Tracks"), QString::number(midi.GetChannelCount()));
        AddChannelLines(midi, out);
        break;
    }
    case kDocKindWave: {
        auto& wave = static_cast<CWaveDoc&>(doc);
        if (const sound::WaveData* data = wave.Data()) {
            const WAVEFORMATEX& f = data->Format();
            out.emplace_back(QStringLiteral("Format"),
                             QStringLiteral("%1 Hz, %2, %3 bits")
                                 .arg(f.nSamplesPerSec)
                                 .arg(f.nChannels == 1 ? QStringLiteral("mono")
                                                       : Count(f.nChannels, "channel", "channels"))
                                 .arg(f.wBitsPerSample));
            const double seconds =
                f.nSamplesPerSec ? double(wave.FrameCount()) / f.nSamplesPerSec : 0.0;
            out.emplace_back(QStringLiteral("Length"),
                             QStringLiteral("%1 s (%2)")
                                 .arg(seconds, 0, 'f', 2)
                                 .arg(Count(wave.FrameCount(), "frame", "frames")));
        } else {
            out.emplace_back(QStringLiteral("Sound"), QStringLiteral("empty"));
        }
        break;
    }
    case kDocKindWordList: {
        auto& list = static_cast<CSELDoc&>(doc);
        out.emplace_back(QStringLiteral("Events"),
                         Count(list.GetEvents().GetCount(), "event", "events"));
        AddChannelLines(list, out);
        break;
    }
    case kDocKindCollection: {
        auto& collection = static_cast<CFileListDoc&>(doc);
        std::vector<QString> files;
        for (size_t i = 0; i < collection.Paths().Count(); ++i)
            files.push_back(Text(collection.Paths().Path(i)));
        out.emplace_back(QStringLiteral("Files"),
                         files.empty() ? QStringLiteral("none") : ListText(files));
        break;
    }
    default:
        break;
    }
    return out;
}

// ---- SummaryWindow ----

SummaryWindow::SummaryWindow(CAmpDoc& doc, uint32_t kind, QWidget* parent)
    : DocumentWindow(doc, kind, parent) {
    setObjectName(QStringLiteral("summaryWindow"));
    auto* inner = new QWidget;
    auto* layout = new QVBoxLayout(inner);
    title_ = new QLabel;
    title_->setObjectName(QStringLiteral("summaryTitle"));
    QFont big = title_->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    title_->setFont(big);
    title_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    kindLabel_ = new QLabel;
    kindLabel_->setObjectName(QStringLiteral("summaryKind"));
    kindLabel_->setForegroundRole(QPalette::PlaceholderText);
    form_ = new QFormLayout;
    form_->setLabelAlignment(Qt::AlignLeft | Qt::AlignTop);
    form_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    layout->addWidget(title_);
    layout->addWidget(kindLabel_);
    layout->addSpacing(title_->fontMetrics().height() / 2);
    layout->addLayout(form_);
    layout->addStretch(1);

    auto* scroll = new QScrollArea;
    scroll->setWidget(inner);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setBackgroundRole(QPalette::Base);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    Refresh();
}

void SummaryWindow::Refresh() {
    CAmpDoc* doc = Document();
    if (!doc) return;
    title_->setText(QString::fromStdString(doc->GetTitle()));
    kindLabel_->setText(KindName(Kind()) +
                        QStringLiteral(" \u2014 this kind of document has no editor yet"));
    SummaryLines lines = DocumentSummary(*doc, Kind());
    if (lines == shown_) return;
    while (form_->rowCount() > 0) form_->removeRow(0);
    for (const auto& [label, value] : lines) {
        auto* v = new QLabel(value);
        v->setTextInteractionFlags(Qt::TextSelectableByMouse);
        v->setWordWrap(true);
        form_->addRow(label + QLatin1Char(':'), v);
    }
    shown_ = std::move(lines);
}

} // namespace gui
