#include "gui/relay/RelayToolbarStatus.h"

#include <QHBoxLayout>
#include <QLabel>

#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui {

RelayToolbarStatus::RelayToolbarStatus(QWidget* parent)
    : QWidget(parent),
      m_dot(new QLabel(this)),
      m_text(new QLabel(this)),
      m_clients(new QLabel(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    m_dot->setFixedSize(8, 8);
    m_text->setObjectName(QStringLiteral("relayStatusText"));
    m_clients->setObjectName(QStringLiteral("relayStatusClients"));
    m_clients->setFont(WindowText::scaled(font(), 0.85));
    layout->addWidget(m_dot);
    layout->addWidget(m_text);
    layout->addWidget(m_clients);
    setStatus(false, 0, 0);
}

void RelayToolbarStatus::setStatus(bool isRunning, int port, int activeClientCount) {
    const QColor dot = isRunning ? WindowText::green() : WindowText::secondary(this);
    m_dot->setStyleSheet(QStringLiteral("background: %1; border-radius: 4px;").arg(dot.name()));
    m_text->setText(isRunning ? tr("Relay %1").arg(port) : tr("Relay stopped"));
    m_clients->setVisible(activeClientCount > 0);
    m_clients->setText(QString::number(activeClientCount));
    QColor tint = palette().color(QPalette::Highlight);
    tint.setAlphaF(0.18);
    m_clients->setStyleSheet(QStringLiteral("background: %1; border-radius: 7px; padding: 0 6px;")
                                 .arg(tint.name(QColor::HexArgb)));
}

QString RelayToolbarStatus::text() const {
    return m_text->text();
}

}  // namespace qm::gui
