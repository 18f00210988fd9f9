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
    setMinimumSize(920, 680);
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
    render();
}

ClaudeLoginWindow::~ClaudeLoginWindow() {
    detachView();
}

void ClaudeLoginWindow::render() {
    status_->setText(store_->statusText());
    status_->setToolTip(store_->statusText());
    const bool failed = store_->statusKind() == ClaudeUsageStatusKind::error;
    Look::setTextColour(status_,
                        failed ? Look::levelColour(UsageStatusLevel::bad) : Look::secondary());
    const bool refreshing = store_->isRefreshing();
    done_->setEnabled(!refreshing);
    done_->setText(refreshing ? QString() : QStringLiteral("Done"));
    checking_->setVisible(refreshing);
}

void ClaudeLoginWindow::done() {
    if (store_->isRefreshing()) return;
    QCoro::connect(store_->completeLogin(), this, [this](bool signedIn) {
        if (signedIn) close();
    });
}

void ClaudeLoginWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (view_) return;
    // The session's one page is shown here; the view never makes a page of its own.
    ClaudeWebSession* session = store_->session();
    session->prepareForVisibleLogin();
    view_ = new QWebEngineView(this);
    view_->setObjectName(QStringLiteral("loginView"));
    view_->setPage(session->page());
    layout_->insertWidget(0, view_, 1);
    QCoro::connect(session->loadLoginPage(), this, [] {});
}

void ClaudeLoginWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    detachView();
}

void ClaudeLoginWindow::detachView() {
    // Deleting the view leaves the page (which the session owns) to go on working unseen.
    if (!view_) return;
    layout_->removeWidget(view_);
    delete view_.data();
}

}  // namespace qm::gui
