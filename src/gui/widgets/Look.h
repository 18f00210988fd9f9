#pragma once

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QLabel>

#include "core/UsageModels.h"

namespace qm::gui::Look {

// The colour of a usage level: green, orange, blue, red, or the secondary text colour.
QColor levelColour(UsageStatusLevel level);
// The colour of a tool's activity word (Active, Recent, Idle): the palette's accent while it
// is active, the secondary text colour otherwise. Never a limit's colour: how recently a tool
// was used says nothing about how full its limits are.
QColor activityColour(UsageStatusLevel activity);
// A tool's own colour, the same in every palette and every window (the cards' mark, the
// trends' bars), chosen apart from the limit colours so a tool never reads as a state.
QColor toolColour(ProviderKind tool);
// The toolkit's secondary text colour.
QColor secondary();
// Fonts relative to the application font: headline, caption, callout, the second title size.
QFont headline();
QFont caption(QFont::Weight weight = QFont::Normal);
QFont callout();
QFont title2();

// A label in the secondary colour.
void makeSecondary(QLabel* label);
// Wide enough for every tool's name in `font`, and at least `minimum`: a column of names
// never cuts one ("Claude Code").
int toolNameWidth(const QFont& font, int minimum);
void setTextColour(QWidget* widget, const QColor& colour);

}  // namespace qm::gui::Look

namespace qm::gui {

// A rounded rectangle (radius 8) filled with the control background colour.
class CardFrame : public QFrame {
    Q_OBJECT
public:
    explicit CardFrame(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A filled circle in a colour: the status dot.
class StatusDot : public QWidget {
    Q_OBJECT
public:
    StatusDot(int diameter, QWidget* parent = nullptr);
    void setColour(const QColor& colour);
    QColor colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
};

// Caption text on a capsule of its colour at low opacity: the status badge and pill.
class Pill : public QLabel {
    Q_OBJECT
public:
    explicit Pill(QWidget* parent = nullptr);
    void set(const QString& text, const QColor& colour);
    QColor colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
};

}  // namespace qm::gui
