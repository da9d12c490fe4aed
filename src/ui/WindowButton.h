#pragma once

#include <QAbstractButton>

namespace vessaro {

// One of the three round window buttons: red close, yellow minimise, green
// zoom, 16 points square, showing its sign while the pointer is over the
// group. Tab reaches it; Space and Return press it. Main thread only.
class WindowButton final : public QAbstractButton {
    Q_OBJECT
public:
    enum class Kind { close, minimize, zoom };
    static constexpr int sizePoints = 16;

    WindowButton(Kind kind, QWidget* parent = nullptr);
    Kind kind() const { return m_kind; }
    // The controls show every sign at once while the pointer is over any of them.
    void setShowsSign(bool shows);

    QSize sizeHint() const override { return { sizePoints, sizePoints }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool hitButton(const QPoint& position) const override;

private:
    Kind m_kind;
    bool m_showsSign = false;
};

} // namespace vessaro
