#pragma once

#include <QWidget>

class QBoxLayout;

namespace qm::gui {

// The header and the Claude card: side by side when both fit the width, else stacked.
class TopSection : public QWidget {
    Q_OBJECT
public:
    static constexpr int kCardWidth = 330;
    static constexpr int kSpacing = 16;

    TopSection(QWidget* header, QWidget* card, QWidget* parent = nullptr);
    bool isSideBySide() const;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void arrange(int width);

    QWidget* header_;
    QWidget* card_;
    QBoxLayout* layout_;
};

}  // namespace qm::gui
