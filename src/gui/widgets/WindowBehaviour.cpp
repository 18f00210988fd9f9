#include "gui/widgets/WindowBehaviour.h"

#include <QEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QPointer>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QWidget>
#include <algorithm>

#include "gui/widgets/ReturnPressesButtons.h"
#include "gui/widgets/VisibleIndicatorStyle.h"

namespace qm::gui::WindowBehaviour {

namespace {

constexpr const char* kDeclaredMinimum = "declaredMinimumSize";

QRect availableArea(const QWidget* window) {
    // The screen the window was placed on; before it is first shown, Qt still counts it on
    // the screen it was made on.
    QScreen* screen = QGuiApplication::screenAt(window->frameGeometry().center());
    if (!screen) screen = window->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

// The first control in tab order that takes the keyboard.
void focusFirstControl(QWidget* window) {
    for (QWidget* w = window->nextInFocusChain(); w && w != window; w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(window) && w->isEnabled() &&
            w->window() == window) {
            w->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

// Watches the window's Show events; being a child, it goes with the window.
class ShowWatch : public QObject {
public:
    explicit ShowWatch(QWidget* window)
        : QObject(window), window_(window), declared_(window->minimumSize()) {
        window->setProperty(kDeclaredMinimum, declared_);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_ && event->type() == QEvent::Show) {
            fit();
            if (!focused_) {
                focused_ = true;
                // After the window is mapped, or the focus request is lost.
                QPointer<QWidget> window(window_);
                QTimer::singleShot(0, window_, [window] {
                    if (window && !window->focusWidget()) focusFirstControl(window);
                });
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void fit() {
        const QRect area = availableArea(window_);
        if (!area.isValid()) return;
        // The frame the window manager adds is known only once it is mapped; until then the
        // inner geometry is the best guess.
        const QMargins border = frameBorder();
        // From the declared size each time, so a bigger screen gets it back; the frame too
        // has to fit.
        window_->setMinimumSize(fittedMinimum(declared_, area.marginsRemoved(border)));
        const QRect frame = window_->frameGeometry();
        const QRect target = fitted(frame, area);
        if (target == frame) return;
        window_->resize(target.size().shrunkBy(border).expandedTo(window_->minimumSize()));
        window_->move(target.topLeft());
    }

    QMargins frameBorder() const {
        const QRect frame = window_->frameGeometry();
        const QRect inner = window_->geometry();
        return {inner.left() - frame.left(), inner.top() - frame.top(),
                frame.right() - inner.right(), frame.bottom() - inner.bottom()};
    }

    QWidget* window_;
    QSize declared_;
    bool focused_ = false;
};

}  // namespace

QRect fitted(const QRect& wanted, const QRect& area) {
    const QSize size = wanted.size().boundedTo(area.size());
    const int x = std::clamp(wanted.x(), area.left(), area.left() + area.width() - size.width());
    const int y = std::clamp(wanted.y(), area.top(), area.top() + area.height() - size.height());
    return QRect(QPoint(x, y), size);
}

QSize fittedMinimum(const QSize& minimum, const QRect& area) {
    return minimum.boundedTo(area.size());
}

QRect openingPlace(const std::optional<QRect>& saved, const QSize& size, const QList<QRect>& areas,
                   const QRect& pointerArea) {
    if (saved && saved->isValid()) {
        for (const QRect& area : areas) {
            if (area.contains(saved->center())) return fitted(*saved, area);
        }
    }
    // The size the user gave it still holds on another screen.
    const QSize wanted = saved && saved->isValid() ? saved->size() : size;
    QRect centred(QPoint(0, 0), wanted.boundedTo(pointerArea.size()));
    centred.moveCenter(pointerArea.center());
    return fitted(centred, pointerArea);
}

QSize declaredMinimum(const QWidget* window) {
    const QVariant declared = window->property(kDeclaredMinimum);
    return declared.isValid() ? declared.toSize() : window->minimumSize();
}

void install(QWidget* window, CloseKeys keys) {
    ReturnPressesButtons::installOnApplication();
    VisibleIndicatorStyle::useForApplication();
    QList<QKeySequence> sequences{QKeySequence(Qt::CTRL | Qt::Key_W)};
    if (keys == CloseKeys::escapeAndCtrlW) sequences.append(QKeySequence(Qt::Key_Escape));
    for (const QKeySequence& sequence : sequences) {
        auto* shortcut = new QShortcut(sequence, window);
        shortcut->setContext(Qt::WindowShortcut);
        QObject::connect(shortcut, &QShortcut::activated, window, &QWidget::close);
    }
    window->installEventFilter(new ShowWatch(window));
}

}  // namespace qm::gui::WindowBehaviour
