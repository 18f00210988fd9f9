#include "gui/TrayIcon.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "gui/WindowRegistry.h"
#include "readers/UsageAggregator.h"

namespace qm::gui {

TrayIcon::TrayIcon(UsageAggregator* aggregator, WindowRegistry* windows, QObject* parent)
    : QObject(parent), aggregator_(aggregator), windows_(windows) {
    tray_.setIcon(appIcon());
    auto* menu = new QMenu();
    connect(this, &QObject::destroyed, menu, &QObject::deleteLater);
    menu->addAction(QStringLiteral("Dashboard"), this,
                    [this] { windows_->open(QStringLiteral("dashboard")); });
    menu->addAction(QStringLiteral("Refresh"), this,
                    [this] { aggregator_->refreshInBackground(); });
    menu->addSeparator();
    menu->addAction(QStringLiteral("Quit"), qApp, &QCoreApplication::quit);
    tray_.setContextMenu(menu);
    connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger) windows_->open(QStringLiteral("dashboard"));
    });
    connect(aggregator_, &UsageAggregator::changed, this, &TrayIcon::updateTitle);
    updateTitle();
}

QString TrayIcon::title() const {
    return aggregator_->menuBarTitle(std::nullopt);
}

void TrayIcon::show() {
    tray_.show();
}

void TrayIcon::updateTitle() {
    tray_.setToolTip(title());
}

QIcon TrayIcon::appIcon() {
    // A small drawn gauge until the picture assets arrive.
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0xE0, 0x8A, 0x3C), 8, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(8, 8, 48, 48), 200 * 16, -220 * 16);
    p.setPen(QPen(QColor(0x33, 0x33, 0x33), 6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(32, 34), QPointF(46, 20));
    p.end();
    return QIcon(pixmap);
}

}  // namespace qm::gui
