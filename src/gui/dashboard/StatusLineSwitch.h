#pragma once

#include <QCheckBox>
#include <functional>

namespace qm::gui {

// "Claude Code Status Line": whether Claude Code's settings run `quotameter-cli statusline`,
// which hands the plan's own five-hour and weekly figures to the program on every answer.
// The switch shows the settings file as it is each time it is shown, and turning it on or off
// adds or removes exactly that entry (see ClaudeCodeSettings). Another program's status line is
// replaced only when the user says so; a failure leaves the file and the switch as they were
// and says why in the tool tip.
class StatusLineSwitch : public QCheckBox {
    Q_OBJECT
public:
    // Asked before another program's status line is replaced, with its command; true to
    // replace it.
    using AskReplace = std::function<bool(const QString& otherCommand)>;

    // `settingsPath`: Claude Code's settings.json; `cliPath`: the quotameter-cli to run.
    StatusLineSwitch(QString settingsPath, QString cliPath, QWidget* parent = nullptr,
                     AskReplace askReplace = {});

    // quotameter-cli beside this program, or the one on the PATH.
    static QString installedCli();
    // Reads the file again and shows what it holds.
    void showFileState();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void turn(bool on);

    QString settingsPath_;
    QString cliPath_;
    AskReplace askReplace_;
};

}  // namespace qm::gui
