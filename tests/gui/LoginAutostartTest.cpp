#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include "DesktopFixture.h"
#include "gui/dashboard/DashboardWindow.h"
#include "gui/dashboard/LoginAutostart.h"

using namespace qm;
using namespace qm::gui;
using namespace qm::test;

namespace {

// Runs desktop-file-validate on an entry when the tool is there; empty when it passes.
QString validatorComplaint(const QString& path) {
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (tool.isEmpty()) return {};
    QProcess process;
    process.start(tool, {path});
    process.waitForFinished(20000);
    if (process.exitCode() == 0) return {};
    return QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError());
}

TEST(LoginAutostartTest, EntryIsWrittenRemovedAndHonoursTheSessionsOwnSwitch) {
    TempDir config;
    LoginAutostart autostart(config.path(), QStringLiteral("/opt/quota meter/bin/quotameter"));
    EXPECT_FALSE(autostart.isEnabled());
    EXPECT_EQ(autostart.setEnabled(false), std::nullopt);  // nothing to remove is no error

    ASSERT_EQ(autostart.setEnabled(true), std::nullopt);
    EXPECT_TRUE(autostart.isEnabled());
    EXPECT_EQ(autostart.entryPath(),
              config.path() + "/autostart/org.quotameter.Quotameter.desktop");
    EXPECT_TRUE(
        readAll(autostart.entryPath()).contains("\nExec=\"/opt/quota meter/bin/quotameter\"\n"));
    EXPECT_EQ(validatorComplaint(autostart.entryPath()), QString());

    // A session manager turns an entry off in the file itself.
    for (const QByteArray& off :
         {QByteArray("Hidden=true\n"), QByteArray("X-GNOME-Autostart-enabled=false\n")}) {
        config.write("autostart/org.quotameter.Quotameter.desktop",
                     "[Desktop Entry]\nType=Application\nExec=quotameter\n" + off);
        EXPECT_FALSE(autostart.isEnabled()) << off.constData();
    }
    // The same key in another group is not the entry's.
    config.write("autostart/org.quotameter.Quotameter.desktop",
                 "[Desktop Entry]\nExec=quotameter\n[Desktop Action x]\nHidden=true\n");
    EXPECT_TRUE(autostart.isEnabled());

    ASSERT_EQ(autostart.setEnabled(false), std::nullopt);
    EXPECT_FALSE(QFile::exists(autostart.entryPath()));
    EXPECT_FALSE(autostart.isEnabled());
}

TEST(LoginAutostartTest, ProgramPathsAreQuotedAsDesktopEntriesRequire) {
    EXPECT_EQ(LoginAutostart::execArgument("/usr/bin/quotameter"), "/usr/bin/quotameter");
    EXPECT_EQ(LoginAutostart::execArgument("/home/a b/quotameter"), "\"/home/a b/quotameter\"");
    // Inside quotes ", `, $ and \ take a backslash, and the string level doubles backslashes.
    EXPECT_EQ(LoginAutostart::execArgument("/x/$HOME/\"q\"/`a`"),
              "\"/x/\\\\$HOME/\\\\\"q\\\\\"/\\\\`a\\\\`\"");
    EXPECT_EQ(LoginAutostart::execArgument("/x\\y"), "\"/x\\\\\\\\y\"");
    EXPECT_EQ(LoginAutostart::execArgument("/100%/q"), "/100%%/q");

    // A path on two lines cannot be one Exec value: an error, and no entry.
    TempDir config;
    LoginAutostart broken(config.path(), QStringLiteral("/tmp/a\nb"));
    EXPECT_TRUE(broken.setEnabled(true).has_value());
    EXPECT_FALSE(QFile::exists(broken.entryPath()));

    // An odd but legal path still makes an entry the validator accepts.
    LoginAutostart odd(config.path(), QStringLiteral("/opt/$dir/it's \"q\"/100%/a\\b"));
    ASSERT_EQ(odd.setEnabled(true), std::nullopt);
    EXPECT_EQ(validatorComplaint(odd.entryPath()), QString());
}

class AutostartSwitchTest : public DesktopFixture {
protected:
    AutostartSwitchTest() : savedConfig_(qgetenv("XDG_CONFIG_HOME")) {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    }
    ~AutostartSwitchTest() override { qputenv("XDG_CONFIG_HOME", savedConfig_); }

    TempDir config;
    QByteArray savedConfig_;
};

TEST_F(AutostartSwitchTest, SwitchWritesTheEntryAndFollowsTheFile) {
    const QString entry = config.path() + "/autostart/org.quotameter.Quotameter.desktop";
    DashboardWindow window(&aggregator, &claude, &preferences, [](const QString&) {});
    window.show();
    auto* toggle = window.findChild<QCheckBox*>("autostartSwitch");
    ASSERT_TRUE(toggle);
    EXPECT_FALSE(toggle->isChecked());  // off by default
    EXPECT_FALSE(QFile::exists(entry));

    toggle->click();
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_TRUE(QFile::exists(entry));
    layOut(&window);
    saveScreenshot(&window, QStringLiteral("dashboard-start-at-login"));

    // Removed behind the window's back: shown as off the next time the window opens.
    QFile::remove(entry);
    window.hide();
    window.show();
    EXPECT_FALSE(toggle->isChecked());

    // The autostart folder cannot be made (a file is in its place): the switch stays off
    // and says why.
    QDir(config.filePath("autostart")).removeRecursively();
    config.write("autostart", "not a folder");
    toggle->click();
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_FALSE(toggle->toolTip().isEmpty());
}

}  // namespace
