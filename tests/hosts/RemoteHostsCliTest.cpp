#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "hosts/RemoteHostRunner.h"
#include "support/CliEnvironment.h"
#include "support/RolloutFixtures.h"
#include "support/TempDir.h"

namespace qm {
namespace {

// Stands in for ssh: checks the options that keep it from prompting, then plays the named
// machine. Machines with a folder under $REMOTES run the real quotameter-cli over that folder
// as their home; the others fail the way real machines do.
const QByteArray kFakeSsh = R"(#!/bin/bash
if [ "$1 $2 $3 $4" != "-o BatchMode=yes -o ConnectTimeout=5" ]; then
  echo "unexpected ssh options: $*" >&2; exit 98
fi
host=$5; shift 5
[ "$1" = quotameter-cli ] || { echo "not our program: $1" >&2; exit 97; }
shift
echo "$host $*" >> "$REMOTES/calls"
case "$host" in
  asleep) exec sleep 600 ;;
  chatty) exec yes "debug1: still negotiating" >&2 ;;
  flood) yes "debug1: noise" | head -n 600000 >&2
    echo "ssh: connect to host flood port 22: Connection refused" >&2; exit 255 ;;
  down) echo "ssh: connect to host down port 22: Connection refused" >&2; exit 255 ;;
  greeter) echo "Welcome to the build farm"; exit 0 ;;
  bare) echo "bash: line 1: quotameter-cli: command not found" >&2; exit 127 ;;
  hostile) cat "$REMOTES/hostile.json"; exit 0 ;;
  painter) printf '{"providers":[{"kind":"codex","providerName":"Codex","statusText":"\\u001b[2J"}]}'
    exit 0 ;;
esac
[ -d "$REMOTES/$host" ] || { echo "ssh: Could not resolve hostname $host" >&2; exit 255; }
export HOME="$REMOTES/$host" XDG_DATA_HOME="$REMOTES/$host/.local/share"
export XDG_CACHE_HOME="$REMOTES/$host/.cache"
exec "$QM_CLI" "$@"
)";

using Finished = test::CliRun;

// A home with one Codex session of `input` tokens (a tenth of them cached) and 3 prompts.
void writeCodexHome(const QString& home, std::int64_t input) {
    using namespace test;
    QByteArray rollout =
        codexMetaLine("0199a1b2-remote", "/srv/api", 600) + codexTurnLine("gpt-5", 600);
    for (int ago : {500, 400, 300}) {
        rollout += codexPromptLine(QStringLiteral("Run the migration"), ago);
        rollout += codexUserMessageLine(QStringLiteral("Run the migration"), ago);
    }
    rollout += codexTotalsLine(input, input / 5, input / 10, 290);
    QDir().mkpath(home + "/.codex/sessions/2026/01/01");
    QFile file(home + "/.codex/sessions/2026/01/01/rollout-remote.jsonl");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(rollout);
}

class RemoteHostsCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::writeSampleHome(home.path());
        fakeSsh = dir.write("fake-ssh", kFakeSsh);
        QFile::setPermissions(fakeSsh, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    Finished run(const QStringList& args, const QString& timeLimit = "120") const {
        QProcessEnvironment env = qm::test::cliEnvironment(home.path());
        env.insert("TZ", "UTC");
        env.insert("QUOTAMETER_SSH", fakeSsh);
        env.insert("QUOTAMETER_SSH_TIMEOUT", timeLimit);
        env.insert("REMOTES", dir.path());
        env.insert("QM_CLI", QStringLiteral(QM_CLI_PATH));
        return test::runCli(env, args, {}, false, 240000);
    }

    void addHosts(const QStringList& names) const {
        for (const QString& name : names)
            ASSERT_EQ(run({"hosts", "add", name}).exitCode, 0) << name.toStdString();
    }

    static QJsonObject json(const Finished& finished) {
        return QJsonDocument::fromJson(finished.out).object();
    }
    static QJsonObject totals(const Finished& finished) {
        return json(finished)[QStringLiteral("totals")].toObject();
    }

    test::TempDir home;
    test::TempDir dir;  // the fake ssh and the other machines' homes
    QString fakeSsh;
};

