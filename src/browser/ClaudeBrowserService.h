#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <deque>

#include "browser/ClaudeLoginWindow.h"

class QSocketNotifier;

namespace qm {

class ClaudeWebSession;

// The browser process's side of the conversation with the application: requests arrive as
// JSON lines on `input`, answers and the login window's events leave as JSON lines on
// `output`. Fetches run one at a time in arrival order. Once no fetch runs, the login window
// is closed and `idle` has passed, or when the application closes the input, finished()
// tells the process to exit.
class ClaudeBrowserService : public QObject {
    Q_OBJECT
public:
    ClaudeBrowserService(ClaudeWebSession* session, std::chrono::milliseconds idle, int input,
                         int output, QObject* parent = nullptr);
    ~ClaudeBrowserService() override;

    ClaudeLoginWindow* loginWindow() const { return login_; }

Q_SIGNALS:
    void finished();

private:
    void readInput();
    void handle(const QJsonObject& message);
    void runNextFetch();
    void write(const QJsonObject& message);
    void showLogin();
    void restartIdleTimer();

    ClaudeWebSession* session_;
    int output_;
    int input_;
    QSocketNotifier* notifier_;
    QByteArray buffer_;
    std::deque<qint64> fetches_;
    bool fetching_ = false;
    QPointer<ClaudeLoginWindow> login_;
    QTimer idle_;
};

}  // namespace qm
