#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoroTask>
#include <QString>
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

// A loopback port held bound but not listening: a connection to it is refused, and nothing
// else can take the port while this lives.
class RefusingPort {
public:
    RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    quint16 port() const { return port_; }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }

private:
    int fd_;
    quint16 port_ = 0;
};

}  // namespace qm::test
