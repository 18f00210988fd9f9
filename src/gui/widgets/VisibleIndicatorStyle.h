#pragma once

#include <QProxyStyle>

namespace qm::gui {

// Fusion draws an unchecked check box as a square of the palette's base colour inside a line
// a shade darker than the window: on a dark palette both vanish into the window or a menu
// (whose background Fusion also takes from the base colour). Around Fusion, this style draws
// that line again in a colour between the window's text and its background, on dark palettes
// only; a light palette and every other style look as they did.
class VisibleIndicatorStyle : public QProxyStyle {
    Q_OBJECT
public:
    explicit VisibleIndicatorStyle(QStyle* base);

    // Wraps the application's style, once, when it is Fusion.
    static void useForApplication();
    // The line's colour on `palette`, or none where the style's own line shows.
    static std::optional<QColor> outline(const QPalette& palette);

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
};

}  // namespace qm::gui
