#include "gui/accounts/AccountBudgetEditor.h"

#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "accounts/AccountStore.h"
#include "alerts/AccountSpend.h"
#include "gui/widgets/FlowLayout.h"
#include "gui/widgets/StoreChangeCoalescer.h"
#include "gui/widgets/WindowTextStyles.h"
#include "history/UsageHistoryStore.h"

namespace qm::gui {

namespace {

QString money(double usd) {
    return QStringLiteral("$") + QString::number(usd, 'f', 2);
}

// "12.5" for 12.5, "" for no budget.
QString budgetText(double usd) {
    return usd > 0 ? QString::number(usd, 'g', 12) : QString();
}

// "$1.50 of $2.00 (75%)", or "$1.50 (no budget)".
QString useText(double spent, double budget) {
    const std::optional<double> share = budgetShare(spent, budget);
    if (!share) return money(spent) + QStringLiteral(" (no budget)");
    return money(spent) + QStringLiteral(" of ") + money(budget) + QStringLiteral(" (") +
           QString::number(*share, 'f', 0) + QStringLiteral("%)");
}

// An empty field is no budget. Both the C and the user's decimal separator are accepted.
std::optional<double> parseAmount(QString text) {
    text = text.trimmed();
    if (text.startsWith(QLatin1Char('$'))) text = text.mid(1).trimmed();
    if (text.isEmpty()) return 0.0;
    bool ok = false;
    double value = QLocale::c().toDouble(text, &ok);
    if (!ok) value = QLocale().toDouble(text, &ok);
    if (!ok || !std::isfinite(value)) return std::nullopt;
    return value;
}

template <typename Account>
const Account* findAccount(const std::vector<Account>& accounts, const QString& id) {
    for (const Account& account : accounts)
        if (account.id == id) return &account;
    return nullptr;
}

}  // namespace

AccountBudgetEditor::AccountBudgetEditor(AccountStore* accounts, UsageHistoryStore* history,
                                         ApiAccountProvider provider, QString accountId, Clock now,
                                         QWidget* parent)
    : QWidget(parent),
      m_accounts(accounts),
      m_history(history),
      m_provider(provider),
      m_id(std::move(accountId)),
      m_now(std::move(now)),
      m_daily(new QLineEdit(this)),
      m_monthly(new QLineEdit(this)),
      m_alertAt(new QLineEdit(this)),
      m_save(new QPushButton(tr("Save budgets"), this)),
      m_spend(WindowText::label({}, this, 0.9)),
      m_message(WindowText::label({}, this, 0.9)),
      m_spendUpdates(new StoreChangeCoalescer([this] { showSpend(); },
                                              StoreChangeCoalescer::kDefaultInterval, this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->setSpacing(4);
    // Each field with its caption wraps as one piece when the row is narrow or the font large.
    auto* fields = new FlowLayout(nullptr, 12);
    const auto addField = [&](const QString& label, QLineEdit* edit, const char* name,
                              const QString& placeholder, const QString& unit) {
        auto* group = new QWidget(this);
        auto* row = new QHBoxLayout(group);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(6);
        auto* caption = new QLabel(label, group);
        caption->setBuddy(edit);
        edit->setParent(group);
        edit->setObjectName(QLatin1String(name));
        edit->setPlaceholderText(placeholder);
        // Room for an amount such as 1200.00 in whatever font is in use.
        edit->setMaximumWidth(
            std::max(90, edit->fontMetrics().horizontalAdvance(QStringLiteral("0000.00")) + 16));
        row->addWidget(caption);
        row->addWidget(edit);
        if (!unit.isEmpty()) row->addWidget(new QLabel(unit, group));
        fields->addWidget(group);
        connect(edit, &QLineEdit::textEdited, this, [this] {
            m_edited = true;
            // The error was about the text that just changed.
            if (m_messageIsError) showMessage({}, false);
        });
        connect(edit, &QLineEdit::returnPressed, this, &AccountBudgetEditor::save);
    };
    addField(tr("Daily budget"), m_daily, "dailyBudget", tr("none"), QStringLiteral("USD"));
    addField(tr("Monthly budget"), m_monthly, "monthlyBudget", tr("none"), QStringLiteral("USD"));
    addField(tr("Alert at"), m_alertAt, "alertAt", QStringLiteral("80"), QStringLiteral("%"));
    m_save->setObjectName(QStringLiteral("saveBudgets"));
    fields->addWidget(m_save);
    layout->addLayout(fields);
    m_spend->setObjectName(QStringLiteral("budgetSpend"));
    WindowText::setColor(m_spend, WindowText::secondary(this));
    layout->addWidget(m_spend);
    m_message->setObjectName(QStringLiteral("budgetMessage"));
    m_message->hide();
    layout->addWidget(m_message);

    connect(m_save, &QPushButton::clicked, this, &AccountBudgetEditor::save);
    m_confirmationTimer.setSingleShot(true);
    m_confirmationTimer.setInterval(kConfirmationShownFor);
    connect(&m_confirmationTimer, &QTimer::timeout, this, [this] { showMessage({}, false); });
    if (m_accounts) {
        connect(m_accounts, &AccountStore::changed, this, [this] {
            showStored();
            m_spendUpdates->poke();
        });
    }
    // The history changes with every relay request; the spend line follows at most ten times
    // a second.
    if (m_history)
        connect(m_history, &UsageHistoryStore::changed, m_spendUpdates,
                &StoreChangeCoalescer::poke);
    showStored();
    showSpend();
}

QString AccountBudgetEditor::message() const {
    return m_message->isHidden() ? QString() : m_message->text();
}

bool AccountBudgetEditor::save() {
    if (!m_accounts) return false;
    const std::optional<double> daily = parseAmount(m_daily->text());
    if (!daily) {
        showMessage(tr("Daily budget: enter an amount in US dollars, such as 5 or 12.50."), true);
        return false;
    }
    const std::optional<double> monthly = parseAmount(m_monthly->text());
    if (!monthly) {
        showMessage(tr("Monthly budget: enter an amount in US dollars, such as 50 or 120.00."),
                    true);
        return false;
    }
    const QString alertText = m_alertAt->text().trimmed().remove(QLatin1Char('%')).trimmed();
    bool ok = true;
    const int alertAt = alertText.isEmpty() ? 80 : alertText.toInt(&ok);
    if (!ok) {
        showMessage(tr("Alert at: enter a whole percent from 1 to 100."), true);
        return false;
    }
    if (const std::optional<AccountStoreError> error =
            m_accounts->setBudgets(m_provider, m_id, *daily, *monthly, alertAt)) {
        showMessage(error->description, true);
        return false;
    }
    m_edited = false;
    showStored();
    showMessage(tr("Budgets saved."), false);
    return true;
}

void AccountBudgetEditor::showStored() {
    if (m_edited || !m_accounts) return;
    const ApiAccountStorageData data = m_accounts->data();
    const auto show = [&](const auto* account) {
        if (!account) return;
        m_daily->setText(budgetText(account->dailyBudgetUsd));
        m_monthly->setText(budgetText(account->monthlyBudgetUsd));
        m_alertAt->setText(QString::number(account->alertThresholdPct));
    };
    if (m_provider == ApiAccountProvider::gemini) {
        show(findAccount(data.geminiAccounts, m_id));
    } else if (m_provider == ApiAccountProvider::anthropic) {
        show(findAccount(data.anthropicApiAccounts, m_id));
    } else if (m_provider == ApiAccountProvider::openAI) {
        show(findAccount(data.openAiApiAccounts, m_id));
    }
}

void AccountBudgetEditor::showSpend() {
    if (!m_accounts || !m_history) return;
    const TimeMs now = m_now ? m_now() : QDateTime::currentMSecsSinceEpoch();
    for (const AccountBudgetUse& use :
         accountBudgetUse(m_accounts->data(), m_history->geminiUsageRecords(),
                          m_history->apiUsageRecords(), now)) {
        if (use.id != m_id) continue;
        m_spend->setText(tr("Today %1 · This month %2")
                             .arg(useText(use.spentTodayUsd, use.dailyBudgetUsd),
                                  useText(use.spentThisMonthUsd, use.monthlyBudgetUsd)));
        // Over a budget the spend is news, not a caption.
        const auto over = [](double spent, double budget) {
            const std::optional<double> share = budgetShare(spent, budget);
            return share && *share >= 100;
        };
        const bool overBudget = over(use.spentTodayUsd, use.dailyBudgetUsd) ||
                                over(use.spentThisMonthUsd, use.monthlyBudgetUsd);
        WindowText::setColor(m_spend, overBudget ? WindowText::red() : WindowText::secondary(this));
        return;
    }
}

void AccountBudgetEditor::showMessage(const QString& text, bool isError) {
    m_message->setText(text);
    WindowText::setColor(m_message, isError ? WindowText::red() : WindowText::green());
    m_message->setVisible(!text.isEmpty());
    m_messageIsError = isError && !text.isEmpty();
    // A confirmation has said its piece after a few seconds; an error waits for a change.
    if (!text.isEmpty() && !isError)
        m_confirmationTimer.start();
    else
        m_confirmationTimer.stop();
}

}  // namespace qm::gui
