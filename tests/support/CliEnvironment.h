#pragma once

#include <QProcessEnvironment>
#include <QString>

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
    return env;
}

}  // namespace qm::test
