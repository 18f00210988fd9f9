#pragma once

#include <QCoroTask>
#include <QTimer>
#include <chrono>

#include "support/FakeProviderServer.h"

namespace qm::test {

// Short enough that the time-out cases run quickly, long enough for a loaded machine.
inline constexpr std::chrono::milliseconds kShortTimeout{400};

template <typename T>
T run(QCoro::Task<T> task) {
    return QCoro::waitFor(std::move(task));
}

// Calls `cancel` once the request is in flight.
template <typename Client>
void cancelSoon(const Client& client) {
    QTimer::singleShot(100, [&client] { client.cancel(); });
}

// A base address where nothing listens.
QString closedPortUrl();

}  // namespace qm::test
