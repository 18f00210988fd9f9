#include "gui/WindowPlaces.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QTimer>
#include <QWidget>

#include "gui/widgets/WindowBehaviour.h"

namespace qm::gui::WindowPlaces {

namespace {

// A temporary QSettings writes its value through when it is destroyed, so setValue() on one is
// not lost. clazy:excludeall=writing-to-temporary
QSettings settings() {
    return QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter"));
}

QString key(const QString& id) {
    return QStringLiteral("windows/%1/place").arg(id);
}

QRect pointerArea() {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

// Saves the place a moment after the last move or resize of a drag, and at once when the
// window is hidden; being a child, it goes with the window.
class PlaceWatch : public QObject {
public:
    PlaceWatch(QWidget* window, QString id) : QObject(window), window_(window), id_(std::move(id)) {
        settle_.setSingleShot(true);
        settle_.setInterval(400);
        connect(&settle_, &QTimer::timeout, this, [this] { keep(window_, id_); });
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != window_) return false;
        switch (event->type()) {
            case QEvent::Move:
            case QEvent::Resize:
                if (window_->isVisible()) settle_.start();
                break;
            case QEvent::Hide:
                settle_.stop();
                keep(window_, id_);
                break;
            default:
                break;
        }
        return false;
    }

private:
    QWidget* window_;
    QString id_;
    QTimer settle_;
};

}  // namespace

std::optional<QRect> saved(const QString& id) {
    const QVariant value = settings().value(key(id));
    if (!value.isValid()) return std::nullopt;
    const QRect place = value.toRect();
    if (!place.isValid()) return std::nullopt;
    return place;
}

void save(const QString& id, const QRect& place) {
    settings().setValue(key(id), place);
}

void keep(const QWidget* window, const QString& id) {
    if (window->isMaximized() || window->isFullScreen() || window->isMinimized()) return;
    save(id, QRect(window->pos(), window->size()));
}

void place(QWidget* window, const QString& id) {
    QList<QRect> areas;
    for (const QScreen* screen : QGuiApplication::screens()) areas << screen->availableGeometry();
    const QRect opening =
        WindowBehaviour::openingPlace(saved(id), window->size(), areas, pointerArea());
    if (!opening.isValid()) return;
    window->resize(opening.size());
    window->move(opening.topLeft());
}

void follow(QWidget* window, const QString& id) {
    window->installEventFilter(new PlaceWatch(window, id));
}

}  // namespace qm::gui::WindowPlaces
