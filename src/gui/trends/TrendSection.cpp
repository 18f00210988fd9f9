#include "gui/trends/TrendSection.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui {

TrendSection::TrendSection(const QString& title, QWidget* content, QWidget* parent)
    : QWidget(parent),
      subtitle_(new QLabel(this)),
      placeholder_(new QLabel(tr("No history yet"), this)),
      content_(content) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto* header = new QHBoxLayout;
    auto* heading = WindowText::label(title, this, 1.15, true);
    heading->setWordWrap(false);
    header->addWidget(heading);
    header->addStretch(1);
    subtitle_->setObjectName(QStringLiteral("subtitle"));
    subtitle_->setFont(WindowText::monospaced(font()));
    WindowText::setColor(subtitle_, WindowText::secondary(this));
    header->addWidget(subtitle_);
    layout->addLayout(header);

    placeholder_->setObjectName(QStringLiteral("placeholder"));
    placeholder_->setAlignment(Qt::AlignCenter);
    // One line: an empty section says so without pushing the charts below it out of sight.
    placeholder_->setFixedHeight(placeholder_->fontMetrics().height() + 16);
    placeholder_->setFrameShape(QFrame::StyledPanel);
    WindowText::setColor(placeholder_, WindowText::secondary(this));
    content->setParent(this);
    layout->addWidget(placeholder_);
    layout->addWidget(content);
    setEmpty(true);
}

void TrendSection::setSubtitle(const QString& subtitle) {
    subtitle_->setText(subtitle);
}

void TrendSection::setEmpty(bool empty) {
    // Hidden rather than stacked, so the section takes the height of what it shows.
    const bool changed = empty != empty_;
    empty_ = empty;
    placeholder_->setVisible(empty);
    content_->setVisible(!empty);
    if (changed) Q_EMIT emptyChanged(empty);
}

QString TrendSection::subtitle() const {
    return subtitle_->text();
}

bool TrendSection::isEmpty() const {
    return empty_;
}

}  // namespace qm::gui
