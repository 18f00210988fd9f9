#include "gui/widgets/Look.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>
#include <algorithm>

#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui::Look {

QColor levelColour(UsageStatusLevel level) {
    switch (level) {
        case UsageStatusLevel::good:
            return WindowText::againstPalette(QColor(0x2E, 0xA0, 0x43));
        case UsageStatusLevel::warn:
            return WindowText::againstPalette(QColor(0xE8, 0x83, 0x0C));
        case UsageStatusLevel::high:
            return WindowText::againstPalette(QColor(0x1F, 0x6F, 0xEB));
        case UsageStatusLevel::bad:
            return WindowText::againstPalette(QColor(0xD7, 0x3A, 0x31));
        case UsageStatusLevel::unknown:
            break;
    }
    return secondary();
}

QColor activityColour(UsageStatusLevel activity) {
    if (activity == UsageStatusLevel::good)
        return WindowText::againstPalette(QApplication::palette().color(QPalette::Highlight));
    return secondary();
}

QColor toolColour(ProviderKind tool) {
    switch (tool) {
        case ProviderKind::codex:
            return {0x3B, 0x6F, 0xD8};  // blue
        case ProviderKind::claudeCode:
            return {0x8E, 0x5B, 0xD0};  // purple
        case ProviderKind::gemini:
            return {0x17, 0x9C, 0xA8};  // teal
        case ProviderKind::grok:
            return {0xC2, 0x41, 0x7A};  // magenta
        // Hues the others and the limit colours leave free, mid-light so they read on a light
        // card and a dark one alike.
        case ProviderKind::openCode:
            return {0x7D, 0x8C, 0x1E};  // olive
        case ProviderKind::qwenCode:
            return {0xA0, 0x6A, 0x4A};  // cocoa
    }
    return secondary();
}

QColor secondary() {
    return QApplication::palette().color(QPalette::PlaceholderText);
}

namespace {
QFont scaled(double factor, QFont::Weight weight) {
    QFont font = QApplication::font();
    if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * factor);
    font.setWeight(weight);
    return font;
}
}  // namespace

QFont headline() {
    return scaled(1.0, QFont::Bold);
}
QFont caption(QFont::Weight weight) {
    return scaled(0.85, weight);
}
QFont callout() {
    return scaled(0.95, QFont::Normal);
}
QFont title2() {
    return scaled(1.5, QFont::DemiBold);
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

int toolNameWidth(const QFont& font, int minimum) {
    const QFontMetrics metrics(font);
    int width = minimum;
    for (ProviderKind kind : kAllProviderKinds) {
        width = std::max(width, metrics.horizontalAdvance(providerName(kind)) + 2);
    }
    return width;
}

void makeSecondary(QLabel* label) {
    setTextColour(label, secondary());
}

}  // namespace qm::gui::Look

namespace qm::gui {

CardFrame::CardFrame(QWidget* parent) : QFrame(parent) {}

void CardFrame::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(palette().color(QPalette::Mid), 0.5));
    p.setBrush(palette().color(QPalette::Base));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
}

StatusDot::StatusDot(int diameter, QWidget* parent) : QWidget(parent) {
    setFixedSize(diameter, diameter);
}

void StatusDot::setColour(const QColor& colour) {
    if (colour == colour_) return;
    colour_ = colour;
    update();
}

void StatusDot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour_);
    p.drawEllipse(rect());
}

Pill::Pill(QWidget* parent) : QLabel(parent) {
    setFont(Look::caption(QFont::Medium));
    setContentsMargins(8, 4, 8, 4);
    setAlignment(Qt::AlignCenter);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Pill::set(const QString& text, const QColor& colour) {
    colour_ = colour;
    setText(text);
    Look::setTextColour(this, colour);
    update();
}

void Pill::paintEvent(QPaintEvent* event) {
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        QColor fill = colour_;
        fill.setAlphaF(0.14f);
        p.setBrush(fill);
        const QRectF r = QRectF(rect());
        p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    }
    QLabel::paintEvent(event);
}

}  // namespace qm::gui
