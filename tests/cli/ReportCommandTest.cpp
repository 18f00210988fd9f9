#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimeZone>
#include <memory>

#include "support/CliEnvironment.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm {
namespace {

// quotameter-cli report, run as a user would against a private home and cache folder.
class ReportCommandTest : public ::testing::Test {
protected:
    void SetUp() override { test::writeSampleHome(home.path()); }

    QProcessEnvironment environment(const QString& zone) const {
        QProcessEnvironment env = qm::test::cliEnvironment(home.path());
        env.insert("TZ", zone);
        return env;
    }

    std::unique_ptr<QProcess> start(const QStringList& args, const QString& zone = "UTC") const {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment(zone));
        process->start(QStringLiteral(QM_CLI_PATH), QStringList{"report"} + args);
        return process;
    }

    std::pair<int, QByteArray> run(const QStringList& args, const QString& zone = "UTC") const {
        auto process = start(args, zone);
        EXPECT_TRUE(process->waitForFinished(60000));
        return {process->exitCode(), process->readAllStandardOutput()};
    }

    static QJsonObject totals(const QByteArray& json) {
        return QJsonDocument::fromJson(json).object()["totals"].toObject();
    }

    test::TempDir home;
};

TEST_F(ReportCommandTest, SeveralProcessesBuildingTheIndexAtOnceAgree) {
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < 4; ++i) processes.push_back(start({"daily", "--json"}));
    QByteArray first;
    for (auto& process : processes) {
        ASSERT_TRUE(process->waitForFinished(60000));
        EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().toStdString();
        const QByteArray out = process->readAllStandardOutput();
        if (first.isEmpty()) first = out;
        EXPECT_EQ(out, first);
    }
    // Codex 1000, Gemini 2 x 100, Claude Code 100 + 1000 read + 200 written, and Grok's session
    // that logged no usage: its context of 5000, an estimate, as the five-hour summary counts it.
    const QJsonObject sum = totals(first);
    EXPECT_EQ(sum["inputTokens"].toInteger(), 1000 + 200 + 1300 + 5000);
    EXPECT_EQ(sum["prompts"].toInteger(), 3 + 2 + 2 + 1);
    EXPECT_TRUE(sum["estimated"].toBool());
    // The index they left behind is whole: a later run reads it and says the same.
    EXPECT_EQ(run({"daily", "--json"}).second, first);
}

TEST_F(ReportCommandTest, InputCountsAsInTheUsageCommand) {
    const auto [code, out] = run({"daily", "--json", "--tool", "claudeCode", "--tool", "codex"});
    ASSERT_EQ(code, 0);
    QProcess scan;
    scan.setProcessEnvironment(environment("UTC"));
    scan.start(QStringLiteral(QM_CLI_PATH), {"usage", "--json"});
    ASSERT_TRUE(scan.waitForFinished(60000));
    std::int64_t input = 0;
    std::int64_t output = 0;
    for (const QJsonValue provider :
         QJsonDocument::fromJson(scan.readAllStandardOutput()).object()["providers"].toArray()) {
        const QString kind = provider["kind"].toString();
        if (kind != "codex" && kind != "claudeCode") continue;
        input += provider["totalInputTokens"].toInteger();
        output += provider["totalOutputTokens"].toInteger();
    }
    EXPECT_EQ(totals(out)["inputTokens"].toInteger(), input);
    EXPECT_EQ(totals(out)["outputTokens"].toInteger(), output);
}

TEST_F(ReportCommandTest, DaysFollowTheTimeZoneAndBadArgumentsAreRefused) {
    // Every fixture call is a few minutes old, so each zone puts them on one day: its today.
    const auto dayIn = [&](const QString& zone) {
        const QJsonArray rows = QJsonDocument::fromJson(run({"daily", "--json"}, zone).second)
                                    .object()["rows"]
                                    .toArray();
        return rows.isEmpty() ? QString() : rows.first()["period"].toString();
    };
    EXPECT_EQ(dayIn("UTC"), QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate));
    const QString kiritimati = QDateTime::currentDateTime()
                                   .toTimeZone(QTimeZone("Pacific/Kiritimati"))
                                   .date()
                                   .toString(Qt::ISODate);
    EXPECT_EQ(dayIn("Pacific/Kiritimati"), kiritimati);

    for (const QStringList& bad :
         {QStringList{"yearly"}, QStringList{}, QStringList{"daily", "--since", "2026-13-01"},
          QStringList{"daily", "--tool", "cursor"}, QStringList{"daily", "--by", "day"},
          QStringList{"daily", "--since", "2026-12-02", "--until", "2026-12-01"},
          QStringList{"daily", "--until"}}) {
        EXPECT_EQ(run(bad).first, 2) << bad.join(' ').toStdString();
    }
    const auto [code, csv] = run({"monthly", "--csv", "--by", "project"});
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(csv.startsWith("period,project,inputTokens,"));
}

}  // namespace
}  // namespace qm
