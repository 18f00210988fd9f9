#pragma once

#include <array>

// The two user choices about background work, kept in the application's QSettings.
namespace qm::AlertSettings {

inline constexpr std::array<int, 4> kRefreshChoices{0, 5, 15, 30};  // minutes; 0 is off

// "refreshEveryMinutes": one of kRefreshChoices, off unless chosen (or when the stored value
// is none of them).
int refreshEveryMinutes();
void setRefreshEveryMinutes(int minutes);

// "notificationsEnabled": on unless switched off.
bool notificationsEnabled();
void setNotificationsEnabled(bool enabled);

}  // namespace qm::AlertSettings
