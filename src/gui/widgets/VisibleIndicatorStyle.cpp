#include "gui/widgets/VisibleIndicatorStyle.h"

#include <QApplication>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOption>

namespace qm::gui {

VisibleIndicatorStyle::VisibleIndicatorStyle(QStyle* base) : QProxyStyle(base) {}

void VisibleIndicatorStyle::useForApplication() {
    static bool done = false;  // main thread only, like every widget
    if (done || !qobject_cast<QApplication*>(QCoreApplication::instance())) return;
    done = true;
    const QString name = QApplication::style()->name();
    if (name.compare(QLatin1String("fusion"), Qt::CaseInsensitive) != 0) return;
    // A fresh Fusion inside: the application deletes the style it replaces.
    QApplication::setStyle(new VisibleIndicatorStyle(QStyleFactory::create(name)));
}

std::optional<QColor> VisibleIndicatorStyle::outline(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    if (window.lightnessF() >= 0.5) return std::nullopt;
    const QColor text = palette.color(QPalette::WindowText);
    // Nearer the background than the text, so an empty box does not look checked.
    constexpr float kShare = 0.45f;
    return QColor::fromRgbF(window.redF() + (text.redF() - window.redF()) * kShare,
                            window.greenF() + (text.greenF() - window.greenF()) * kShare,
                            window.blueF() + (text.blueF() - window.blueF()) * kShare);
}

void VisibleIndicatorStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                          QPainter* painter, const QWidget* widget) const {
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    if (element != PE_IndicatorCheckBox && element != PE_IndicatorRadioButton) return;
    const std::optional<QColor> line = outline(option->palette);
    if (!line) return;
    QColor pen = *line;
    if (!(option->state & State_Enabled)) pen.setAlphaF(0.5f);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(pen, 1));
    painter->setBrush(Qt::NoBrush);
    const QRectF box = QRectF(option->rect).adjusted(0.5, 0.5, -0.5, -0.5);
    if (element == PE_IndicatorRadioButton)
        painter->drawEllipse(box);
    else
        painter->drawRect(box);
    painter->restore();
}

}  // namespace qm::gui
