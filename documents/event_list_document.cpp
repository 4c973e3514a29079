#include "documents/event_list_document.h"

#include "events/archive.h"
#include "events/event_list.h"
#include "platform/user_messages.h"

CSELDoc::CSELDoc() : own_(std::make_unique<CEventTree>()), events_(own_.get()) {}

CSELDoc::~CSELDoc() {
    ReleaseOwner();
}

uint32_t CSELDoc::GetLength(int) {
    const int32_t length = events_->GetLength(1);
    return length > 0 ? static_cast<uint32_t>(length) : 0;
}

bool CSELDoc::OnNewDocument() {
    ReleaseOwner();
    own_->Clear();
    SetTitle(kNewEventListTitle);
    return CChanDoc::OnNewDocument();
}

bool CSELDoc::ReadDocument(CArchive& ar) {
    ar.ReadU32(); // reserved
    const uint32_t units = ar.ReadU32();
    if (ar.Failed()) {
        platform::MessageBox(kBadEventListMessage);
        return false;
    }
    if (units == 0) {
        platform::MessageBox(kZeroUnitsMessage);
        return false;
    }
    auto read = std::make_unique<CEventTree>();
    read->Serialize(ar);
    if (ar.Failed()) {
        platform::MessageBox(kBadEventListMessage);
        return false;
    }
    ReleaseOwner();
    own_ = std::move(read);
    events_ = own_.get();
    unitsPerBeat_ = units;
    UpdateAllViews(nullptr);
    return true;
}

void CSELDoc::WriteDocument(CArchive& ar) {
    ar.WriteU32(0);
    ar.WriteU32(unitsPerBeat_);
    events_->Serialize(ar);
}

void CSELDoc::OnCloseDocument() {
    ReleaseOwner();
    CChanDoc::OnCloseDocument();
}

void CSELDoc::ReleaseOwner() {
    if (!owner_) return;
    owner_->Detach(this);
    owner_ = nullptr;
    own_->Clear();
    events_ = own_.get();
}

bool CSELDoc::SetUnitsPerBeat(uint32_t u) {
    if (u == 0) return false;
    if (u != unitsPerBeat_ && events_->GetCount() > 0) events_->Rescale(unitsPerBeat_, u);
    if (u != unitsPerBeat_) SetModifiedFlag();
    unitsPerBeat_ = u;
    UpdateAllViews(nullptr);
    return true;
}

void CSELDoc::SetTicksPerBeat(int which, uint32_t value) {
    if (which == kUnitsPerBeat)
        SetUnitsPerBeat(value);
    else
        CChanDoc::SetTicksPerBeat(which, value);
}

void CSELDoc::ChangeTicksPerBeat(uint32_t newUnitsPerBeat) {
    SetUnitsPerBeat(newUnitsPerBeat);
}

void CSELDoc::ReplaceEvents(CNoteEventList& list) {
    events_->Clear();
    for (SongEvent* e = list.head; e; e = e->next) events_->AddCopyAt(*e, e->time);
    SetModifiedFlag();
    UpdateAllViews(nullptr);
}

void CSELDoc::ReplaceEvents(CEventTree& events) {
    if (&events == events_) return;
    events_->Clear();
    for (SongEvent* e = events.First(); e; e = events.Next()) {
        events_->AddCopyAt(*e, events.CurrentTime());
    }
    SetModifiedFlag();
    UpdateAllViews(nullptr);
}

// ---- the Word's editor ------------------------------------------------------------------------

std::unique_ptr<CSELDoc> ToggleLinkedEditor(EventEditorLink& link, CEventTree& events,
                                            const std::string& title, uint32_t unitsPerBeat) {
    if (link.Editor()) {
        link.Close();
        return nullptr;
    }
    auto doc = std::make_unique<CSELDoc>();
    doc->SetTitle(title);
    if (unitsPerBeat) doc->SetUnitsPerBeat(unitsPerBeat);
    doc->events_ = &events;
    doc->owner_ = &link;
    link.Attach(doc.get());
    return doc;
}
