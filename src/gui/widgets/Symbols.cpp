#include "gui/widgets/Symbols.h"

#include <QApplication>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <functional>

namespace qm::gui::Symbols {

namespace {

QIcon drawn(const QString& themeName, const std::function<void(QPainter&)>& draw) {
    static QHash<QString, QIcon> made;  // main thread only, like every widget
    // Drawn in the palette's text colour, so a switch to a dark palette draws them anew.
    const QColor ink = QApplication::palette().color(QPalette::WindowText);
    const QString key = themeName + QLatin1Char('/') + ink.name();
    if (const auto it = made.constFind(key); it != made.constEnd()) return *it;
    QIcon themed = QIcon::fromTheme(themeName);
    if (!themed.isNull()) return made[key] = themed;
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(ink, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    draw(p);
    p.end();
    return made[key] = QIcon(pixmap);
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
