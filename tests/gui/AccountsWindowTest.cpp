#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QToolButton>

#include "accounts/AccountStore.h"
#include "accounts/MemorySecretBackend.h"
#include "gui/accounts/AccountBudgetEditor.h"
#include "gui/accounts/AccountListModel.h"
#include "gui/accounts/AccountRowWidget.h"
#include "gui/accounts/AccountsWindow.h"
#include "gui/accounts/AddAccountDialog.h"
#include "gui/relay/RelayToolbarStatus.h"
#include "gui/widgets/LabelledFigure.h"
#include "gui/widgets/WindowTextStyles.h"
#include "history/UsageHistoryStore.h"
#include "relay/GeminiRelayStore.h"
#include "support/FakeProviderServer.h"
#include "support/QtPrinters.h"
#include "support/Screenshots.h"
#include "support/TempDir.h"
#include "support/TestTimes.h"
#include "support/WriteBlocker.h"

namespace qm::gui {
namespace {

using P = ApiAccountProvider;
using test::kNow;

class AccountsWindowTest : public ::testing::Test {
protected:
    AccountsWindowTest() {
        AccountsWindow::Options options;
        options.endpoints.gemini = gemini->baseUrl();
        options.endpoints.openAi = openAi->baseUrl();
        options.endpoints.apiTimeout = std::chrono::seconds(5);
        options.endpoints.geminiTimeout = std::chrono::seconds(5);
        options.now = [] { return kNow + 90'000; };
        window = std::make_unique<AccountsWindow>(
            &accounts, &relay, &history, [this](const QString& id) { opened << id; }, nullptr,
            options);
        window->show();
    }

    template <typename T>
    T* child(QObject* parent, const char* name) {
        T* found = parent->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    template <typename T>
    T* child(const char* name) {
        return child<T>(window.get(), name);
    }
    std::vector<AccountRowWidget*> rows() {
        // The rows' places are those of the layout after the changes just made.
        for (int i = 0; i < 3; ++i)
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        std::vector<AccountRowWidget*> shown;
        for (AccountRowWidget* row : window->findChildren<AccountRowWidget*>()) {
            if (!row->isHidden()) shown.push_back(row);
        }
        // In the order of the list, top to bottom.
        std::sort(shown.begin(), shown.end(), [](auto* a, auto* b) { return a->y() < b->y(); });
        return shown;
    }
    bool badge(AccountRowWidget* row, const char* name) {
        return !child<QLabel>(row, name)->isHidden();
    }
    void add(P provider, const QString& alias, const QString& key) {
        ASSERT_FALSE(accounts.addAccount(provider, alias, key, std::nullopt));
    }
    QStringList labels(QWidget* in, const char* name) {
        QStringList texts;
        for (QLabel* label : in->findChildren<QLabel*>(QString::fromLatin1(name))) {
            texts << label->text();
        }
        return texts;
    }

    test::TempDir dir;
    std::shared_ptr<MemorySecretBackend> secrets = std::make_shared<MemorySecretBackend>();
    AccountStore accounts{AccountConfigStore(AccountConfigStore::pathIn(dir.path())),
                          KeychainStore(secrets), [] { return kNow; }};
    UsageHistoryStore history{UsageHistoryFileStore(UsageHistoryFileStore::pathIn(dir.path())),
                              [] { return kNow; }};
    GeminiRelayStore relay{GeminiRelayEnvironment{}};
    std::unique_ptr<test::FakeProviderServer> gemini =
        test::FakeProviderServer::playing(test::FakeProvider::gemini, "AIza-good");
    std::unique_ptr<test::FakeProviderServer> openAi =
        test::FakeProviderServer::playing(test::FakeProvider::openAi, "sk-admin-good");
    QStringList opened;
    std::unique_ptr<AccountsWindow> window;
};

TEST_F(AccountsWindowTest, EmptyStatesRelayButtonAndKeyStorage) {
    EXPECT_EQ(window->windowTitle(), QStringLiteral("API Accounts"));
    EXPECT_EQ(child<QLabel>("emptyLabel")->text(), QStringLiteral("No Gemini accounts"));
    EXPECT_TRUE(child<QLabel>("emptyLabel")->isVisible());
    EXPECT_TRUE(child<RelayToolbarStatus>("relayStatus")->isVisible());
    EXPECT_EQ(child<RelayToolbarStatus>("relayStatus")->text(), QStringLiteral("Relay stopped"));
    EXPECT_EQ(child<QLabel>("keyStorageLabel")->text(),
              QStringLiteral("Keys are kept in memory only and are lost when the program ends."));
    QTest::mouseClick(child<QPushButton>("relayButton"), Qt::LeftButton);
    EXPECT_EQ(opened, QStringList{QStringLiteral("relay")});
    test::saveWindowShot(*window, QStringLiteral("accounts-empty"), {640, 420});

    child<QTabBar>("providerPicker")->setCurrentIndex(3);
    EXPECT_EQ(window->provider(), P::grok);
    EXPECT_EQ(child<QLabel>("emptyLabel")->text(), QStringLiteral("No Grok accounts"));
    EXPECT_FALSE(child<QPushButton>("relayButton")->isVisible());
    EXPECT_FALSE(child<RelayToolbarStatus>("relayStatus")->isVisible());
}

TEST_F(AccountsWindowTest, AddDialogKeepsFailuresOpenAndNeverShowsTheKey) {
    QTest::mouseClick(child<QPushButton>("emptyAddButton"), Qt::LeftButton);
    AddAccountDialog* dialog = window->addDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Add Gemini Account"));
    auto* key = child<QLineEdit>(dialog, "apiKeyField");
    EXPECT_EQ(key->echoMode(), QLineEdit::Password);
    test::saveWindowShot(*dialog, QStringLiteral("accounts-add-dialog"), {420, 200});

    // Spaces only: the alias is missing, whatever the key.
    QTest::keyClicks(child<QLineEdit>(dialog, "aliasField"), QStringLiteral("   "));
    QTest::mouseClick(child<QPushButton>(dialog, "addButton"), Qt::LeftButton);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(child<QLabel>(dialog, "errorLabel")->text(), QStringLiteral("Alias is required."));
    EXPECT_FALSE(child<QLabel>(dialog, "errorLabel")->isHidden());

    // Typing the alias makes the error stale.
    QTest::keyClicks(child<QLineEdit>(dialog, "aliasField"), QStringLiteral("work"));
    EXPECT_TRUE(child<QLabel>(dialog, "errorLabel")->isHidden());
    QTest::keyClicks(key, QStringLiteral("AIza-secret-value-123"));
    QTest::keyClicks(child<QLineEdit>(dialog, "detailField"), QStringLiteral("proj-7"));
    QTest::keyClick(key, Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(key->text().isEmpty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->addDialog() == nullptr; }));

    ASSERT_EQ(rows().size(), 1u);
    AccountRowWidget* row = rows()[0];
    EXPECT_EQ(child<QLabel>(row, "aliasLabel")->text(), QStringLiteral("work"));
    EXPECT_TRUE(badge(row, "primaryBadge"));
    EXPECT_TRUE(badge(row, "selectedBadge"));
    EXPECT_FALSE(badge(row, "inactiveBadge"));
    EXPECT_EQ(child<QLabel>(row, "keyPreviewLabel")->text(), QStringLiteral("AIza****-123"));
    EXPECT_EQ(child<QLabel>(row, "detailLabel")->text(), QStringLiteral("Project ID: proj-7"));
    for (QLabel* label : window->findChildren<QLabel*>()) {
        EXPECT_FALSE(label->text().contains(QStringLiteral("secret-value")))
            << label->objectName().toStdString();
    }

    // A failing secret store keeps the dialog open with its error.
    window->openAddDialog();
    dialog = window->addDialog();
    secrets->failWith(SecretStatus{-1, QStringLiteral("locked")});
    QTest::keyClicks(child<QLineEdit>(dialog, "aliasField"), QStringLiteral("second"));
    QTest::keyClicks(child<QLineEdit>(dialog, "apiKeyField"), QStringLiteral("AIza-other-key"));
    QTest::mouseClick(child<QPushButton>(dialog, "addButton"), Qt::LeftButton);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(child<QLabel>(dialog, "errorLabel")
                    ->text()
                    .startsWith(QStringLiteral("Keychain operation failed: ")));
    EXPECT_EQ(rows().size(), 1u);
    QTest::mouseClick(child<QPushButton>(dialog, "cancelButton"), Qt::LeftButton);
    EXPECT_TRUE(child<QLineEdit>(dialog, "apiKeyField")->text().isEmpty());
}

TEST_F(AccountsWindowTest, RowControlsFollowTheStoreAndDeletingMovesSelected) {
    QAbstractItemModelTester tester(window->accountModel(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    add(P::gemini, QStringLiteral("first"), QStringLiteral("AIza-1111111111"));
    add(P::gemini, QStringLiteral("second"), QStringLiteral("AIza-2222222222"));
    add(P::gemini, QStringLiteral("third"), QStringLiteral("AIza-3333333333"));
    ASSERT_EQ(rows().size(), 3u);
    AccountRowWidget* second = rows()[1];
    EXPECT_FALSE(badge(second, "selectedBadge"));
    EXPECT_FALSE(badge(second, "primaryBadge"));

    QTest::mouseClick(child<QCheckBox>(second, "activeSwitch"), Qt::LeftButton);
    EXPECT_TRUE(badge(second, "inactiveBadge"));
    EXPECT_FALSE(accounts.summaries(P::gemini)[1].isActive);
    QTest::mouseClick(child<QPushButton>(second, "primaryButton"), Qt::LeftButton);
    EXPECT_TRUE(badge(second, "primaryBadge"));
    EXPECT_FALSE(badge(rows()[0], "primaryBadge"));
    EXPECT_FALSE(child<QPushButton>(second, "primaryButton")->isEnabled());
    // The same widget stays for the same account through those refreshes.
    EXPECT_EQ(rows()[1], second);
    test::saveWindowShot(*window, QStringLiteral("accounts-rows-narrow"), {640, 420});
    test::saveWindowShot(*window, QStringLiteral("accounts-rows-wide"), {1000, 760});

    QTest::mouseClick(child<QToolButton>(rows()[0], "deleteButton"), Qt::LeftButton);
    ASSERT_EQ(rows().size(), 2u);
    EXPECT_EQ(child<QLabel>(rows()[0], "aliasLabel")->text(), QStringLiteral("second"));
    EXPECT_TRUE(badge(rows()[0], "selectedBadge"));
    EXPECT_FALSE(badge(rows()[1], "selectedBadge"));
}

TEST_F(AccountsWindowTest, AccountsChangedByAnotherProcessReachTheRowsInPlace) {
    QAbstractItemModelTester tester(window->accountModel(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    add(P::gemini, QStringLiteral("first"), QStringLiteral("AIza-1111111111"));
    add(P::gemini, QStringLiteral("second"), QStringLiteral("AIza-2222222222"));
    ASSERT_EQ(rows().size(), 2u);
    AccountRowWidget* second = rows()[1];
    const QString firstId = rows()[0]->accountId();
    const QString secondId = second->accountId();

    // The command line, another process over the same config.json, adds, changes and removes.
    AccountStore cli{AccountConfigStore(AccountConfigStore::pathIn(dir.path())),
                     KeychainStore(secrets), [] { return kNow; }};
    ASSERT_FALSE(cli.addAccount(P::gemini, QStringLiteral("third"),
                                QStringLiteral("AIza-3333333333"), std::nullopt));
    ASSERT_FALSE(cli.setActive(P::gemini, secondId, false));
    ASSERT_FALSE(cli.removeAccount(P::gemini, firstId));
    accounts.refreshIfChanged();  // what the store's file watcher does

    ASSERT_EQ(rows().size(), 2u);
    // The second account keeps its widget, now showing it inactive, and moves up.
    EXPECT_EQ(rows()[0], second);
    EXPECT_EQ(second->accountId(), secondId);
    EXPECT_TRUE(badge(second, "inactiveBadge"));
    EXPECT_FALSE(child<QCheckBox>(second, "activeSwitch")->isChecked());
    EXPECT_EQ(child<QLabel>(rows()[1], "aliasLabel")->text(), QStringLiteral("third"));
}

TEST_F(AccountsWindowTest, AnotherProvidersAccountWithARepeatedIdGetsRowsOfItsOwn) {
    add(P::gemini, QStringLiteral("gemini"), QStringLiteral("AIza-1111111111"));
    add(P::anthropic, QStringLiteral("anthropic"), QStringLiteral("sk-ant-2222222222"));
    // A config.json edited by hand gives both accounts one id.
    const QString path = AccountConfigStore::pathIn(dir.path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    file.close();
    text.replace(accounts.summaries(P::anthropic)[0].id.toUtf8(),
                 accounts.summaries(P::gemini)[0].id.toUtf8());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();
    accounts.refreshIfChanged();
    ASSERT_EQ(accounts.summaries(P::anthropic).size(), 1u);
    ASSERT_EQ(accounts.summaries(P::anthropic)[0].id, accounts.summaries(P::gemini)[0].id);

    window->setProvider(P::anthropic);
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(child<QLabel>(rows()[0], "aliasLabel")->text(), QStringLiteral("anthropic"));
    // Its delete button deletes the Anthropic account, not the Gemini one of the same id.
    QTest::mouseClick(child<QToolButton>(rows()[0], "deleteButton"), Qt::LeftButton);
    EXPECT_TRUE(accounts.summaries(P::anthropic).empty());
    EXPECT_EQ(accounts.summaries(P::gemini).size(), 1u);
}

TEST_F(AccountsWindowTest, FailedSaveShowsTheAlertAndTheRowStays) {
    add(P::gemini, QStringLiteral("first"), QStringLiteral("AIza-1111111111"));
    add(P::gemini, QStringLiteral("second"), QStringLiteral("AIza-2222222222"));
    // Saves fail as on a full disk while the blocker lives.
    std::optional<test::WriteBlocker> full(std::in_place);
    AccountRowWidget* second = rows()[1];
    QTest::mouseClick(child<QPushButton>(second, "selectButton"), Qt::LeftButton);
    ASSERT_TRUE(window->errorMessage().has_value());
    auto* alert = window->findChild<QMessageBox*>(QStringLiteral("accountErrorAlert"));
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->windowTitle(), QStringLiteral("Account Error"));
    EXPECT_EQ(alert->text(), *window->errorMessage());
    EXPECT_FALSE(alert->text().isEmpty());
    EXPECT_FALSE(badge(second, "selectedBadge"));
    EXPECT_TRUE(badge(rows()[0], "selectedBadge"));
    EXPECT_TRUE(child<QPushButton>(second, "selectButton")->isEnabled());

    // The switch flips back as well.
    QTest::mouseClick(child<QCheckBox>(second, "activeSwitch"), Qt::LeftButton);
    EXPECT_TRUE(child<QCheckBox>(second, "activeSwitch")->isChecked());
    alert = window->findChild<QMessageBox*>(QStringLiteral("accountErrorAlert"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return alert->isVisible(); }));
    full.reset();
    alert->button(QMessageBox::Ok)->click();
    EXPECT_FALSE(window->errorMessage().has_value());
}

TEST_F(AccountsWindowTest, GeminiFetchShowsValidationAndModelsWithoutRange) {
    add(P::gemini, QStringLiteral("work"), QStringLiteral("AIza-good"));
    AccountRowWidget* row = rows()[0];
    EXPECT_FALSE(child<QWidget>(row, "rangePicker")->isEnabled());
    QTest::mouseClick(child<QPushButton>(row, "fetchButton"), Qt::LeftButton);
    EXPECT_FALSE(child<QPushButton>(row, "validateButton")->isEnabled());
    EXPECT_EQ(child<QLabel>(row, "progressLabel")->text(), QStringLiteral("Fetching usage..."));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !labels(row, "updatedLabel").isEmpty(); }, 10000));
    EXPECT_EQ(labels(row, "updatedLabel"), QStringList{QStringLiteral("Updated now")});
    EXPECT_TRUE(child<QPushButton>(row, "fetchButton")->isEnabled());
    EXPECT_FALSE(child<QWidget>(row, "rangePicker")->isEnabled());
    EXPECT_TRUE(labels(row, "keyInfoLine").contains(QStringLiteral("Models: 2")));
    EXPECT_FALSE(labels(row, "resultMessage").isEmpty());
    EXPECT_TRUE(labels(row, "noUsageLabel").isEmpty());
    EXPECT_TRUE(labels(row, "warningLabel").isEmpty());
}

TEST_F(AccountsWindowTest, OpenAiFetchWithOneFailedEndpointShowsBucketsAndOneWarning) {
    openAi->route(QStringLiteral("/v1/organization/usage/embeddings"),
                  test::FakeProviderResponse::json(403, ""));
    add(P::openAi, QStringLiteral("admin"), QStringLiteral("sk-admin-good"));
    window->setProvider(P::openAi);
    EXPECT_FALSE(child<QPushButton>("relayButton")->isVisible());
    AccountRowWidget* row = rows()[0];
    EXPECT_TRUE(child<QWidget>(row, "rangePicker")->isEnabled());
    QTest::mouseClick(child<QPushButton>(row, "range30Button"), Qt::LeftButton);
    EXPECT_EQ(window->usageStore()->state(P::openAi, row->accountId()).lookbackDays, 30);

    QTest::mouseClick(child<QPushButton>(row, "fetchButton"), Qt::LeftButton);
    EXPECT_FALSE(child<QWidget>(row, "rangePicker")->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !labels(row, "updatedLabel").isEmpty(); }, 10000));
    EXPECT_EQ(labels(row, "warningLabel"),
              QStringList{QStringLiteral("usage/embeddings HTTP 403: unknown")});
    EXPECT_TRUE(labels(row, "resultError").isEmpty());
    EXPECT_EQ(child<LabelledFigure>(row, "totalInput")->value(), QStringLiteral("1.0k"));
    EXPECT_EQ(child<LabelledFigure>(row, "totalCache")->value(), QStringLiteral("50"));
    EXPECT_EQ(labels(row, "bucketCell").value(0), QStringLiteral("gpt-4o"));
    // The fetch went to the history.
    ASSERT_EQ(history.apiUsageRecords().size(), 1u);
    EXPECT_EQ(history.apiUsageRecords()[0].provider, QStringLiteral("openai"));
    test::saveWindowShot(*window, QStringLiteral("accounts-openai-usage"), {760, 460});
    test::saveWindowShot(*window, QStringLiteral("accounts-openai-usage-wide"), {1000, 600});

