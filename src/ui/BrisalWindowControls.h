#pragma once

#include <QWidget>

#include <array>

namespace vessaro {

class WindowButton;

// The close, minimise and zoom buttons, re-created at a chosen place on the
// artwork: 76 × 28 points, the buttons at x = 4, 28 and 52 and y = 6. They
// act on the window that holds this view; close goes through the window's
// close event, so the application can still negotiate its quit. Main thread
// only.
class BrisalWindowControls final : public QWidget {
    Q_OBJECT
public:
    static constexpr int widthPoints = 76;
    static constexpr int heightPoints = 28;

    explicit BrisalWindowControls(QWidget* parent = nullptr);

    // In the order close, minimise, zoom.
    const std::array<WindowButton*, 3>& buttons() const { return m_buttons; }

    QSize sizeHint() const override { return { widthPoints, heightPoints }; }

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void showSigns(bool shows);

    std::array<WindowButton*, 3> m_buttons {};
};

} // namespace vessaro
