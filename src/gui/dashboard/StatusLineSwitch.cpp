#include "gui/dashboard/StatusLineSwitch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QToolTip>

#include "core/ClaudeCodeSettings.h"

namespace qm::gui {

using namespace ClaudeCodeSettings;

StatusLineSwitch::StatusLineSwitch(QString settingsPath, QString cliPath, QWidget* parent,
                                   AskReplace askReplace)
    : QCheckBox(tr("Claude Code Status Line"), parent),
      settingsPath_(std::move(settingsPath)),
      cliPath_(std::move(cliPath)),
      askReplace_(std::move(askReplace)) {
    setObjectName(QStringLiteral("statusLineSwitch"));
    if (!askReplace_) {
        askReplace_ = [this](const QString& other) {
            return QMessageBox::question(
                       window(), tr("Replace Claude Code's status line?"),
                       tr("Claude Code already shows the status line of:\n%1\n\nReplace it with "
                          "Quotameter's? A copy of the settings file is kept beside it.")
                           .arg(other)) == QMessageBox::Yes;
        };
    }
    connect(this, &QCheckBox::clicked, this, &StatusLineSwitch::turn);
    showFileState();
}

QString StatusLineSwitch::installedCli() {
    const QString beside =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("quotameter-cli"));
    if (QFileInfo(beside).isExecutable()) return beside;
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("quotameter-cli"));
    return onPath.isEmpty() ? QStringLiteral("quotameter-cli") : onPath;
}

void StatusLineSwitch::showFileState() {
    const StatusLineInfo info = statusLine(settingsPath_, cliPath_);
    const QSignalBlocker quiet(this);
    setChecked(info.state == StatusLineState::ours);
    switch (info.state) {
        case StatusLineState::ours:
            setToolTip(tr("Claude Code runs: %1").arg(info.command));
            break;
        case StatusLineState::other:
            setToolTip(tr("Claude Code shows another status line: %1").arg(info.command));
            break;
        case StatusLineState::unreadable:
            setToolTip(info.problem);
            break;
        case StatusLineState::absent:
            setToolTip(tr("Adds Quotameter's status line to %1").arg(settingsPath_));
            break;
    }
}

void StatusLineSwitch::showEvent(QShowEvent* event) {
    QCheckBox::showEvent(event);
    showFileState();
}

void StatusLineSwitch::turn(bool on) {
    EditResult result =
        on ? installStatusLine(settingsPath_, cliPath_) : uninstallStatusLine(settingsPath_);
    if (on && result.outcome == EditOutcome::otherCommand && askReplace_(result.command))
        result = installStatusLine(settingsPath_, cliPath_, true);
    // The switch shows the file as it is, so a change that did not happen leaves it unmoved.
    showFileState();
    if (result.outcome == EditOutcome::failed) {
        setToolTip(result.problem);
        QToolTip::showText(mapToGlobal(QPoint(0, height())), result.problem, this);
    }
}

}  // namespace qm::gui
