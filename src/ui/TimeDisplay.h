#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace vessaro {

// The large clock: one line in the rounded bold face, ink-coloured, every
// digit in a cell of the same width so the line does not jitter. 66 points
// for up to five characters, 52 from six on. A changed digit rolls upward to
// its new value over 0.16 s, unless motion is reduced or the clock is not on
// screen (hidden, or in a minimised window). Main thread only.
class TimeDisplay final : public QWidget {
    Q_OBJECT
public:
    static constexpr int widthPoints = 355;
    // Short of the status row under it: a repaint of the clock then repaints
    // nothing of that row, whose text costs a shaping each time.
    static constexpr int heightPoints = 76;
    static constexpr int rollMilliseconds = 160;
    // Enough for a roll this short to read as motion; every frame is a repaint.
    static constexpr int rollFramesPerSecond = 30;

    explicit TimeDisplay(QWidget* parent = nullptr);

    // Rolls the digits that differ when the length stays the same.
    void setText(const QString& text);
    const QString& text() const { return m_text; }
    // Defaults to the desktop's setting (ReducedMotion::requested()).
    void setReduceMotion(bool reduce) { m_reduceMotion = reduce; }
    int fontPixelSize() const;
    bool isRolling() const { return m_roll.isActive(); }
    // The width of one digit cell, in points.
    qreal digitCellWidth() const;

    QSize sizeHint() const override { return { widthPoints, heightPoints }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QFont currentFont() const;
    qreal rollProgress() const;
    // Where each character of the text shown stands, in points.
    QList<QRectF> cells() const;
    // The characters of `text` for which `drawn` holds, each in its cell, on
    // a transparent picture of the display.
    QImage picture(const QString& text, const std::function<bool(qsizetype)>& drawn) const;

    QString m_text = QStringLiteral("00:00");
    QString m_previous; // what rolls away while the animation runs
    QTimer m_roll; // the roll's frames
    QElapsedTimer m_rollSince;
    // Text this large is drawn as outlines, not from Qt's glyph cache, and
    // took most of a repaint: each text and roll is drawn once into these.
    QImage m_still; // the characters that hold still
    QImage m_leaving; // those that roll away
    QImage m_arriving; // and those that take their place
    // The columns of the cells that roll: the roll's frames repaint only
    // these, mostly one digit, not the whole line over the artwork.
    QRect m_rolling;
    QString m_picturedText;
    QString m_picturedPrevious;
    bool m_reduceMotion;
    bool m_onScreen = false;
};

} // namespace vessaro
