#include "gui/type_choice_dialog.h"

#include "tree/registry.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace gui {

TypeChoiceDialog::TypeChoiceDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("typeChoiceDialog"));
    setWindowTitle(QString::fromUtf8(TypeChoice::kTitle));

    family_ = new QComboBox;
    family_->setObjectName(QStringLiteral("functionSubSet"));
    for (const std::string& f : model_.Families()) family_->addItem(QString::fromStdString(f));
    filter_ = new QLineEdit;
    filter_->setObjectName(QStringLiteral("functionFilter"));
    filter_->setPlaceholderText(tr("Type to narrow the list"));
    filter_->setClearButtonEnabled(true);
    names_ = new QListWidget;
    names_->setObjectName(QStringLiteral("functionName"));
    names_->setMinimumHeight(fontMetrics().height() * 12);
    info_ = new QLabel;
    info_->setObjectName(QStringLiteral("functionInfo"));
    info_->setWordWrap(true);
    info_->setMinimumHeight(fontMetrics().height() * 4);
    info_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    info_->setFrameShape(QFrame::StyledPanel);
    info_->setMargin(4);

    auto* form = new QFormLayout;
    form->addRow(QString::fromUtf8(TypeChoice::kFamilyLabel), family_);
    form->addRow(tr("Filter"), filter_);
    auto* nameLabel = new QLabel(QString::fromUtf8(TypeChoice::kNameLabel));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QPushButton* fromFile = buttons->addButton(QString::fromUtf8(TypeChoice::kFromFileText),
                                               QDialogButtonBox::ActionRole);
    fromFile->setObjectName(QStringLiteral("addFromFile"));
    // Enter in the filter box takes the chosen name.
    fromFile->setAutoDefault(false);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(nameLabel);
    layout->addWidget(names_, 1);
    layout->addWidget(info_);
    layout->addWidget(buttons);

    connect(family_, &QComboBox::currentIndexChanged, this, [this](int i) {
        model_.ChooseFamily(i);
        Fill();
    });
    connect(filter_, &QLineEdit::textChanged, this, &TypeChoiceDialog::Fill);
    connect(names_, &QListWidget::currentRowChanged, this, &TypeChoiceDialog::ShowInfo);
    connect(names_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(fromFile, &QPushButton::clicked, this, [this] {
        fromFile_ = true;
        accept();
    });
    Fill();
    filter_->setFocus();
    resize(sizeHint().width() + fontMetrics().averageCharWidth() * 10, sizeHint().height());
}

void TypeChoiceDialog::ChooseFamily(int index) {
    family_->setCurrentIndex(index);
}

void TypeChoiceDialog::SetFilter(const QString& text) {
    filter_->setText(text);
}

void TypeChoiceDialog::Fill() {
    const QString filter = filter_->text().trimmed();
    QStringList first, rest;
    for (const std::string& n : model_.Names()) {
        const QString name = QString::fromStdString(n);
        if (filter.isEmpty() || name.startsWith(filter, Qt::CaseInsensitive))
            first << name;
        else if (name.contains(filter, Qt::CaseInsensitive))
            rest << name;
    }
    names_->clear();
    names_->addItems(first + rest);
    if (names_->count() > 0) names_->setCurrentRow(0);
    ShowInfo();
}

void TypeChoiceDialog::ShowInfo() {
    info_->setText(InfoOf(Chosen()));
}

QStringList TypeChoiceDialog::Shown() const {
    QStringList out;
    for (int i = 0; i < names_->count(); ++i) out << names_->item(i)->text();
    return out;
}

bool TypeChoiceDialog::ChooseName(const QString& name) {
    for (int i = 0; i < names_->count(); ++i) {
        if (names_->item(i)->text() == name) {
            names_->setCurrentRow(i);
            return true;
        }
    }
    return false;
}

QString TypeChoiceDialog::Chosen() const {
    const QListWidgetItem* item = names_->currentItem();
    return item ? item->text() : QString();
}

QString TypeChoiceDialog::InfoOf(const QString& typeName) {
    if (typeName.isEmpty()) return {};
    if (const NodeFactoryEntry* entry = FindNodeType(typeName.toStdString()))
        return QString::fromUtf8(entry->info->info);
    if (const RegistryEntry* entry = Registry().Find(typeName.toStdString()))
        return tr("From the effect library %1.").arg(QString::fromStdString(entry->library));
    return {};
}

void TypeChoiceDialog::keyPressEvent(QKeyEvent* event) {
    // Up and Down in the filter box move through the list.
    if (filter_->hasFocus() && (event->key() == Qt::Key_Down || event->key() == Qt::Key_Up)) {
        const int row = names_->currentRow() + (event->key() == Qt::Key_Down ? 1 : -1);
        if (row >= 0 && row < names_->count()) names_->setCurrentRow(row);
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace gui
