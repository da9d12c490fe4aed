#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

namespace vessaro {

// The symbol before the status sentence, in one colour. The recording symbol
// is a level meter of a few steps: its opacity follows the peak of what
// arrives, rising at once and falling a step at a time, unless motion is
// reduced; then it stays still and whole. The meter runs only while the symbol
// is on screen: hidden or in a minimised window it costs nothing. It repaints
// only when its step changes. Main thread only.
class StatusSymbol final : public QWidget {
    Q_OBJECT
public:
    static constexpr int sizePoints = 18;
    // The opacity of silence; each step above it adds an equal part up to 1.
    static constexpr qreal faintestOpacity = 0.35;
    static constexpr int levelSteps = 4;
    // A falling meter looks smooth at this rate, and every frame is a repaint.
    static constexpr int pulseFramesPerSecond = 12;
    // Frames each step is held while the meter falls: a report or two of
    // silence between louder ones does not make it flicker.
    static constexpr int framesPerFallingStep = 2;

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

    // The meter's step for a peak: 0 for silence, up to levelSteps.
    static int stepOf(float peak);

    QSize sizeHint() const override { return { sizePoints, sizePoints }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void applyPulse();
    void fallOneFrame();
    void showStep(int step);

    QString m_symbol;
    QColor m_tint;
    QImage m_image; // the symbol as drawn, kept for the meter's frames
    QTimer m_frames; // runs only while the meter falls
    int m_levelStep = 0; // of the last level given
    int m_shownStep = 0;
    int m_framesHeld = 0;
    bool m_wantsPulse = false;
    bool m_reduceMotion;
    bool m_onScreen = false;
    bool m_metering = false;
};

} // namespace vessaro
