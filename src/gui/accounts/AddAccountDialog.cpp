#include "gui/accounts/AddAccountDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/widgets/WindowBehaviour.h"
#include "gui/widgets/WindowTextStyles.h"
#include "providers/ProviderUsageText.h"

namespace qm::gui {

AddAccountDialog::AddAccountDialog(ApiAccountProvider provider, AddFunction add, QWidget* parent)
    : QDialog(parent),
      add_(std::move(add)),
      alias_(new QLineEdit(this)),
      apiKey_(new QLineEdit(this)),
      detail_(new QLineEdit(this)),
      error_(WindowText::label({}, this, 0.9)) {
    const QString title = tr("Add %1 Account").arg(ProviderUsageText::displayName(provider));
    setWindowTitle(title);
    setModal(true);
    setObjectName(QStringLiteral("addAccountDialog"));
    setMinimumWidth(420);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(WindowText::label(title, this, 1.2, true));
    auto* form = new QFormLayout;
    alias_->setObjectName(QStringLiteral("aliasField"));
    apiKey_->setObjectName(QStringLiteral("apiKeyField"));
    apiKey_->setEchoMode(QLineEdit::Password);
    apiKey_->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText |
                                 Qt::ImhNoAutoUppercase);
    detail_->setObjectName(QStringLiteral("detailField"));
    form->addRow(tr("Alias"), alias_);
    form->addRow(tr("API Key"), apiKey_);
    form->addRow(ProviderUsageText::detailLabel(provider), detail_);
    layout->addLayout(form);

    error_->setObjectName(QStringLiteral("errorLabel"));
    WindowText::setColor(error_, WindowText::red());
    error_->hide();
    layout->addWidget(error_);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    QPushButton* addButton = buttons->addButton(tr("Add"), QDialogButtonBox::AcceptRole);
    addButton->setObjectName(QStringLiteral("addButton"));
    addButton->setDefault(true);
    layout->addWidget(buttons);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(addButton, &QPushButton::clicked, this, &AddAccountDialog::submit);
    // An error is about what was typed; typing again makes it stale.
    for (QLineEdit* field : {alias_, apiKey_, detail_})
        connect(field, &QLineEdit::textChanged, error_, &QWidget::hide);
    WindowBehaviour::install(this);
}

void AddAccountDialog::submit() {
    const QString detail = detail_->text();
    const std::optional<QString> error =
        add_(alias_->text(), apiKey_->text(),
             detail.isEmpty() ? std::nullopt : std::optional<QString>(detail));
    if (!error) {
        accept();
        return;
    }
    error_->setText(*error);
    error_->show();
}

void AddAccountDialog::done(int result) {
    // Nothing of the key stays behind in the widget once the dialog is gone.
    apiKey_->clear();
    QDialog::done(result);
}

}  // namespace qm::gui
