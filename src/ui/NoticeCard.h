#pragma once

#include <QWidget>

class QLabel;
class QScrollArea;

namespace vessaro {

class OrloSecondaryButton;

// Tells why a recording did not complete: the message and a button to the
// help sheet, on a cream card with a faint blue outline. It takes the width
// it is given and is as tall as its content, at most 150 points; a longer
// message scrolls inside the card. Main thread only.
class NoticeCard final : public QWidget {
    Q_OBJECT
public:
    static constexpr int maximumHeightPoints = 150;
    static constexpr int marginPoints = 18;
    static constexpr int spacingPoints = 11;
    static constexpr qreal cornerRadiusPoints = 20;

    explicit NoticeCard(QWidget* parent = nullptr);

    void setMessage(const QString& message);
    QString message() const;
    OrloSecondaryButton* usageButton() const { return m_usage; }
    QScrollArea* scrollArea() const { return m_scroll; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

Q_SIGNALS:
    // "查看使用帮助" was pressed.
    void usageRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitHeight();

    QScrollArea* m_scroll = nullptr;
    QWidget* m_content = nullptr;
    QLabel* m_message = nullptr;
    OrloSecondaryButton* m_usage = nullptr;
};

} // namespace vessaro
