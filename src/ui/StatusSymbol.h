#pragma once

#include <QColor>
#include <QString>
#include <QVariantAnimation>
#include <QWidget>

namespace vessaro {

// The symbol before the status sentence, in one colour; the recording symbol
// pulses, fading down and back about once a second, unless motion is reduced.
// Main thread only.
class StatusSymbol final : public QWidget {
    Q_OBJECT
public:
    static constexpr int sizePoints = 18;
    static constexpr int pulseMilliseconds = 1000;
    static constexpr qreal faintestOpacity = 0.35;

    StatusSymbol(const QString& symbol, const QColor& tint, QWidget* parent = nullptr);

    void setSymbol(const QString& symbol, const QColor& tint);
    const QString& symbol() const { return m_symbol; }
    // Asks for the pulse; it runs only while motion is not reduced.
    void setPulsing(bool pulsing);
    void setReduceMotion(bool reduce);
    bool isPulsing() const { return m_pulse.state() == QAbstractAnimation::Running; }
    qreal currentOpacity() const;

    QSize sizeHint() const override { return { sizePoints, sizePoints }; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void applyPulse();

    QString m_symbol;
    QColor m_tint;
    QVariantAnimation m_pulse;
    bool m_wantsPulse = false;
    bool m_reduceMotion;
};

} // namespace vessaro
