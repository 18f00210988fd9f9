#pragma once

#include <QObject>
#include <array>

namespace qm {

// The user's choices about the application itself (not about accounts), kept in the
// application's settings file. One instance per process; whoever shows or acts on a choice
// follows changed() instead of reading the file again.
class Preferences : public QObject {
    Q_OBJECT
public:
    static constexpr std::array<int, 4> kRefreshChoices{0, 5, 15, 30};  // minutes; 0 is off

    explicit Preferences(QObject* parent = nullptr);

    // "refreshEveryMinutes": one of kRefreshChoices, off unless chosen (or when the stored
    // value is none of them).
    int refreshEveryMinutes() const { return refreshEveryMinutes_; }
    void setRefreshEveryMinutes(int minutes);
    // "notificationsEnabled": on unless switched off.
    bool notificationsEnabled() const { return notificationsEnabled_; }
    void setNotificationsEnabled(bool enabled);
    // "mascotEnabled": the corgi on the dashboard, on unless switched off.
    bool mascotEnabled() const { return mascotEnabled_; }
    void setMascotEnabled(bool enabled);

Q_SIGNALS:
    void changed();

private:
    int refreshEveryMinutes_ = 0;
    bool notificationsEnabled_ = true;
    bool mascotEnabled_ = true;
};

}  // namespace qm
