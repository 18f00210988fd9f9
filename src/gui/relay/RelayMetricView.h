#pragma once

#include <QFrame>
#include <QStyle>

class QLabel;

namespace qm::gui {

// One labelled figure with an icon, for the relay's status grid.
class RelayMetricView : public QFrame {
    Q_OBJECT
public:
    RelayMetricView(const QString& label, QStyle::StandardPixmap icon, QWidget* parent = nullptr);
    void setValue(const QString& value);
    QString value() const;

private:
    QLabel* value_;
};

}  // namespace qm::gui
