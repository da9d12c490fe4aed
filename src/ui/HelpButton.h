#pragma once

#include <QAbstractButton>

namespace vessaro {

// The borderless gear in the title region: the symbol in white at 85 %,
// centred in a 36 × 36 box, clickable only inside the inscribed circle. Tab
// reaches it; Space and Return press it. Main thread only.
class HelpButton final : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int sizePoints = 36;
    static constexpr int symbolPoints = 20;

    explicit HelpButton(QWidget* parent = nullptr);

    QSize sizeHint() const override { return { sizePoints, sizePoints }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool hitButton(const QPoint& position) const override;
};

} // namespace vessaro
