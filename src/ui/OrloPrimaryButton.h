#pragma once

#include <QAbstractButton>
#include <QImage>
#include <QMargins>
#include <QVariantAnimation>

namespace vessaro {

// The one large action button of each phase: a coral capsule 58 points high
// that takes the width it is given, with a symbol and a title in white. It
// shrinks to 98 % while pressed. Disabled, it turns gray, casts no shadow and
// does not react. Tab reaches it; Space and Return press it. Main thread only.
//
// The shadow falls outside the capsule, so the widget is larger than the
// capsule by shadowMargins(); place it with placeCapsule() or account for them.
class OrloPrimaryButton final : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int heightPoints = 58;
    static constexpr qreal pressedScale = 0.98;
    static constexpr int pressMilliseconds = 120;

    OrloPrimaryButton(const QString& title, const QString& symbol, QWidget* parent = nullptr);

    static QMargins shadowMargins();
    // Sets the geometry so that the capsule fills `capsule` (parent coordinates).
    void placeCapsule(const QRect& capsule);
    // The capsule at rest, in widget coordinates.
    QRectF capsuleRect() const;
    // The scale the capsule is drawn at now (1 at rest).
    qreal currentScale() const { return m_scale; }
    void setSymbol(const QString& symbol);
    const QString& symbol() const { return m_symbol; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool hitButton(const QPoint& position) const override;

private:
    void animateScaleTo(qreal target);
    const QImage& shadow();

    QString m_symbol;
    QVariantAnimation m_press;
    qreal m_scale = 1.0;
    QImage m_shadow; // for the current size and pixel ratio
};

} // namespace vessaro
