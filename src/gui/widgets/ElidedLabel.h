#pragma once

#include <QLabel>

namespace qm::gui {

// Text in at most `maxLines` lines, cut with an ellipsis (in the middle, for one line, by
// default) when it does not fit. text() keeps the whole text.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr, Qt::TextElideMode mode = Qt::ElideMiddle,
                         int maxLines = 1);
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;
    bool hasHeightForWidth() const override { return maxLines_ > 1; }
    int heightForWidth(int width) const override;
    // The lines as drawn at `width`.
    QStringList visibleLines(int width) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Qt::TextElideMode mode_;
    int maxLines_;
};

}  // namespace qm::gui
