#pragma once

#include <QObject>

class QSocketNotifier;

namespace qm {

// Turns SIGINT, SIGTERM and SIGHUP into an orderly QCoreApplication::quit(), so the event
// loop ends and the stores' destructors finish their saves (a logout sends SIGTERM). The
// handler only writes a byte to a socket pair; the event loop does the rest. Once destroyed,
// those signals are ignored for the rest of the process, whose last act is saving. One per
// process.
class QuitOnSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitOnSignals(QObject* parent = nullptr);
    ~QuitOnSignals() override;

    bool isWatching() const { return notifier_ != nullptr; }

Q_SIGNALS:
    // Emitted on the event loop's thread just before it is asked to quit.
    void received(int signalNumber);

private:
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace qm
