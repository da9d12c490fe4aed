#pragma once

#include <QVariantAnimation>
#include <QWidget>

namespace vessaro {

// The small spinning progress indicator, tinted blue. It turns while shown,
// also when motion is reduced. Main thread only.
class ProgressSpinner final : public QWidget {
    Q_OBJECT
public:
    static constexpr int sizePoints = 16;
    static constexpr int turnMilliseconds = 1000;

    explicit ProgressSpinner(QWidget* parent = nullptr);
    bool isSpinning() const { return m_turn.state() == QAbstractAnimation::Running; }

    QSize sizeHint() const override { return { sizePoints, sizePoints }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QVariantAnimation m_turn;
};

} // namespace vessaro
