#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

namespace qm {
class ClaudeUsageStore;
}

namespace qm::gui {

// The application's half of "Claude Login": the window itself is the browser process's, on
// the profile the fetches use; this opens it, checks the sign-in with one fetch when the user
// presses "Done" (closing the window on success, saying why not otherwise) and keeps the
// window's status line in step with the store.
class ClaudeLoginFlow : public QObject {
    Q_OBJECT
public:
    // Lives as long as the store (it becomes the store's child).
    explicit ClaudeLoginFlow(ClaudeUsageStore* store);

    void open();

private:
    void render();
    void done();

    ClaudeUsageStore* store_;
    bool checkingSignIn_ = false;
    QString outcome_;  // why the last "Done" did not close the window
    bool wasShown_ = false;
};

}  // namespace qm::gui
