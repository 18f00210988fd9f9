#pragma once

// What both relay benches set up: the fake upstream on its own thread, a seeded history.

#include <QDateTime>
#include <QMetaObject>
#include <QThread>
#include <cstdio>

#include "history/UsageHistoryFile.h"
#include "support/FakeGeminiUpstream.h"

namespace qm::bench {

// Moves the fake Gemini upstream to `thread` and starts it listening there, so its answers
// never wait on the thread that serves the relay's callbacks.
inline bool listenOnThread(qm::test::FakeGeminiUpstream* upstream, QThread& thread) {
    upstream->moveToThread(&thread);
    bool listening = false;
    QMetaObject::invokeMethod(
        upstream, [&] { listening = upstream->listen(); }, Qt::BlockingQueuedConnection);
    if (!listening) std::fprintf(stderr, "the fake upstream could not listen\n");
    return listening;
}

// Writes a history of `count` relay records a minute apart up to now at `path`, so each
// metered call lands in a history of that size.
inline void seedRelayHistory(const QString& path, int count) {
    qm::UsageHistoryData seed;
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i < count; ++i) {
        seed.geminiRecords.push_back({now - (count - i) * 60'000LL, "bench-account",
                                      "gemini-2.5-flash", 12, 30, 0, 0, 0, 0.0001, 40, "relay",
                                      std::nullopt});
    }
    qm::UsageHistoryFileStore(path).save(seed);
}

}  // namespace qm::bench
