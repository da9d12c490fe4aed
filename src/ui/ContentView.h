#pragma once

#include "recorder/DesktopServices.h"
#include "recorder/RecorderViewModel.h"
#include "ui/PhasePresentation.h"

#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include <memory>

class QLabel;
class QPushButton;

namespace vessaro {

class BrisalDragArea;
class BrisalWindowControls;
class HelpButton;
class NoticeCard;
class OrloPrimaryButton;
class OrloSecondaryButton;
class ProgressSpinner;
class StatusSymbol;
class TimeDisplay;
class ProgramChooser;
class UsageSheet;

// The one window: the artwork as its body, and on it the window buttons, the
// title, the clock, the status row and the buttons of the recorder's phase;
// in a failed phase the notice card hangs below. It draws only what the model
// publishes and calls the model's operations; its own state is whether the
// help sheet is open. Main thread only.
//
// The focus starts on the primary button; Tab runs on in the order the
// controls are made, which is their order on the canvas from there: the
// phase's other buttons, the help link, the notice's button, then round to
// the window buttons and the gear. The window has no keyboard shortcuts.
//
// Closing it asks the application to quit rather than closing at once, so the
// quit can be negotiated.
class ContentView final : public QWidget {
    Q_OBJECT
public:
    static constexpr int widthPoints = 768;
    static constexpr int canvasHeightPoints = 512;
    // The notice card's overlap with the canvas, its inset and the space below it.
    static constexpr int noticeOverlapPoints = 38;
    static constexpr int noticeInsetPoints = 100;
    static constexpr int noticeBottomPoints = 24;

    ContentView(RecorderViewModel* model, std::shared_ptr<DesktopServices> desktop, QWidget* parent = nullptr);

    // What the window shows now.
    const PhasePresentation& presentation() const { return m_shown; }
    bool showingUsage() const;
    void setShowingUsage(bool showing);

    // The pieces, for tests.
    TimeDisplay* timeDisplay() const { return m_time; }
    OrloPrimaryButton* primaryButton() const { return m_primary; }
    const QList<OrloSecondaryButton*>& secondaryButtons() const { return m_secondary; }
    QLabel* statusLabel() const { return m_status; }
    StatusSymbol* statusSymbol() const { return m_symbol; }
    ProgressSpinner* spinner() const { return m_spinner; }
    QWidget* footer() const { return m_footer; }
    ProgramChooser* programChooser() const { return m_chooser; }
    NoticeCard* noticeCard() const { return m_notice; }
    // Null until the help sheet is first opened.
    UsageSheet* usageSheet() const { return m_sheet; }
    HelpButton* helpButton() const { return m_help; }
    BrisalWindowControls* windowControls() const { return m_controls; }
    QWidget* titleBlock() const { return m_title; }

Q_SIGNALS:
    // The content is on screen (again).
    void shown();
    // The user closed the window.
    void closeRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildCanvas();
    // The help sheet, made when first asked for.
    UsageSheet* sheet();
    void render();
    void renderSecondaryRow();
    void perform(PhasePresentation::Action action);
    bool recordingPending() const;

    // The artwork drawn once at the window's size and pixel ratio, again only
    // on a screen of another ratio: stretching the full-size picture on every
    // repaint cost more than all else.
    QPixmap m_artwork;
    qreal m_artworkRatio = 0;

    QPointer<RecorderViewModel> m_model;
    std::shared_ptr<DesktopServices> m_desktop;
    PhasePresentation m_shown;
    bool m_rendered = false; // m_shown is on the widgets
    double m_renderedSecond = -1; // the whole second of the clock's last tick

    BrisalDragArea* m_drag = nullptr;
    BrisalWindowControls* m_controls = nullptr;
    QWidget* m_title = nullptr;
    HelpButton* m_help = nullptr;
    TimeDisplay* m_time = nullptr;
    QWidget* m_statusRow = nullptr;
    ProgressSpinner* m_spinner = nullptr;
    StatusSymbol* m_symbol = nullptr;
    QLabel* m_status = nullptr;
    OrloPrimaryButton* m_primary = nullptr;
    QWidget* m_secondaryRow = nullptr;
    QList<OrloSecondaryButton*> m_secondary;
    QWidget* m_footer = nullptr;
    ProgramChooser* m_chooser = nullptr;
    // The chooser was pressed: its menu opens when the programs are listed.
    bool m_programMenuWanted = false;
    NoticeCard* m_notice = nullptr;
    UsageSheet* m_sheet = nullptr;
    // The artwork's shape on the canvas; empty without the artwork.
    QRegion m_body;
};

} // namespace vessaro
