#include "gui/widgets/LabelledFigure.h"

#include <QLabel>
#include <QVBoxLayout>

#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui {

LabelledFigure::LabelledFigure(const QString& label, const QString& value, QWidget* parent)
    : QWidget(parent),
      label_(WindowText::label(label, this, 0.85)),
      value_(WindowText::label(value, this, 1.0, true)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    label_->setWordWrap(false);
    value_->setWordWrap(false);
    WindowText::setColor(label_, WindowText::secondary(this));
    value_->setObjectName(QStringLiteral("value"));
    layout->addWidget(label_);
    layout->addWidget(value_);
}

void LabelledFigure::setValue(const QString& value) {
    value_->setText(value);
}

QString LabelledFigure::label() const {
    return label_->text();
}

QString LabelledFigure::value() const {
    return value_->text();
}

}  // namespace qm::gui
