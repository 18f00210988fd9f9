#include "browser/ClaudeLoginWindow.h"

#include <QCloseEvent>
#include <QCoroCore>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWebEngineView>

#include "browser/ClaudeWebSession.h"

namespace qm {

namespace {

// The error colour, chosen against the window's own background so it reads on a dark palette.
QColor errorColour(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128 ? QColor(0xff, 0x7b, 0x72)
                                                             : QColor(0xc6, 0x28, 0x28);
}

}  // namespace

ClaudeLoginWindow::ClaudeLoginWindow(ClaudeWebSession* session, QWidget* parent)
    : QWidget(parent),
      session_(session),
      layout_(new QVBoxLayout(this)),
      status_(new QLabel(this)),
      done_(new QPushButton(tr("Done"), this)),
      checking_(new QProgressBar(done_)) {
    setObjectName(QStringLiteral("claudeLogin"));
    setWindowTitle(tr("Claude Login"));
    setWindowIcon(QIcon::fromTheme(QStringLiteral("org.quotameter.Quotameter")));
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
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* cancel = new QPushButton(tr("Cancel"), bar);
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
    connect(done_, &QPushButton::clicked, this, [this] {
        if (waitingForCheck_ || shown_.busy) return;
        waitingForCheck_ = true;
        render();
        Q_EMIT doneRequested();
    });
    for (const QKeySequence& keys :
         {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &QWidget::close);
    render();
}

ClaudeLoginWindow::~ClaudeLoginWindow() {
    detachView();
}

void ClaudeLoginWindow::setStatus(const ClaudeBrowserProtocol::LoginStatus& status) {
    shown_ = status;
    waitingForCheck_ = false;
    render();
}

void ClaudeLoginWindow::render() {
    const bool busy = shown_.busy || waitingForCheck_;
    status_->setText(shown_.text);
    status_->setToolTip(shown_.toolTip);
    QPalette palette = status_->palette();
    palette.setColor(QPalette::WindowText, shown_.bad
                                               ? errorColour(this->palette())
                                               : this->palette().color(QPalette::PlaceholderText));
    status_->setPalette(palette);
    done_->setEnabled(!busy);
    done_->setText(busy ? QString() : tr("Done"));
    checking_->setVisible(busy);
}

void ClaudeLoginWindow::fitToScreen() {
    // Inside the screen's free area at any scale; a minimum larger than that area gives way.
    const QScreen* where = screen();
    if (!where) return;
    const QRect area = where->availableGeometry();
    setMinimumSize(minimumSize().boundedTo(area.size() * 9 / 10));
    if (!placed_) resize(size().boundedTo(area.size() * 9 / 10));
    QRect frame = frameGeometry();
    if (!area.contains(frame)) {
        frame.moveCenter(area.center());
        move(frame.topLeft());
    }
    placed_ = true;
}

void ClaudeLoginWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    fitToScreen();
    if (view_) {
        // Restored after a minimise or a hide: the page and its sign-in stay as they were,
        // unless the page has nothing loaded.
        if (view_->page()->url().isEmpty()) QCoro::connect(session_->loadLoginPage(), this, [] {});
        return;
    }
    // The session's one page is shown here; the view never makes a page of its own.
    session_->prepareForVisibleLogin();
    view_ = new QWebEngineView(this);
    view_->setObjectName(QStringLiteral("loginView"));
    view_->setPage(session_->page());
    layout_->insertWidget(0, view_, 1);
    view_->setFocus();
    QCoro::connect(session_->loadLoginPage(), this, [] {});
}

void ClaudeLoginWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (!event->isAccepted()) return;
    const bool wasShowing = view_ != nullptr;
    detachView();
    if (wasShowing) Q_EMIT closed();
}

void ClaudeLoginWindow::detachView() {
    // Deleting the view leaves the page (which the session owns) to go on working unseen.
    if (!view_) return;
    layout_->removeWidget(view_);
    delete view_.data();
}

}  // namespace qm
