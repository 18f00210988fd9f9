#include <QApplication>
#include <QCommandLineParser>
#include <QUrl>
#include <chrono>
#include <cstdio>

#include "browser/ClaudeBrowserService.h"
#include "browser/ClaudeWebSession.h"

// Chromium's own code inside libQt6WebEngineCore frees some objects through a base type of a
// different size when a page is destroyed. In a sanitizer build that would end the program;
// the objects are not ours to fix. Other builds never call this.
// The sanitizer looks this name up; it is reserved for it.
extern "C" const char* __asan_default_options() {  // NOLINT(bugprone-reserved-identifier)
    return "new_delete_type_mismatch=0";
}

namespace {

// "navigation,settle,answer" in milliseconds; the defaults for anything missing or unreadable.
qm::ClaudeWebSessionTimings timingsFrom(const QString& text) {
    qm::ClaudeWebSessionTimings timings;
    const QStringList parts = text.split(QLatin1Char(','));
    std::chrono::milliseconds* fields[] = {&timings.navigationTimeout, &timings.settleDelay,
                                           &timings.answerTimeout};
    for (int i = 0; i < 3 && i < parts.size(); ++i) {
        bool ok = false;
        const int ms = parts[i].toInt(&ok);
        if (ok && ms >= 0) *fields[i] = std::chrono::milliseconds(ms);
    }
    return timings;
}

}  // namespace

// The browser engine of Quotameter in a process of its own: the application starts it when
// the Claude limits are fetched or the login window opens, and it exits once idle, so
// Chromium's memory goes back to the system. It talks JSON lines on stdin and stdout.
int main(int argc, char** argv) {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quotameter-browser"));
    QApplication::setDesktopFileName(QStringLiteral("org.quotameter.Quotameter"));
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Quotameter's browser for the Claude site; started by quotameter."));
    const QCommandLineOption data(QStringLiteral("data"),
                                  QStringLiteral("The data folder (the profile is under it)."),
                                  QStringLiteral("folder"));
    const QCommandLineOption origin(QStringLiteral("origin"), QStringLiteral("The Claude site."),
                                    QStringLiteral("url"), qm::RemoteHosts::claudeSite());
    const QCommandLineOption google(QStringLiteral("google-host"),
                                    QStringLiteral("The Google sign-in host."),
                                    QStringLiteral("host"), qm::RemoteHosts::googleSignInHost());
    const QCommandLineOption idle(QStringLiteral("idle-ms"),
                                  QStringLiteral("Exit after this long without a need."),
                                  QStringLiteral("ms"), QStringLiteral("120000"));
    const QCommandLineOption timings(QStringLiteral("timings"),
                                     QStringLiteral("Page load, settle and answer limits."),
                                     QStringLiteral("ms,ms,ms"));
    parser.addOptions({data, origin, google, idle, timings});
    parser.addHelpOption();
    parser.process(app);
    if (!parser.isSet(data)) {
        std::fputs("quotameter-browser: --data is required\n", stderr);
        return 2;
    }

    qm::ClaudeWebSession session(parser.value(data), QUrl(parser.value(origin)),
                                 parser.value(google), timingsFrom(parser.value(timings)));
    qm::ClaudeBrowserService service(
        &session, std::chrono::milliseconds(parser.value(idle).toLongLong()), 0, 1);
    QObject::connect(&service, &qm::ClaudeBrowserService::finished, &app, &QCoreApplication::quit);
    return app.exec();
}
