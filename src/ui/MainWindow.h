#pragma once

#include "recorder/RecorderViewModel.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QPushButton;

namespace vessaro {

// The one window: the recorder's phase, its clock and the buttons that drive
// it. Main thread only. Closing it asks the application to quit rather than
// closing at once, so the quit can be negotiated.
class MainWindow final : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(RecorderViewModel* model, std::shared_ptr<DesktopServices> desktop, QWidget* parent = nullptr);

Q_SIGNALS:
    // The content is on screen (again).
    void shown();
    // The user closed the window.
    void closeRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void render();

    QPointer<RecorderViewModel> m_model;
    std::shared_ptr<DesktopServices> m_desktop;
    QLabel* m_status = nullptr;
    QLabel* m_time = nullptr;
    QPushButton* m_primary = nullptr;
    QPushButton* m_secondary = nullptr;
    QPushButton* m_settings = nullptr;
};

} // namespace vessaro
