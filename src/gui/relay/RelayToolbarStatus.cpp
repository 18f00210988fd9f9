#include "gui/relay/RelayToolbarStatus.h"

#include <QHBoxLayout>
#include <QLabel>

#include "gui/widgets/WindowTextStyles.h"

namespace qm::gui {

RelayToolbarStatus::RelayToolbarStatus(QWidget* parent)
    : QWidget(parent), dot_(new QLabel(this)), text_(new QLabel(this)), clients_(new QLabel(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    dot_->setFixedSize(8, 8);
    text_->setObjectName(QStringLiteral("relayStatusText"));
    clients_->setObjectName(QStringLiteral("relayStatusClients"));
    clients_->setFont(WindowText::scaled(font(), 0.85));
    layout->addWidget(dot_);
    layout->addWidget(text_);
    layout->addWidget(clients_);
    setStatus(false, 0, 0);
}

void RelayToolbarStatus::setStatus(bool isRunning, int port, int activeClientCount,
                                   std::optional<int> elsewherePort) {
    const bool serving = isRunning || elsewherePort.has_value();
    const QColor dot = serving ? WindowText::green() : WindowText::secondary(this);
    dot_->setStyleSheet(QStringLiteral("background: %1; border-radius: 4px;").arg(dot.name()));
    text_->setText(isRunning       ? tr("Relay %1").arg(port)
                   : elsewherePort ? tr("Relay %1 (another process)").arg(*elsewherePort)
                                   : tr("Relay stopped"));
    clients_->setVisible(activeClientCount > 0);
    clients_->setText(QString::number(activeClientCount));
    QColor tint = palette().color(QPalette::Highlight);
    tint.setAlphaF(0.18);
    clients_->setStyleSheet(QStringLiteral("background: %1; border-radius: 7px; padding: 0 6px;")
                                .arg(tint.name(QColor::HexArgb)));
}

QString RelayToolbarStatus::text() const {
    return text_->text();
}

}  // namespace qm::gui
