#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QPushButton;
class QProgressBar;
class QVBoxLayout;
#include <QWebEngineView>

namespace qm {
class ClaudeUsageStore;
}

namespace qm::gui {

// "Claude Login": the session's own page in a browser view, so the user signs in to the
// Claude site in the profile the background fetches use. "Done" checks the sign-in with one
// fetch, saying so, and closes on success or says why not. Hiding or minimising keeps the page
// and a sign-in in progress; only "Cancel" or closing hands the page back to its hidden use.
class ClaudeLoginWindow : public QWidget {
    Q_OBJECT
public:
    explicit ClaudeLoginWindow(ClaudeUsageStore* store, QWidget* parent = nullptr);
    ~ClaudeLoginWindow() override;

    QWebEngineView* view() const { return view_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void render();
    void done();
    void detachView();

    ClaudeUsageStore* store_;
    QVBoxLayout* layout_;
    QPointer<QWebEngineView> view_;
    QLabel* status_;
    QPushButton* done_;
    QProgressBar* checking_;
    bool checkingSignIn_ = false;
    QString outcome_;  // why the last "Done" did not close the window
};

}  // namespace qm::gui
