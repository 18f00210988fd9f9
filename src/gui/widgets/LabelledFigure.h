#pragma once

#include <QWidget>

class QLabel;

namespace qm::gui {

// A small caption above its figure, for rows of totals.
class LabelledFigure : public QWidget {
    Q_OBJECT
public:
    LabelledFigure(const QString& label, const QString& value = {}, QWidget* parent = nullptr);
    void setValue(const QString& value);
    QString label() const;
    QString value() const;

private:
    QLabel* label_;
    QLabel* value_;
};

}  // namespace qm::gui
