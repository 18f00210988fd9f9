#include "gui/trends/TrendSection.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui {

namespace {
constexpr int kPlaceholderHeight = 140;
}

TrendSection::TrendSection(const QString& title, QWidget* content, QWidget* parent)
    : QWidget(parent),
      m_subtitle(new QLabel(this)),
      m_placeholder(new QLabel(tr("No history yet"), this)),
      m_content(content) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto* header = new QHBoxLayout;
    auto* heading = WindowText::label(title, this, 1.15, true);
    heading->setWordWrap(false);
    header->addWidget(heading);
    header->addStretch(1);
    m_subtitle->setObjectName(QStringLiteral("subtitle"));
    m_subtitle->setFont(WindowText::monospaced(font()));
    WindowText::setColor(m_subtitle, WindowText::secondary(this));
    header->addWidget(m_subtitle);
    layout->addLayout(header);

    m_placeholder->setObjectName(QStringLiteral("placeholder"));
    m_placeholder->setAlignment(Qt::AlignCenter);
    m_placeholder->setFixedHeight(kPlaceholderHeight);
    m_placeholder->setFrameShape(QFrame::StyledPanel);
    WindowText::setColor(m_placeholder, WindowText::secondary(this));
    content->setParent(this);
    layout->addWidget(m_placeholder);
    layout->addWidget(content);
    setEmpty(true);
}

void TrendSection::setSubtitle(const QString& subtitle) {
    m_subtitle->setText(subtitle);
}

void TrendSection::setEmpty(bool empty) {
    // Hidden rather than stacked, so the section takes the height of what it shows.
    m_empty = empty;
    m_placeholder->setVisible(empty);
    m_content->setVisible(!empty);
}

QString TrendSection::subtitle() const {
    return m_subtitle->text();
}

bool TrendSection::isEmpty() const {
    return m_empty;
}

}  // namespace qm::gui
