#pragma once

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTest>

namespace qm::test {

// The environment of a quotameter-cli run kept inside a test's home: its data and cache
// folders there, and the tools' own folder variables removed, since they would lead the scan
// out of the home. Leak reports are off: Qt's own allocations are released at exit.
inline QProcessEnvironment cliEnvironment(const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("XDG_DATA_HOME", home + "/.local/share");
    env.insert("XDG_CACHE_HOME", home + "/.cache");
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    env.remove("CODEX_HOME");
    env.remove("CLAUDE_CONFIG_DIR");
    for (const char* name : {"OPENCODE_DB", "QWEN_HOME", "QWEN_RUNTIME_DIR"}) env.remove(name);
    return env;
}

struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs quotameter-cli (QM_CLI_PATH, set by the including target) to its end with `input` on
// its standard input. `served`: this thread's event loop keeps running meanwhile, for fakes in
// this process that the command talks to.
inline CliRun runCli(const QProcessEnvironment& env, const QStringList& args,
                     const QByteArray& input = {}, bool served = false, int timeoutMs = 60000) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(QM_CLI_PATH), args);
    process.write(input);
    process.closeWriteChannel();
    const bool ended =
        served ? QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)
               : process.waitForFinished(timeoutMs);
    EXPECT_TRUE(ended) << args.join(' ').toStdString();
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

}  // namespace qm::test
