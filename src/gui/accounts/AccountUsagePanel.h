#pragma once

#include <QWidget>
#include <cstdint>

#include "accounts/ApiAccountModels.h"
#include "providers/ProviderUsageStore.h"

class QBoxLayout;
class QButtonGroup;
class QLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace qm::gui {

// Under an account row: the range picker, Validate and Fetch usage, their progress, and the
// last validation and usage result of the account as the provider usage store holds them.
class AccountUsagePanel : public QWidget {
    Q_OBJECT
public:
    explicit AccountUsagePanel(ApiAccountProvider provider, QWidget* parent = nullptr);
    // Rebuilds the shown result only when the state (or the minute of "Updated") changed.
    void setState(const ProviderAccountUsageState& state, std::int64_t nowMs);

protected:
    void resizeEvent(QResizeEvent* event) override;

Q_SIGNALS:
    void lookbackChanged(int days);
    void validateRequested();
    void fetchRequested();

private:
    void rebuildDetails(std::int64_t nowMs);
    void addResult(const UsageFetchResult& result);
    QLabel* addLine(const QString& text, const char* name, const QColor* color = nullptr);

    ApiAccountProvider provider_;
    ProviderAccountUsageState state_;
    QString updatedText_;
    bool hasState_ = false;

    QBoxLayout* header_;
    QLayout* titles_ = nullptr;
    QLayout* controls_ = nullptr;
    QWidget* rangePicker_;
    QButtonGroup* range_;
    QPushButton* validate_;
    QPushButton* fetch_;
    QWidget* progress_;
    QLabel* progressText_;
    QWidget* details_;
    QVBoxLayout* detailsLayout_;
};

}  // namespace qm::gui
