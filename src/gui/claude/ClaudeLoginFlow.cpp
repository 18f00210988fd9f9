#include "gui/claude/ClaudeLoginFlow.h"

#include <QCoroCore>

#include "claude/ClaudeUsageStore.h"
#include "gui/UsageText.h"

namespace qm::gui {

ClaudeLoginFlow::ClaudeLoginFlow(ClaudeUsageStore* store) : QObject(store), store_(store) {
    connect(store_, &ClaudeUsageStore::changed, this, &ClaudeLoginFlow::render);
    connect(store_, &ClaudeUsageStore::loginDoneRequested, this, &ClaudeLoginFlow::done);
}

void ClaudeLoginFlow::open() {
    if (!store_->isLoginWindowShown()) outcome_.clear();
    store_->showLoginWindow();
    render();
}

void ClaudeLoginFlow::render() {
    const bool shown = store_->isLoginWindowShown();
    // A window closed and opened again starts without the last check's outcome.
    if (!shown && wasShown_) outcome_.clear();
    wasShown_ = shown;
    if (!shown) return;
    QString text = store_->statusText();
    if (checkingSignIn_)
        text = tr("Checking the sign-in...");
    else if (!outcome_.isEmpty())
        text = outcome_;
    ClaudeBrowserProtocol::LoginStatus status;
    status.text = text;
    status.toolTip = UsageText::claudeStatusToolTip(text, store_->errorDetail());
    status.bad = !checkingSignIn_ && store_->statusKind() == ClaudeUsageStatusKind::error;
    status.busy = checkingSignIn_ || store_->isRefreshing();
    store_->setLoginStatus(status);
}

void ClaudeLoginFlow::done() {
    if (store_->isRefreshing()) {
        render();  // the window waits for an answer: it gets the current state
        return;
    }
    checkingSignIn_ = true;
    outcome_.clear();
    render();
    QCoro::connect(store_->completeLogin(), this, [this](bool signedIn) {
        checkingSignIn_ = false;
        if (signedIn) {
            store_->closeLoginWindow();
            return;
        }
        // The page is still there: say what is missing, so the user knows Done was heard.
        outcome_ = store_->statusKind() == ClaudeUsageStatusKind::needsLogin
                       ? tr("Not signed in yet. Finish signing in above, then press Done.")
                       : store_->statusText();
        render();
    });
}

}  // namespace qm::gui
