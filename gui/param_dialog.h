// The parameter dialog of a node ("Define Node"), generated from its type's parameter table
// (tree/params.h, the table `dendra-cli types` prints), and the node host the desktop program
// installs (tree/node_host.h).
//
// The dialog has the common page (start and duration in seconds, the name, the type's GetInfo
// text) and, when the type has one, its own page titled as the type names it, with one control
// per shown field: a check box, a number box held to the field's range (with the field's choices
// offered beside it when it has some), a seconds box, a text box (an editable list when the
// field has choices), a fixed text, or a list of the choices only. Every control is named by
// its field's key ("start", "duration" and "name" on the common page), so tests find them.
// OK stores the values into the ParamDialog; the tree editor applies them as one undoable step.
// Cancel changes nothing.
//
// Used on the user-interface thread only.
#pragma once

#include "tree/node_host.h"
#include "tree/params.h"

#include <QDialog>

#include <vector>

class QDoubleSpinBox;
class QLineEdit;
class QTabWidget;

namespace gui {

class ParamsDialog : public QDialog {
    Q_OBJECT

public:
    // Shows the values of `values` for a node whose table is `table`.
    ParamsDialog(ParamTable table, const ParamDialog& values, const QString& typeName,
                 QWidget* parent = nullptr);

    // The values as the controls hold them (the fields of hidden and fixed controls as given).
    ParamDialog Values() const;
    QTabWidget* Pages() const { return pages_; }
    // The control of a field by its key ("start", "duration", "name" for the common page).
    QWidget* Control(const QString& key) const;

private:
    ParamTable table_;
    ParamDialog given_;
    QTabWidget* pages_;
    QDoubleSpinBox* start_;
    QDoubleSpinBox* duration_;
    QLineEdit* name_;
    std::vector<QWidget*> controls_; // per table field; null for no control
};

// The desktop program's node host: parameter dialogs, graph windows, the Word's event list.
class GuiNodeHost : public NodeHost {
public:
    bool RunParamsDialog(ProtoType& node, ParamDialog& dialog) override;
    void ShowEventGraph(const std::string& title, float timeScale, CNoteEventList& events) override;
    void ToggleDataEditor(ProtoType& node) override;
    void OpenEventEditor(EventEditorLink& link, CEventTree& events,
                         const std::string& title) override;
};

// Installs the desktop program's node host (once; it lives as long as the program).
void InstallGuiNodeHost();

} // namespace gui
