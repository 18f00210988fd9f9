#include "relay/RelayUpstreamClients.h"

#include <algorithm>

namespace qm {
namespace {

// Qt opens this many HTTP/1.1 connections per host and manager; more calls would queue.
constexpr int kCallsPerManager = 6;
constexpr std::size_t kMaxManagers = 16;

}  // namespace

RelayUpstreamClients::RelayUpstreamClients(QObject* parent) : QObject(parent) {}

QNetworkReply* RelayUpstreamClients::send(const QNetworkRequest& request, const QByteArray& method,
                                          const QByteArray& body) {
    auto slot = std::min_element(managers_.begin(), managers_.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
    if (slot == managers_.end() ||
        (slot->second >= kCallsPerManager && managers_.size() < kMaxManagers)) {
        auto* manager = new QNetworkAccessManager(this);
        managers_.emplace_back(manager, 0);
        slot = managers_.end() - 1;
    }
    QNetworkAccessManager* manager = slot->first;
    ++slot->second;
    QNetworkReply* reply = manager->sendCustomRequest(request, method, body);
    connect(reply, &QObject::destroyed, this, [this, manager] {
        for (auto& [candidate, calls] : managers_) {
            if (candidate == manager) --calls;
        }
    });
    return reply;
}

}  // namespace qm
