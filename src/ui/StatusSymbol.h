#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

namespace vessaro {

// The symbol before the status sentence, in one colour; the recording symbol
// pulses, fading down and back about once a second, unless motion is reduced.
// The pulse runs only while the symbol is on screen: hidden or in a minimised
// window it costs nothing. Main thread only.
class StatusSymbol final : public QWidget {
    Q_OBJECT
public:
    static constexpr int sizePoints = 18;
    static constexpr int pulseMilliseconds = 1000;
    static constexpr qreal faintestOpacity = 0.35;
    // A slow fade looks smooth at this rate, and every frame is a repaint.
    static constexpr int pulseFramesPerSecond = 12;

    StatusSymbol(const QString& symbol, const QColor& tint, QWidget* parent = nullptr);

    void setSymbol(const QString& symbol, const QColor& tint);
    const QString& symbol() const { return m_symbol; }
    // Asks for the pulse; it runs only while motion is not reduced.
    void setPulsing(bool pulsing);
    void setReduceMotion(bool reduce);
    bool isPulsing() const { return m_frames.isActive(); }
    qreal currentOpacity() const;

    QSize sizeHint() const override { return { sizePoints, sizePoints }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void applyPulse();

    QString m_symbol;
    QColor m_tint;
    QImage m_image; // the symbol as drawn, kept for the pulse's frames
    QTimer m_frames;
    QElapsedTimer m_since; // the pulse's phase
    bool m_wantsPulse = false;
    bool m_reduceMotion;
    bool m_onScreen = false;
};

} // namespace vessaro
