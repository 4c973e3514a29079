// The user-interface services nodes call: parameter dialogs, event graphs, data editors.
//
// The GUI installs one NodeHost at start-up; without one (command line, tests) dialogs are not
// shown (Params leaves the node unchanged) and Display shows nothing. Questions and message
// boxes go through platform/user_messages.h instead.
#pragma once

#include "tree/params.h"

#include <memory>
#include <string>

class CNoteEventList;
class CEventTree;
class EventWave;
class EventEditorLink;
class ProtoType;

class NodeHost {
public:
    virtual ~NodeHost() = default;
    // Shows the standard parameter dialog (common page plus the type's own page); true on OK,
    // with the edited values left in `dialog`.
    virtual bool RunParamsDialog(ProtoType& node, ParamDialog& dialog) = 0;
    // Opens a new event-list window titled `title` showing `events` (which the window copies).
    virtual void ShowEventGraph(const std::string& title, float timeScale,
                                CNoteEventList& events) = 0;
    // Opens (or closes, when open) the data editor of a data-holding node (notes, sets).
    virtual void ToggleDataEditor(ProtoType& node) = 0;
    // Opens a Word's event editor titled `title`: an editor window on the Word's own `events`,
    // attached to `link` (the event-list document, see ToggleLinkedEditor). The host owns the
    // window; the Word closes it through the link (the editor then holds an empty store of its
    // own) when the Word is cut or destroyed, so the editor never outlives the events it edits.
    virtual void OpenEventEditor(EventEditorLink& link, CEventTree& events,
                                 const std::string& title) = 0;
    // Opens a wave window titled `title` on a wave node's sound, replacing the one that node
    // showed before; ForgetWave closes it (the node is going). Hosts without wave windows
    // ignore both.
    virtual void ShowWave(ProtoType& /*node*/, EventWave& /*wave*/, const std::string& /*title*/) {}
    virtual void ForgetWave(ProtoType& /*node*/) {}
};

NodeHost* GetNodeHost();
// Installs the host (null: none); returns the previous one. The caller keeps ownership.
NodeHost* SetNodeHost(NodeHost* host);
