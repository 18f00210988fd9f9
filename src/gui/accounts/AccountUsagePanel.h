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

signals:
    void lookbackChanged(int days);
    void validateRequested();
    void fetchRequested();

private:
    void rebuildDetails(std::int64_t nowMs);
    void addResult(const UsageFetchResult& result);
    QLabel* addLine(const QString& text, const char* name, const QColor* color = nullptr);

    ApiAccountProvider m_provider;
    ProviderAccountUsageState m_state;
    QString m_updatedText;
    bool m_hasState = false;

    QBoxLayout* m_header;
    QLayout* m_titles = nullptr;
    QLayout* m_controls = nullptr;
    QWidget* m_rangePicker;
    QButtonGroup* m_range;
    QPushButton* m_validate;
    QPushButton* m_fetch;
    QWidget* m_progress;
    QLabel* m_progressText;
    QWidget* m_details;
    QVBoxLayout* m_detailsLayout;
};

}  // namespace qm::gui
