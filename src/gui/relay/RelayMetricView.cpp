#include "gui/relay/RelayMetricView.h"

#include <QGridLayout>
#include <QLabel>

#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui {

RelayMetricView::RelayMetricView(const QString& label, QStyle::StandardPixmap icon, QWidget* parent)
    : QFrame(parent), value_(new QLabel(this)) {
    setFrameShape(QFrame::StyledPanel);
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(10, 8, 10, 8);
    auto* image = new QLabel(this);
    image->setPixmap(style()->standardIcon(icon).pixmap(16, 16));
    auto* caption = WindowText::label(label, this, 0.9);
    caption->setWordWrap(false);
    WindowText::setColor(caption, WindowText::secondary(this));
    value_->setObjectName(QStringLiteral("value"));
    value_->setFont(WindowText::scaled(font(), 1.3, true));
    layout->addWidget(image, 0, 0);
    layout->addWidget(caption, 0, 1);
    layout->addWidget(value_, 1, 0, 1, 2);
    layout->setColumnStretch(1, 1);
}

void RelayMetricView::setValue(const QString& value) {
    value_->setText(value);
}

QString RelayMetricView::value() const {
    return value_->text();
}

}  // namespace qm::gui
