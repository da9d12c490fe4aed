#pragma once

#include <QAbstractButton>

namespace vessaro {

// A small tinted text button: blue text on a pale blue capsule that darkens,
// without animation, while pressed. Disabled, the text fades to 45 %. As
// small as its 12 × 7 point margins around the text allow. Tab reaches it;
// Space and Return press it. Main thread only.
class OrloSecondaryButton final : public QAbstractButton {
    Q_OBJECT
public:
    explicit OrloSecondaryButton(const QString& title, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool hitButton(const QPoint& position) const override;
};

} // namespace vessaro
