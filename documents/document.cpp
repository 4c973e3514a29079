#include "documents/document.h"

#include "events/archive.h"
#include "platform/thread_check.h"
#include "platform/user_messages.h"

#include <algorithm>

namespace {
CDocListener* g_listener = nullptr;
}

CAmpDoc::CAmpDoc() {
    history_.SetListener([this] { modified_ = !history_.IsClean(); });
}

CAmpDoc::~CAmpDoc() = default;

void CAmpDoc::SetListener(CDocListener* listener) {
    g_listener = listener;
}

CDocListener* CAmpDoc::Listener() {
    return g_listener;
}

void CAmpDoc::SetTitle(const std::string& title) {
    title_ = title;
}

void CAmpDoc::SetPathName(const std::string& path) {
    path_ = path;
}

void CAmpDoc::SetModifiedFlag(bool modified) {
    DENDRA_UI_THREAD();
    if (history_.Busy()) return; // the stack sets the flag when the command is done
    if (modified)
        history_.MarkChangedOutside();
    else
        history_.SetClean();
    modified_ = modified;
}

void CAmpDoc::AddView(CDocView* view) {
    DENDRA_UI_THREAD();
    if (view && std::find(views_.begin(), views_.end(), view) == views_.end())
        views_.push_back(view);
}

void CAmpDoc::RemoveView(CDocView* view) {
    DENDRA_UI_THREAD();
    views_.erase(std::remove(views_.begin(), views_.end(), view), views_.end());
}

void CAmpDoc::UpdateAllViews(CDocView* sender, long hint) {
    DENDRA_UI_THREAD();
    // A view may detach itself while it is told; walk a copy.
    std::vector<CDocView*> views = views_;
    for (CDocView* v : views)
        if (v != sender) v->OnUpdate(sender, hint);
}

bool CAmpDoc::OnNewDocument() {
    SetModifiedFlag(false);
    return true;
}

bool CAmpDoc::OnOpenDocument(const std::string& path) {
    CArchive ar;
    std::string error;
    if (!CArchive::LoadFile(path, ar, &error)) {
        platform::Messages().Show(error, platform::MessageKind::Error);
        return false;
    }
    if (!ReadDocument(ar)) return false;
    SetPathName(path);
    history_.Clear();
    SetModifiedFlag(false);
    return true;
}

bool CAmpDoc::OnSaveDocument(const std::string& path) {
    DENDRA_UI_THREAD();
    CArchive ar;
    WriteDocumentTo(path, ar);
    if (ar.Failed()) return false; // the document said why; nothing was written
    std::string error;
    if (!ar.SaveFile(path, &error)) {
        platform::Messages().Show(error, platform::MessageKind::Error);
        return false;
    }
    SetModifiedFlag(false);
    if (g_listener) g_listener->DocumentSaved(*this);
    return true;
}

void CAmpDoc::OnCloseDocument() {
    DENDRA_UI_THREAD();
    if (g_listener) g_listener->DocumentClosed(*this);
}

bool CAmpDoc::ReadDocument(CArchive&) {
    return true;
}

void CAmpDoc::WriteDocument(CArchive&) {}

void CAmpDoc::WriteDocumentTo(const std::string&, CArchive& ar) {
    WriteDocument(ar);
}

bool CAmpDoc::LoadFromMemory(const void* data, size_t size) {
    CArchive ar(data, size);
    if (!ReadDocument(ar)) return false;
    history_.Clear();
    return true;
}
