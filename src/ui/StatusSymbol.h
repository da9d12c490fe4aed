#pragma once

#include "ui/LevelMeter.h"

#include <QColor>
#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

namespace vessaro {

// The symbol before the status sentence, in one colour. The recording symbol
// is a level meter (LevelMeter): its opacity follows the peak of what arrives,
// unless motion is reduced; then it stays still and whole. The meter runs only
// while the symbol is on screen: hidden or in a minimised window it costs
// nothing. It repaints only when its step changes. Main thread only.
class StatusSymbol final : public QWidget {
    Q_OBJECT
public:
    static constexpr int sizePoints = 18;
    // The opacity of silence; each step above it adds an equal part up to 1.
    static constexpr qreal faintestOpacity = 0.35;
    // A falling meter looks smooth at this rate, and every frame is a repaint.
    static constexpr int pulseFramesPerSecond = 12;

    StatusSymbol(const QString& symbol, const QColor& tint, QWidget* parent = nullptr);

    void setSymbol(const QString& symbol, const QColor& tint);
    const QString& symbol() const { return m_symbol; }
    // Asks for the meter; it runs only while motion is not reduced.
    void setPulsing(bool pulsing);
    void setReduceMotion(bool reduce);
    // The peak of what arrives, 0..1 of full scale.
    void setLevel(float peak);
    // The meter follows the level: asked for, motion not reduced, on screen.
    bool isPulsing() const { return m_metering; }
    qreal currentOpacity() const;

    QSize sizeHint() const override { return { sizePoints, sizePoints }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void applyPulse();
    void nextFrame();
    // Runs the frames while the meter falls on screen, and only then.
    void runFrames();

    QString m_symbol;
    QColor m_tint;
    QImage m_image; // the symbol as drawn, kept for the meter's frames
    QTimer m_frames;
    LevelMeter m_meter;
    bool m_wantsPulse = false;
    bool m_reduceMotion;
    bool m_onScreen = false;
    bool m_metering = false;
};

} // namespace vessaro
