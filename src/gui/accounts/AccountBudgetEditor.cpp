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
#include "core/DisplayFormat.h"
#include "gui/widgets/FlowLayout.h"
#include "gui/widgets/StoreChangeCoalescer.h"
#include "gui/widgets/WindowTextStyles.h"
#include "history/UsageHistoryStore.h"

namespace qm::gui {

namespace {

// "12.5" for 12.5, "" for no budget.
QString budgetText(double usd) {
    return usd > 0 ? QString::number(usd, 'g', 12) : QString();
}

// "$1.50 of $2.00 (75%)", or "$1.50 (no budget)".
QString useText(double spent, double budget) {
    const std::optional<double> share = budgetShare(spent, budget);
    if (!share) return AccountBudgetEditor::tr("%1 (no budget)").arg(DisplayFormat::money(spent));
    return AccountBudgetEditor::tr("%1 of %2 (%3%)")
        .arg(DisplayFormat::money(spent), DisplayFormat::money(budget),
             DisplayFormat::flooredPercent(*share));
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
      accounts_(accounts),
      history_(history),
      provider_(provider),
      id_(std::move(accountId)),
      now_(orSystemClock(std::move(now))),
      daily_(new QLineEdit(this)),
      monthly_(new QLineEdit(this)),
      alertAt_(new QLineEdit(this)),
      save_(new QPushButton(tr("Save budgets"), this)),
      spend_(WindowText::label({}, this, 0.9)),
      message_(WindowText::label({}, this, 0.9)),
      spendUpdates_(new StoreChangeCoalescer([this] { showSpend(); },
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
            edited_ = true;
            // The error was about the text that just changed.
            if (messageIsError_) showMessage({}, false);
        });
        connect(edit, &QLineEdit::returnPressed, this, &AccountBudgetEditor::save);
    };
    addField(tr("Daily budget"), daily_, "dailyBudget", tr("none"), QStringLiteral("USD"));
    addField(tr("Monthly budget"), monthly_, "monthlyBudget", tr("none"), QStringLiteral("USD"));
    addField(tr("Alert at"), alertAt_, "alertAt", QStringLiteral("80"), QStringLiteral("%"));
    save_->setObjectName(QStringLiteral("saveBudgets"));
    fields->addWidget(save_);
    layout->addLayout(fields);
    spend_->setObjectName(QStringLiteral("budgetSpend"));
    WindowText::setColor(spend_, WindowText::secondary(this));
    layout->addWidget(spend_);
    message_->setObjectName(QStringLiteral("budgetMessage"));
    message_->hide();
    layout->addWidget(message_);

    connect(save_, &QPushButton::clicked, this, &AccountBudgetEditor::save);
    confirmationTimer_.setSingleShot(true);
    confirmationTimer_.setInterval(kConfirmationShownFor);
    connect(&confirmationTimer_, &QTimer::timeout, this, [this] { showMessage({}, false); });
    if (accounts_) {
        connect(accounts_, &AccountStore::changed, this, [this] {
            showStored();
            spendUpdates_->poke();
        });
    }
    // The history changes with every relay request; the spend line follows at most ten times
    // a second.
    if (history_)
        connect(history_, &UsageHistoryStore::changed, spendUpdates_, &StoreChangeCoalescer::poke);
    showStored();
    showSpend();
}

QString AccountBudgetEditor::message() const {
    return message_->isHidden() ? QString() : message_->text();
}

bool AccountBudgetEditor::save() {
    if (!accounts_) return false;
    const std::optional<double> daily = parseAmount(daily_->text());
    if (!daily) {
        showMessage(tr("Daily budget: enter an amount in US dollars, such as 5 or 12.50."), true);
        return false;
    }
    const std::optional<double> monthly = parseAmount(monthly_->text());
    if (!monthly) {
        showMessage(tr("Monthly budget: enter an amount in US dollars, such as 50 or 120.00."),
                    true);
        return false;
    }
    const QString alertText = alertAt_->text().trimmed().remove(QLatin1Char('%')).trimmed();
    bool ok = true;
    const int alertAt = alertText.isEmpty() ? 80 : alertText.toInt(&ok);
    if (!ok) {
        showMessage(tr("Alert at: enter a whole percent from 1 to 100."), true);
        return false;
    }
    if (const std::optional<AccountStoreError> error =
            accounts_->setBudgets(provider_, id_, *daily, *monthly, alertAt)) {
        showMessage(error->description, true);
        return false;
    }
    edited_ = false;
    showStored();
    showMessage(tr("Budgets saved."), false);
    return true;
}

void AccountBudgetEditor::showStored() {
    if (edited_ || !accounts_) return;
    const ApiAccountStorageData data = accounts_->data();
    const auto show = [&](const auto* account) {
        if (!account) return;
        daily_->setText(budgetText(account->dailyBudgetUsd));
        monthly_->setText(budgetText(account->monthlyBudgetUsd));
        alertAt_->setText(QString::number(account->alertThresholdPct));
    };
    if (provider_ == ApiAccountProvider::gemini) {
        show(findAccount(data.geminiAccounts, id_));
    } else if (provider_ == ApiAccountProvider::anthropic) {
        show(findAccount(data.anthropicApiAccounts, id_));
    } else if (provider_ == ApiAccountProvider::openAi) {
        show(findAccount(data.openAiApiAccounts, id_));
    }
}

void AccountBudgetEditor::showSpend() {
    if (!accounts_ || !history_) return;
    const TimeMs now = now_();
    for (const AccountBudgetUse& use : accountBudgetUse(
             accounts_->data(), history_->geminiUsageRecords(), history_->apiUsageRecords(), now)) {
        if (use.id != id_) continue;
        spend_->setText(tr("Today %1 · This month %2")
                            .arg(useText(use.spentTodayUsd, use.dailyBudgetUsd),
                                 useText(use.spentThisMonthUsd, use.monthlyBudgetUsd)));
        // Over a budget the spend is news, not a caption.
        const auto over = [](double spent, double budget) {
            const std::optional<double> share = budgetShare(spent, budget);
            return share && *share >= 100;
        };
        const bool overBudget = over(use.spentTodayUsd, use.dailyBudgetUsd) ||
                                over(use.spentThisMonthUsd, use.monthlyBudgetUsd);
        WindowText::setColor(spend_, overBudget ? WindowText::red() : WindowText::secondary(this));
        return;
    }
}

void AccountBudgetEditor::showMessage(const QString& text, bool isError) {
    message_->setText(text);
    WindowText::setColor(message_, isError ? WindowText::red() : WindowText::green());
    message_->setVisible(!text.isEmpty());
    messageIsError_ = isError && !text.isEmpty();
    // A confirmation has said its piece after a few seconds; an error waits for a change.
    if (!text.isEmpty() && !isError)
        confirmationTimer_.start();
    else
        confirmationTimer_.stop();
}

}  // namespace qm::gui
