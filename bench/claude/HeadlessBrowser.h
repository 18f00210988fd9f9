#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace qm::bench {

// What the browser benchmarks need to run without a display or a sandbox (as root on a build
// machine), unless the caller's environment already says otherwise.
inline void setHeadlessBrowserDefaults() {
    const auto setDefault = [](const char* name, const QByteArray& value) {
        if (qEnvironmentVariableIsEmpty(name)) qputenv(name, value);
    };
    setDefault("QT_QPA_PLATFORM", "offscreen");
    setDefault("QTWEBENGINE_CHROMIUM_FLAGS",
               "--no-sandbox --disable-gpu --disable-background-networking "
               "--disable-component-update --disable-sync");
    setDefault("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

}  // namespace qm::bench
