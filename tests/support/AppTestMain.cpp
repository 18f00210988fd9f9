#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

// Chromium's own code inside libQt6WebEngineCore frees some objects through a base type of a
// different size (seen when a page is destroyed). The browser side of WebEngine runs in this
// process, so ASan's operator delete sees those; they are not ours to fix.
extern "C" const char* __asan_default_options() {
    return "new_delete_type_mismatch=0";
}

namespace {

void setDefault(const char* name, const QByteArray& value) {
    if (qEnvironmentVariableIsEmpty(name)) qputenv(name, value);
}

}  // namespace

// Widgets and WebEngine need a QApplication, WebEngine with shared OpenGL contexts set before
// it exists. Everything
// Qt or Chromium might write outside the injected folders goes to a private home.
int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/qm-app-home-XXXXXX"));
    const QByteArray root = QFile::encodeName(home.path());
    qputenv("HOME", root);
    qputenv("XDG_DATA_HOME", root + "/data");
    qputenv("XDG_CACHE_HOME", root + "/cache");
    qputenv("XDG_CONFIG_HOME", root + "/config");
    setDefault("XDG_RUNTIME_DIR", root);
    setDefault("QT_QPA_PLATFORM", "offscreen");
    setDefault("QTWEBENGINE_CHROMIUM_FLAGS",
               "--no-sandbox --disable-gpu --disable-background-networking "
               "--disable-component-update --disable-sync");
    setDefault("QTWEBENGINE_DISABLE_SANDBOX", "1");

    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
