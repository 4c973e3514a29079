#include "gui/param_dialog.h"

#include "documents/event_list_document.h"
#include "documents/node_graph.h"
#include "gui/graph_window.h"
#include "tree/proto_type.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

namespace gui {

namespace {

QString Label(const ParamField& f) {
    QString l = QString::fromUtf8(f.label);
    if (l.isEmpty()) l = QString::fromUtf8(f.key);
    return l;
}

// Numbers of a field: its range (a table without one takes the type's), decimals for floats.
void SetUpNumber(QDoubleSpinBox* box, const ParamField& f, double scale) {
    double lo = f.min, hi = f.max;
    if (!(hi > lo)) {
        switch (f.type) {
        case ParamType::UInt32:
            lo = 0;
            hi = 4294967295.0;
            break;
        case ParamType::Int32:
            lo = -2147483648.0;
            hi = 2147483647.0;
            break;
        default:
            lo = -1e9;
            hi = 1e9;
        }
    }
    const bool whole = f.type != ParamType::Float && scale == 1.0;
    box->setDecimals(scale != 1.0 ? 3 : whole ? 0 : 4);
    box->setRange(lo * scale, hi * scale);
    box->setAccelerated(true);
    box->setKeyboardTracking(false);
    if (scale != 1.0) box->setSuffix(QStringLiteral(" s"));
}

QDoubleSpinBox* Seconds(double value) {
    auto* box = new QDoubleSpinBox;
    box->setDecimals(3);
    box->setRange(0.0, 4294967.295);
    box->setSuffix(QStringLiteral(" s"));
    box->setValue(value);
    return box;
}

} // namespace

ParamsDialog::ParamsDialog(ParamTable table, const ParamDialog& values, const QString& typeName,
                           QWidget* parent)
    : QDialog(parent), table_(table), given_(values) {
    setObjectName(QStringLiteral("paramsDialog"));
    setWindowTitle(values.title.empty() ? tr("%1 parameters").arg(typeName)
                                        : QString::fromStdString(values.title));
    pages_ = new QTabWidget;
    pages_->setObjectName(QStringLiteral("paramPages"));

    // The common page.
    auto* common = new QWidget;
    auto* form = new QFormLayout(common);
    start_ = Seconds(values.startSeconds);
    start_->setObjectName(QStringLiteral("start"));
    duration_ = Seconds(values.durationSeconds);
    duration_->setObjectName(QStringLiteral("duration"));
    name_ = new QLineEdit(QString::fromStdString(values.name));
    name_->setObjectName(QStringLiteral("name"));
    auto* info = new QPlainTextEdit(QString::fromStdString(values.info));
    info->setObjectName(QStringLiteral("info"));
    info->setReadOnly(true);
    info->setMinimumHeight(fontMetrics().height() * 4);
    form->addRow(tr("Name:"), name_);
    form->addRow(tr("Start:"), start_);
    form->addRow(tr("Duration:"), duration_);
    form->addRow(tr("Type:"), new QLabel(typeName));
    form->addRow(tr("Description:"), info);
    pages_->addTab(common, tr("Common"));

    // The type's page.
    controls_.assign(table.size(), nullptr);
    auto* own = new QWidget;
    auto* ownForm = new QFormLayout(own);
    int shown = 0;
    // Labels a table repeats (one per added note, say) are numbered so the rows can be told apart.
    QHash<QString, int> repeats, seen;
    for (const ParamField& f : table) ++repeats[Label(f)];
    for (size_t i = 0; i < table.size(); ++i) {
        const ParamField& f = table[i];
        const ParamValue v = i < values.fields.size() ? values.fields[i] : ParamValue{};
        const QString key = QString::fromUtf8(f.key);
        QWidget* control = nullptr;
        QWidget* row = nullptr; // what the form shows (the control, or it with a helper)
        switch (f.control) {
        case ParamControl::Hidden:
            break;
        case ParamControl::Check: {
            auto* box = new QCheckBox(Label(f));
            box->setChecked(v.number != 0.0);
            control = box;
            ownForm->addRow(QString(), box);
            ++shown;
            break;
        }
        case ParamControl::Number:
        case ParamControl::Seconds: {
            const double scale = f.control == ParamControl::Seconds ? 0.001 : 1.0;
            auto* box = new QDoubleSpinBox;
            SetUpNumber(box, f, scale);
            box->setValue(v.number);
            control = box;
            row = box;
            if (!f.choices.empty()) {
                // The choices offered beside the number: choosing one sets the number.
                auto* pick = new QComboBox;
                pick->setObjectName(key + QStringLiteral("Choices"));
                pick->addItem(QString());
                int current = 0;
                for (const ParamChoice& c : f.choices) {
                    pick->addItem(QString::fromUtf8(c.label), c.value);
                    if (c.value == static_cast<int>(v.number)) current = pick->count() - 1;
                }
                pick->setCurrentIndex(current);
                connect(pick, &QComboBox::activated, box, [box, pick](int index) {
                    if (index > 0) box->setValue(pick->itemData(index).toInt());
                });
                row = new QWidget;
                auto* h = new QHBoxLayout(row);
                h->setContentsMargins(0, 0, 0, 0);
                h->addWidget(box, 1);
                h->addWidget(pick, 1);
            }
            break;
        }
        case ParamControl::Text: {
            if (!f.choices.empty()) {
                auto* combo = new QComboBox;
                combo->setEditable(true);
                for (const ParamChoice& c : f.choices) combo->addItem(QString::fromUtf8(c.label));
                combo->setCurrentText(QString::fromStdString(v.text));
                control = combo;
            } else {
                auto* edit = new QLineEdit(QString::fromStdString(v.text));
                if (f.max > 0) edit->setMaxLength(static_cast<int>(f.max));
                control = edit;
            }
            row = control;
            break;
        }
        case ParamControl::ReadOnlyText:
            control = new QLabel(QString::fromStdString(v.text));
            row = control;
            break;
        case ParamControl::List: {
            auto* combo = new QComboBox;
            int current = -1;
            for (const ParamChoice& c : f.choices) {
                combo->addItem(QString::fromUtf8(c.label), c.value);
                const bool match = f.type == ParamType::Text
                                       ? v.text == c.label
                                       : static_cast<int>(std::lround(v.number)) == c.value;
                if (match && current < 0) current = combo->count() - 1;
            }
            if (current < 0) {
                // A value none of the choices names (read from a file) stays as it is unless
                // the user picks another.
                combo->addItem(f.type == ParamType::Text ? QString::fromStdString(v.text)
                                                         : QString::number(v.number),
                               static_cast<int>(std::lround(v.number)));
                current = combo->count() - 1;
            }
            combo->setCurrentIndex(current);
            control = combo;
            row = combo;
            break;
        }
        }
        if (control) control->setObjectName(key);
        controls_[i] = control;
        if (row) {
            QString label = Label(f);
            if (repeats.value(label) > 1) {
                const QString n = QString::number(++seen[label]);
                label =
                    label.endsWith(u':') ? label.chopped(1) + u' ' + n + u':' : label + u' ' + n;
            }
            ownForm->addRow(label, row);
            ++shown;
        }
    }
    if (shown > 0) {
        pages_->addTab(own, values.title.empty() ? typeName : QString::fromStdString(values.title));
        pages_->setCurrentIndex(1);
    } else {
        delete own;
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages_);
    layout->addWidget(buttons);
}

QWidget* ParamsDialog::Control(const QString& key) const {
    if (key == QLatin1String("start")) return start_;
    if (key == QLatin1String("duration")) return duration_;
    if (key == QLatin1String("name")) return name_;
    for (size_t i = 0; i < table_.size(); ++i)
        if (controls_[i] && key == QLatin1String(table_[i].key)) return controls_[i];
    return nullptr;
}

ParamDialog ParamsDialog::Values() const {
    ParamDialog out = given_;
    out.startSeconds = start_->value();
    out.durationSeconds = duration_->value();
    out.name = name_->text().toStdString();
    out.fields.resize(table_.size());
    for (size_t i = 0; i < table_.size(); ++i) {
        const ParamField& f = table_[i];
        ParamValue& v = out.fields[i];
        QWidget* c = controls_[i];
        if (!c) continue;
        switch (f.control) {
        case ParamControl::Check:
            v.number = static_cast<QCheckBox*>(c)->isChecked() ? 1.0 : 0.0;
            break;
        case ParamControl::Number:
        case ParamControl::Seconds:
            v.number = static_cast<QDoubleSpinBox*>(c)->value();
            break;
        case ParamControl::Text:
            if (auto* combo = qobject_cast<QComboBox*>(c))
                v.text = combo->currentText().toStdString();
            else
                v.text = static_cast<QLineEdit*>(c)->text().toStdString();
            break;
        case ParamControl::List: {
            auto* combo = static_cast<QComboBox*>(c);
            if (combo->currentIndex() < 0) break;
            v.text = combo->currentText().toStdString();
            v.number = combo->currentData().toInt();
            break;
        }
        case ParamControl::ReadOnlyText:
        case ParamControl::Hidden:
            break;
        }
    }
    return out;
}

// ---- GuiNodeHost ----

bool GuiNodeHost::RunParamsDialog(ProtoType& node, ParamDialog& dialog) {
    ParamsDialog d(node.GetParamTable(), dialog, QString::fromStdString(node.TypeName()),
                   QApplication::activeWindow());
    if (d.exec() != QDialog::Accepted) return false;
    dialog = d.Values();
    return true;
}

void GuiNodeHost::ShowEventGraph(const std::string& title, float timeScale,
                                 CNoteEventList& events) {
    auto* w = new GraphWindow(MakeGraphDocument(title, timeScale, events));
    w->show();
}

void GuiNodeHost::ToggleDataEditor(ProtoType& node) {
    // The note generators' data is what they yield: shown as their event graph.
    node.ShowGraph(false);
}

void GuiNodeHost::OpenEventEditor(EventEditorLink& link, CEventTree& events,
                                  const std::string& title) {
    if (std::unique_ptr<CSELDoc> doc = ToggleLinkedEditor(link, events, title)) {
        auto* w = new EventTableWindow(std::move(doc));
        w->show();
    }
}

void InstallGuiNodeHost() {
    static GuiNodeHost host;
    if (GetNodeHost() != &host) SetNodeHost(&host);
}

} // namespace gui
