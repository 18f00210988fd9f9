#include "gui/widgets/Symbols.h"

#include <QApplication>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <functional>

namespace qm::gui::Symbols {

namespace {

using Drawing = std::function<void(QPainter&)>;

// Draws the symbol for each size and scale it is asked for, so a screen at twice the scale gets
// lines twice as fine rather than a small picture stretched; and in the palette's text colour
// of the moment, so a switch to a dark palette draws them anew. A drawing is on a 32-point
// grid.
class DrawnSymbol : public QIconEngine {
public:
    explicit DrawnSymbol(Drawing draw) : draw_(std::move(draw)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const QColor ink = QApplication::palette().color(
            mode == QIcon::Disabled ? QPalette::Disabled : QPalette::Active, QPalette::WindowText);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->translate(rect.topLeft());
        painter->scale(rect.width() / 32.0, rect.height() / 32.0);
        painter->setPen(QPen(ink, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter->setBrush(Qt::NoBrush);
        draw_(*painter);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {QSize(16, 16), QSize(24, 24), QSize(32, 32), QSize(48, 48), QSize(64, 64)};
    }
    QIconEngine* clone() const override { return new DrawnSymbol(*this); }

private:
    Drawing draw_;
};

QIcon drawn(const QString& themeName, const Drawing& draw) {
    static QHash<QString, QIcon> made;  // main thread only, like every widget
    if (const auto it = made.constFind(themeName); it != made.constEnd()) return *it;
    QIcon themed = QIcon::fromTheme(themeName);
    return made[themeName] = themed.isNull() ? QIcon(new DrawnSymbol(draw)) : themed;
}

}  // namespace

QIcon person() {
    return drawn(QStringLiteral("user-identity"), [](QPainter& p) {
        p.drawEllipse(QRectF(2, 2, 28, 28));
        p.drawEllipse(QRectF(11, 7, 10, 10));
        QPainterPath shoulders;
        shoulders.moveTo(7.5, 25.5);
        shoulders.cubicTo(10, 19, 22, 19, 24.5, 25.5);
        p.drawPath(shoulders);
    });
}

QIcon refresh() {
    return drawn(QStringLiteral("view-refresh"), [](QPainter& p) {
        p.drawArc(QRectF(5, 5, 22, 22), 60 * 16, 300 * 16);
        QPainterPath head;
        head.moveTo(27, 4);
        head.lineTo(27, 12);
        head.lineTo(19, 12);
        p.drawPath(head);
    });
}

QIcon chart() {
    return drawn(QStringLiteral("office-chart-line"), [](QPainter& p) {
        p.drawLine(QPointF(4, 4), QPointF(4, 28));
        p.drawLine(QPointF(4, 28), QPointF(28, 28));
        QPainterPath line;
        line.moveTo(8, 22);
        line.lineTo(14, 14);
        line.lineTo(19, 18);
        line.lineTo(27, 7);
        p.drawPath(line);
    });
}

QIcon key() {
    return drawn(QStringLiteral("dialog-password"), [](QPainter& p) {
        p.drawEllipse(QRectF(3, 11, 11, 11));
        p.drawLine(QPointF(14, 16.5), QPointF(29, 16.5));
        p.drawLine(QPointF(24, 16.5), QPointF(24, 22));
        p.drawLine(QPointF(28, 16.5), QPointF(28, 21));
    });
}

QIcon settings() {
    return drawn(QStringLiteral("configure"), [](QPainter& p) {
        // A cog: a ring with eight square teeth.
        p.drawEllipse(QRectF(8.5, 8.5, 15, 15));
        p.drawEllipse(QRectF(13, 13, 6, 6));
        QPen tooth = p.pen();
        tooth.setWidthF(4.5);
        tooth.setCapStyle(Qt::FlatCap);
        p.setPen(tooth);
        for (int i = 0; i < 8; ++i) {
            p.save();
            p.translate(16, 16);
            p.rotate(i * 45.0);
            p.drawLine(QPointF(0, 7.5), QPointF(0, 13));
            p.restore();
        }
    });
}

QIcon busy() {
    return drawn(QStringLiteral("process-working"), [](QPainter& p) {
        p.setBrush(p.pen().color());
        for (int i = 0; i < 3; ++i) p.drawEllipse(QRectF(4 + i * 9, 14, 4, 4));
    });
}

}  // namespace qm::gui::Symbols
