#include "gui/claude/ClaudeLoginWindow.h"

#include <QCoroCore>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWebEngineView>

#include "claude/ClaudeUsageStore.h"
#include "claude/ClaudeWebSession.h"
#include "gui/UsageText.h"
#include "gui/widgets/Look.h"
#include "gui/widgets/WindowBehaviour.h"

namespace qm::gui {

ClaudeLoginWindow::ClaudeLoginWindow(ClaudeUsageStore* store, QWidget* parent)
    : QWidget(parent),
      store_(store),
      layout_(new QVBoxLayout(this)),
      status_(new QLabel(this)),
      done_(new QPushButton(QStringLiteral("Done"), this)),
      checking_(new QProgressBar(done_)) {
    setObjectName(QStringLiteral("claudeLogin"));
    setWindowTitle(QStringLiteral("Claude Login"));
    // Roomy for the sign-in pages, yet the minimum fits a 1366 x 768 screen with its panels.
    setMinimumSize(640, 480);
    resize(920, 680);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout_->addWidget(divider);

    auto* bar = new QWidget(this);
    bar->setAutoFillBackground(true);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(12, 12, 12, 12);
    status_->setObjectName(QStringLiteral("loginStatus"));
    status_->setFont(Look::caption());
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), bar);
    cancel->setObjectName(QStringLiteral("cancel"));
    done_->setObjectName(QStringLiteral("done"));
    done_->setDefault(true);
    done_->setAutoDefault(true);
    done_->setMinimumWidth(done_->sizeHint().width());
    // The activity indicator that stands in for the label while the check runs.
    auto* inside = new QHBoxLayout(done_);
    inside->setContentsMargins(10, 4, 10, 4);
    checking_->setRange(0, 0);
    checking_->setTextVisible(false);
    checking_->setFixedHeight(6);
    checking_->hide();
    inside->addWidget(checking_);
    row->addWidget(status_, 1);
    row->addWidget(cancel);
    row->addWidget(done_);
    layout_->addWidget(bar);

    connect(cancel, &QPushButton::clicked, this, &QWidget::close);
    connect(done_, &QPushButton::clicked, this, &ClaudeLoginWindow::done);
    connect(store_, &ClaudeUsageStore::changed, this, &ClaudeLoginWindow::render);
    WindowBehaviour::install(this);
    render();
}

ClaudeLoginWindow::~ClaudeLoginWindow() {
    detachView();
}

void ClaudeLoginWindow::render() {
    const bool refreshing = store_->isRefreshing();
    QString text = store_->statusText();
    if (checkingSignIn_)
        text = QStringLiteral("Checking the sign-in...");
    else if (!outcome_.isEmpty())
        text = outcome_;
    status_->setText(text);
    status_->setToolTip(UsageText::claudeStatusToolTip(text, store_->errorDetail()));
    const bool failed = !checkingSignIn_ && store_->statusKind() == ClaudeUsageStatusKind::error;
    Look::setTextColour(status_,
                        failed ? Look::levelColour(UsageStatusLevel::bad) : Look::secondary());
    done_->setEnabled(!refreshing);
    done_->setText(refreshing ? QString() : QStringLiteral("Done"));
    checking_->setVisible(refreshing);
}

void ClaudeLoginWindow::done() {
    if (store_->isRefreshing()) return;
    checkingSignIn_ = true;
    outcome_.clear();
    render();
    QCoro::connect(store_->completeLogin(), this, [this](bool signedIn) {
        checkingSignIn_ = false;
        if (signedIn) {
            close();
            return;
        }
        // The page is still there: say what is missing, so the user knows Done was heard.
        outcome_ = store_->statusKind() == ClaudeUsageStatusKind::needsLogin
                       ? QStringLiteral(
                             "Not signed in yet. Finish signing in above, then press "
                             "Done.")
                       : store_->statusText();
        render();
    });
}

void ClaudeLoginWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (view_) {
        // Restored after a minimise or a hide: the page and its sign-in stay as they were,
        // unless the page has nothing loaded.
        if (view_->page()->url().isEmpty())
            QCoro::connect(store_->session()->loadLoginPage(), this, [] {});
        return;
    }
    // The session's one page is shown here; the view never makes a page of its own. The
    // session stays up while the window holds it.
    ClaudeWebSession* session = store_->holdSession();
    session->prepareForVisibleLogin();
    view_ = new QWebEngineView(this);
    view_->setObjectName(QStringLiteral("loginView"));
    view_->setPage(session->page());
    layout_->insertWidget(0, view_, 1);
    outcome_.clear();
    render();
    QCoro::connect(session->loadLoginPage(), this, [] {});
}

void ClaudeLoginWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    detachView();
}

void ClaudeLoginWindow::detachView() {
    // Deleting the view leaves the page (which the session owns) to go on working unseen.
    if (!view_) return;
    layout_->removeWidget(view_);
    delete view_.data();
    store_->releaseSession();
}

}  // namespace qm::gui
