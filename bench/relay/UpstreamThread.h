#pragma once

#include <QMetaObject>
#include <QThread>
#include <cstdio>

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

}  // namespace qm::bench
