#include "gui/widgets/LabelledFigure.h"

#include <QLabel>
#include <QVBoxLayout>

#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui {

LabelledFigure::LabelledFigure(const QString& label, const QString& value, QWidget* parent)
    : QWidget(parent),
      m_label(WindowText::label(label, this, 0.85)),
      m_value(WindowText::label(value, this, 1.0, true)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    m_label->setWordWrap(false);
    m_value->setWordWrap(false);
    WindowText::setColor(m_label, WindowText::secondary(this));
    m_value->setObjectName(QStringLiteral("value"));
    layout->addWidget(m_label);
    layout->addWidget(m_value);
}

void LabelledFigure::setValue(const QString& value) {
    m_value->setText(value);
}

QString LabelledFigure::label() const {
    return m_label->text();
}

QString LabelledFigure::value() const {
    return m_value->text();
}

}  // namespace qm::gui