TEST_F(RemoteHostsCliTest, TwoMachinesAddUpWithThisOne) {
    writeCodexHome(dir.filePath("devbox"), 10000);
    writeCodexHome(dir.filePath("user@workstation"), 40000);
    addHosts({"devbox", "user@workstation"});

    const Finished local = run({"report", "daily", "--json"});
    const Finished all = run({"report", "daily", "--json", "--hosts", "all"});
    ASSERT_EQ(all.exitCode, 0) << all.err.toStdString();
    EXPECT_TRUE(all.err.isEmpty()) << all.err.toStdString();
    const std::int64_t localInput = totals(local)["inputTokens"].toInteger();
    EXPECT_EQ(totals(all)["inputTokens"].toInteger(), localInput + 50000);
    EXPECT_EQ(totals(all)["prompts"].toInteger(), totals(local)["prompts"].toInteger() + 6);

    // Every row names its machine; this one is "local".
    std::map<QString, std::int64_t> inputByHost;
    for (const QJsonValue row : json(all)["rows"].toArray())
        inputByHost[row["host"].toString()] += row["inputTokens"].toInteger();
    EXPECT_EQ(inputByHost,
              (std::map<QString, std::int64_t>{
                  {"local", localInput}, {"devbox", 10000}, {"user@workstation", 40000}}));

    // One row per machine, and the same sums; the costs add up to the total.
    const Finished byHost = run({"report", "daily", "--json", "--hosts", "all", "--by", "host"});
    const QJsonArray rows = json(byHost)["rows"].toArray();
    ASSERT_EQ(rows.size(), 3);
    double cost = 0;
    for (const QJsonValue row : rows) {
        EXPECT_EQ(inputByHost[row["host"].toString()], row["inputTokens"].toInteger());
        cost += row["costUsd"].toDouble();
    }
    EXPECT_NEAR(totals(byHost)["costUsd"].toDouble(), cost, 1e-3);

    // The five-hour view names each machine's tools.
    const Finished usage = run({"usage", "--json", "--hosts", "all"});
    ASSERT_EQ(usage.exitCode, 0) << usage.err.toStdString();
    std::map<QString, std::int64_t> codexInput;
    for (const QJsonValue provider : json(usage)["providers"].toArray()) {
        if (provider["kind"] == "codex")
            codexInput[provider["host"].toString()] = provider["totalInputTokens"].toInteger();
    }
    EXPECT_EQ(codexInput["devbox"], 10000);
    EXPECT_EQ(codexInput["user@workstation"], 40000);
    EXPECT_EQ(codexInput["local"], 1000);

    // Naming one machine asks that one only, and only this machine is left out.
    QFile::remove(dir.filePath("calls"));
    const Finished one = run({"report", "daily", "--csv", "--hosts", "devbox"});
    EXPECT_EQ(one.exitCode, 0);
    EXPECT_TRUE(one.out.startsWith("period,tool,inputTokens,")) << one.out.toStdString();
    // The machine, then where the cost came from, last.
    EXPECT_TRUE(one.out.contains(",devbox,estimate\n")) << one.out.toStdString();
    EXPECT_FALSE(one.out.contains(",local,"));
    EXPECT_EQ(test::readAll(dir.filePath("calls")).count('\n'), 1);
}

TEST_F(RemoteHostsCliTest, MachinesThatCannotAnswerAreNamedAndLeftOut) {
    QFile hostile(dir.filePath("hostile.json"));
    ASSERT_TRUE(hostile.open(QIODevice::WriteOnly));
    hostile.write(R"({"rows":[{"period":"2026-12-01","tool":"codex","inputTokens":-1000000,
        "cachedInputTokens":0,"cacheWriteTokens":0,"outputTokens":0,"reasoningTokens":0,
        "costUsd":-50,"prompts":0,"sessions":0}],"totals":{"inputTokens":-1000000,
        "cachedInputTokens":0,"cacheWriteTokens":0,"outputTokens":0,"reasoningTokens":0,
        "costUsd":-50,"prompts":0,"sessions":0}})");
    hostile.close();
    addHosts({"asleep", "down", "greeter", "bare", "hostile"});

    const Finished local = run({"report", "weekly", "--json"});
    const Finished all = run({"report", "weekly", "--json", "--hosts", "all"}, "2");
    // This machine answered: the report stands, without the others' rows.
    EXPECT_EQ(all.exitCode, 0);
    EXPECT_EQ(totals(all), totals(local));
    for (const QJsonValue row : json(all)["rows"].toArray()) EXPECT_EQ(row["host"], "local");
    const QString err = QString::fromUtf8(all.err);
    for (const char* reason :
         {"asleep: ssh: connection timed out", "down: ssh: connection refused",
          "bare: quotameter-cli not installed", "greeter: the answer is not a report in JSON",
          "hostile: row 1: inputTokens is not a count"}) {
        EXPECT_TRUE(err.contains(QLatin1String(reason))) << reason << "\n" << err.toStdString();
    }

    // Another machine's texts cannot drive this terminal.
    addHosts({"painter"});
    const Finished painted = run({"usage", "--hosts", "painter"});
    EXPECT_EQ(painted.exitCode, 0);
    EXPECT_TRUE(painted.out.contains("painter: Codex:")) << painted.out.toStdString();
    EXPECT_FALSE(painted.out.contains('\x1b'));

    // Asked for broken machines alone, there is nothing to report: that is a failure.
    EXPECT_EQ(run({"report", "daily", "--json", "--hosts", "bare,greeter"}).exitCode, 1);
    // A machine that is not in the list is never reached.
    EXPECT_EQ(run({"report", "daily", "--hosts", "elsewhere"}).exitCode, 2);
}

