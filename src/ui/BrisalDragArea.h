#pragma once

#include <QPoint>
#include <QWidget>

#include <optional>

namespace vessaro {

// An invisible region by which the frameless window is moved: a press asks
// the window system to move the window (QWindow::startSystemMove, which works
// on Wayland and X11). Where the platform refuses, the window follows the
// pointer by hand until release. Main thread only.
class BrisalDragArea final : public QWidget {
    Q_OBJECT
public:
    explicit BrisalDragArea(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The pointer's offset from the window's top-left corner, while moving by hand.
    std::optional<QPoint> m_grabOffset;
};

} // namespace vessaro
