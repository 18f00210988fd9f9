#pragma once

#include <QPointer>
#include <QWebEngineView>
#include <QWidget>

#include "claude/ClaudeBrowserProtocol.h"

class QLabel;
class QPushButton;
class QProgressBar;
class QVBoxLayout;

namespace qm {

class ClaudeWebSession;

// "Claude Login": the session's own page in a browser view, so the user signs in to the
// Claude site in the profile the background fetches use. "Done" asks the application to check
// the sign-in (doneRequested()); the application answers with the status line. Hiding or
// minimising keeps the page and a sign-in in progress; only "Cancel", Escape, Ctrl+W or
// closing hand the page back to its hidden use.
class ClaudeLoginWindow : public QWidget {
    Q_OBJECT
public:
    explicit ClaudeLoginWindow(ClaudeWebSession* session, QWidget* parent = nullptr);
    ~ClaudeLoginWindow() override;

    QWebEngineView* view() const { return view_; }
    void setStatus(const ClaudeBrowserProtocol::LoginStatus& status);

Q_SIGNALS:
    void doneRequested();
    void closed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void render();
    void fitToScreen();
    void detachView();

    ClaudeWebSession* session_;
    QVBoxLayout* layout_;
    QPointer<QWebEngineView> view_;
    QLabel* status_;
    QPushButton* done_;
    QProgressBar* checking_;
    ClaudeBrowserProtocol::LoginStatus shown_;
    bool waitingForCheck_ = false;  // "Done" pressed, the application's answer not here yet
    bool placed_ = false;
};

}  // namespace qm
