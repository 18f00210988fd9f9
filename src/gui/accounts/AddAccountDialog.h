#pragma once

#include <QDialog>
#include <functional>
#include <optional>

#include "accounts/ApiAccountModels.h"

class QLabel;
class QLineEdit;

namespace qm::gui {

// "Add <provider> Account": alias, the key in a masked field, and the provider's detail. Add
// (also Return) hands them to `add`; a failure keeps the dialog open with the error, success
// closes it. The key is cleared from the field whenever the dialog closes and is never shown.
class AddAccountDialog : public QDialog {
    Q_OBJECT
public:
    // Returns the error's description, or nothing on success.
    using AddFunction = std::function<std::optional<QString>(
        const QString& alias, const QString& apiKey, const std::optional<QString>& detail)>;

    AddAccountDialog(ApiAccountProvider provider, AddFunction add, QWidget* parent = nullptr);

    void done(int result) override;

private:
    void submit();

    AddFunction add_;
    QLineEdit* alias_;
    QLineEdit* apiKey_;
    QLineEdit* detail_;
    QLabel* error_;
};

}  // namespace qm::gui
