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
      m_add(std::move(add)),
      m_alias(new QLineEdit(this)),
      m_apiKey(new QLineEdit(this)),
      m_detail(new QLineEdit(this)),
      m_error(WindowText::label({}, this, 0.9)) {
    const QString title = tr("Add %1 Account").arg(ProviderUsageText::displayName(provider));
    setWindowTitle(title);
    setModal(true);
    setObjectName(QStringLiteral("addAccountDialog"));
    setMinimumWidth(420);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(WindowText::label(title, this, 1.2, true));
    auto* form = new QFormLayout;
    m_alias->setObjectName(QStringLiteral("aliasField"));
    m_apiKey->setObjectName(QStringLiteral("apiKeyField"));
    m_apiKey->setEchoMode(QLineEdit::Password);
    m_apiKey->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText |
                                  Qt::ImhNoAutoUppercase);
    m_detail->setObjectName(QStringLiteral("detailField"));
    form->addRow(tr("Alias"), m_alias);
    form->addRow(tr("API Key"), m_apiKey);
    form->addRow(ProviderUsageText::detailLabel(provider), m_detail);
    layout->addLayout(form);

    m_error->setObjectName(QStringLiteral("errorLabel"));
    WindowText::setColor(m_error, WindowText::red());
    m_error->hide();
    layout->addWidget(m_error);

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
    for (QLineEdit* field : {m_alias, m_apiKey, m_detail})
        connect(field, &QLineEdit::textChanged, m_error, &QWidget::hide);
    WindowBehaviour::install(this);
}

void AddAccountDialog::submit() {
    const QString detail = m_detail->text();
    const std::optional<QString> error =
        m_add(m_alias->text(), m_apiKey->text(),
              detail.isEmpty() ? std::nullopt : std::optional<QString>(detail));
    if (!error) {
        accept();
        return;
    }
    m_error->setText(*error);
    m_error->show();
}

void AddAccountDialog::done(int result) {
    // Nothing of the key stays behind in the widget once the dialog is gone.
    m_apiKey->clear();
    QDialog::done(result);
}

}  // namespace qm::gui
