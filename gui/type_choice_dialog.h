// The type-choice dialog "Add a Function to a leaf.": which type a Null becomes.
//
// Over the tree editor's TypeChoice model (editing/tree_editor.h): the drop-down "Function
// SubSet" of the registry's families ("All Types" first), the list "Function Name" of the chosen
// family's types in registry order, and a filter box, which has the focus, narrowing the list as
// one types (names containing the text, those beginning with it first, case ignored), so that
// typing "arp" and Enter defines an Arpeggiate. The selected type's GetInfo text is shown under
// the list. "Add From File" closes the dialog asking for a tree file instead.
//
// Used on the user-interface thread only.
#pragma once

#include "editing/tree_editor.h"

#include <QDialog>
#include <QStringList>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;

namespace gui {

class TypeChoiceDialog : public QDialog {
    Q_OBJECT

public:
    explicit TypeChoiceDialog(QWidget* parent = nullptr);

    // The family, the filter, the name (tests and the screenshots drive the dialog so).
    void ChooseFamily(int index);
    void SetFilter(const QString& text);
    // The names the list shows now, in order.
    QStringList Shown() const;
    // Selects a shown name; false when it is not shown.
    bool ChooseName(const QString& name);
    // The chosen type ("" when none is shown).
    QString Chosen() const;
    // True when the dialog closed through "Add From File".
    bool FromFile() const { return fromFile_; }
    // The GetInfo text of a type ("" for an unknown name).
    static QString InfoOf(const QString& typeName);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Fill();
    void ShowInfo();

    TypeChoice model_;
    QComboBox* family_;
    QLineEdit* filter_;
    QListWidget* names_;
    QLabel* info_;
    bool fromFile_ = false;
};

} // namespace gui