    // Closed and opened again: the Gemini tab, and no result from before.
    window->close();
    window->show();
    EXPECT_EQ(window->provider(), P::gemini);
    window->setProvider(P::openAi);
    EXPECT_TRUE(labels(rows()[0], "updatedLabel").isEmpty());
    EXPECT_TRUE(labels(rows()[0], "warningLabel").isEmpty());
}

TEST_F(AccountsWindowTest, AFetchStillRunningWhenTheWindowClosesReachesTheHistory) {
    add(P::openAi, QStringLiteral("admin"), QStringLiteral("sk-admin-good"));
    window->setProvider(P::openAi);
    // The user closes the window while the usage answer is on its way.
    openAi->route(QStringLiteral("/v1/organization/usage/completions"),
                  [this](const test::FakeProviderRequest&) {
                      window->close();
                      return test::FakeProviderResponse::json(
                          200, test::FakeProviderBodies::openAiUsage({{R"({"model":"gpt-4o",
                              "input_tokens":1000,"output_tokens":100})"}}));
                  });
    QTest::mouseClick(child<QPushButton>(rows()[0], "fetchButton"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !history.apiUsageRecords().empty(); }, 10000));
    EXPECT_EQ(history.apiUsageRecords()[0].provider, QStringLiteral("openai"));
    // The reopened window starts afresh all the same.
    window->show();
    window->setProvider(P::openAi);
    EXPECT_TRUE(labels(rows()[0], "updatedLabel").isEmpty());
}

TEST_F(AccountsWindowTest, BudgetFieldsSaveIntoTheAccountRefuseBadInputAndShowTheSpend) {
    add(P::gemini, QStringLiteral("team"), QStringLiteral("AIza-good"));
    add(P::grok, QStringLiteral("x"), QStringLiteral("xai-key"));
    const QString id = accounts.data().geminiAccounts.at(0).id;
    history.appendGeminiRecord({kNow, id, QStringLiteral("gemini-2.5-pro"), 10, 10, 0, 0, 0, 1.5,
                                100, QStringLiteral("relay"), std::nullopt});
    // Another program's key in config.json, written beside the accounts.
    const QString config = AccountConfigStore::pathIn(dir.path());
    QJsonObject root = QJsonDocument::fromJson(test::readAll(config)).object();
    root.insert(QStringLiteral("otherSetting"), 1);
    dir.write(QStringLiteral("config.json"), QJsonDocument(root).toJson());

    AccountRowWidget* row = rows()[0];
    auto* daily = child<QLineEdit>(row, "dailyBudget");
    auto* monthly = child<QLineEdit>(row, "monthlyBudget");
    auto* alertAt = child<QLineEdit>(row, "alertAt");
    auto* save = child<QPushButton>(row, "saveBudgets");
    EXPECT_EQ(alertAt->text(), "80");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return labels(row, "budgetSpend").value(0).startsWith("Today $1.50 (no budget)"); }));

    const QByteArray before = test::readAll(config);
    const struct {
        const char* daily;
        const char* alertAt;
        const char* message;
    } refused[] = {
        {"ten", "80", "Daily budget: enter an amount in US dollars, such as 5 or 12.50."},
        {"-1", "80", "The daily budget must be a number of US dollars, zero or more."},
        {"2", "150", "Alert at must be a whole percent from 1 to 100."},
        {"2", "7.5", "Alert at: enter a whole percent from 1 to 100."},
    };
    for (const auto& attempt : refused) {
        daily->setText(QString::fromLatin1(attempt.daily));
        alertAt->setText(QString::fromLatin1(attempt.alertAt));
        QTest::mouseClick(save, Qt::LeftButton);
        EXPECT_EQ(labels(row, "budgetMessage").value(0), attempt.message);
    }
    EXPECT_EQ(test::readAll(config), before);
    test::saveWindowShot(*window, QStringLiteral("accounts-budget-error"), {900, 460});
    // Typing again makes the error stale: it goes.
    auto* editor = row->findChild<AccountBudgetEditor*>();
    ASSERT_TRUE(editor);
    EXPECT_FALSE(editor->message().isEmpty());
    QTest::keyClick(alertAt, Qt::Key_Backspace);
    EXPECT_TRUE(editor->message().isEmpty());

    daily->setText(QStringLiteral("2"));
    monthly->setText(QStringLiteral("$50"));
    alertAt->setText(QStringLiteral("75%"));
    QTest::keyClick(alertAt, Qt::Key_Return);
    EXPECT_EQ(editor->message(), "Budgets saved.");
    const GeminiAccount saved = accounts.data().geminiAccounts.at(0);
    EXPECT_EQ(saved.dailyBudgetUsd, 2);
    EXPECT_EQ(saved.monthlyBudgetUsd, 50);
    EXPECT_EQ(saved.alertThresholdPct, 75);
    root = QJsonDocument::fromJson(test::readAll(config)).object();
    EXPECT_EQ(root.value("otherSetting").toInt(), 1);
    EXPECT_EQ(root.value("geminiAccounts").toArray().at(0)["dailyBudgetUsd"].toDouble(), 2);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return labels(row, "budgetSpend").value(0) ==
               "Today $1.50 of $2.00 (75%) · This month $1.50 of $50.00 (3%)";
    })) << labels(row, "budgetSpend").value(0).toStdString();
    test::saveWindowShot(*window, QStringLiteral("accounts-budgets"), {900, 460});
    // The confirmation has said its piece after a few seconds.
    EXPECT_TRUE(QTest::qWaitFor([&] { return editor->message().isEmpty(); },
                                2 * int(AccountBudgetEditor::kConfirmationShownFor.count())));

    // Over a budget the spend turns to the error colour, and back once the budget is raised.
    const auto spendColour = [&] {
        return row->findChild<QLabel*>(QStringLiteral("budgetSpend"))
            ->palette()
            .color(QPalette::WindowText);
    };
    EXPECT_NE(spendColour(), gui::WindowText::red());
    daily->setText(QStringLiteral("1.25"));
    QTest::keyClick(daily, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return spendColour() == gui::WindowText::red(); }));
    test::saveWindowShot(*window, QStringLiteral("accounts-over-budget"), {900, 460});
    daily->setText(QStringLiteral("2"));
    QTest::keyClick(daily, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return spendColour() != gui::WindowText::red(); }));

    // xAI accounts have no budgets.
    window->setProvider(P::grok);
    EXPECT_EQ(rows()[0]->findChild<QLineEdit*>(QStringLiteral("dailyBudget")), nullptr);
}

}  // namespace
}  // namespace qm::gui