TEST_F(RemoteHostsCliTest, AnSshThatWritesWithoutEndKeepsOnlyTheTailOfItsMessages) {
    // In the command: both are named with their reason, this machine's report stands.
    addHosts({"chatty", "flood"});
    const Finished all = run({"report", "weekly", "--json", "--hosts", "all"}, "2");
    EXPECT_EQ(all.exitCode, 0);
    const QString err = QString::fromUtf8(all.err);
    EXPECT_TRUE(err.contains("chatty: ssh: connection timed out")) << err.toStdString();
    EXPECT_TRUE(err.contains("flood: ssh: connection refused")) << err.toStdString();

    // In the runner itself: what it kept of each stderr.
    const QList<std::pair<const char*, QString>> environment{
        {"QUOTAMETER_SSH", fakeSsh}, {"QUOTAMETER_SSH_TIMEOUT", "2"}, {"REMOTES", dir.path()}};
    for (const auto& [name, value] : environment) qputenv(name, value.toUtf8());
    const std::vector<hosts::HostAnswer> answers =
        hosts::RemoteHostRunner::runAll({"chatty", "flood"}, {"report", "daily", "--json"});
    for (const auto& [name, value] : environment) qunsetenv(name);
    ASSERT_EQ(answers.size(), 2u);
    // Two seconds of an endless stream, cut by the time limit: the newest 64 KB of it.
    EXPECT_EQ(answers[0].reason, "chatty: ssh: connection timed out");
    EXPECT_EQ(answers[0].standardError.size(), hosts::kKeptErrorBytes);
    EXPECT_TRUE(answers[0].standardError.contains("debug1: still negotiating\n"));
    // 8.4 MB of noise before the message that counts: the message is what was kept last.
    EXPECT_EQ(answers[1].reason, "flood: ssh: connection refused");
    EXPECT_EQ(answers[1].standardError.size(), hosts::kKeptErrorBytes);
    EXPECT_TRUE(answers[1].standardError.endsWith(
        "debug1: noise\nssh: connect to host flood port 22: Connection refused\n"))
        << answers[1].standardError.right(200).toStdString();
}

TEST_F(RemoteHostsCliTest, TheListRefusesNamesThatSshWouldReadAsOptions) {
    home.write(".local/share/Quotameter/config.json",
               R"({"geminiAccounts": [], "someLaterSetting": {"kept": true}})");
    addHosts({"devbox", "user@workstation"});
    for (const char* bad : {"-oProxyCommand=touch /tmp/owned", "dev box", "local", "all", "a,b",
                            "dev\nbox", "", "dev;touch owned", "$(id)"}) {
        EXPECT_EQ(run({"hosts", "add", QString::fromUtf8(bad)}).exitCode, 1) << bad;
    }
    EXPECT_EQ(run({"hosts", "add", "devbox"}).exitCode, 1);  // already there
    EXPECT_EQ(run({"hosts", "remove", "devbox"}).exitCode, 0);
    EXPECT_EQ(run({"hosts", "remove", "devbox"}).exitCode, 1);
    EXPECT_EQ(run({"hosts", "list"}).out, "user@workstation\n");

    const QJsonObject config =
        QJsonDocument::fromJson(test::readAll(home.filePath(".local/share/Quotameter/config.json")))
            .object();
    EXPECT_EQ(config["remoteHosts"], QJsonArray({"user@workstation"}));
    EXPECT_EQ(config["someLaterSetting"], QJsonObject({{"kept", true}}));
    EXPECT_TRUE(config["geminiAccounts"].isArray());
}

}  // namespace
}  // namespace qm
