#include "ui/ContentView.h"

#include "base/ProductName.h"
#include "ui/BrisalDragArea.h"
#include "ui/BrisalTheme.h"
#include "ui/BrisalWindowConfiguration.h"
#include "ui/BrisalWindowControls.h"
#include "ui/HelpButton.h"
#include "ui/NoticeCard.h"
#include "ui/OrloPrimaryButton.h"
#include "ui/OrloSecondaryButton.h"
#include "ui/ProgramChooser.h"
#include "ui/ProgressSpinner.h"
#include "ui/QuietAccessibleWidget.h"
#include "ui/StatusSymbol.h"
#include "ui/TimeDisplay.h"
#include "ui/UsageSheet.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace vessaro {
namespace {

using Action = PhasePresentation::Action;
using Indicator = PhasePresentation::Indicator;

// An element of `size` whose centre sits at (`centreX`, `centreY`) of the canvas.
QRect centredAt(qreal centreX, qreal centreY, QSize size)
{
    return { qRound(centreX - size.width() / 2.0), qRound(centreY - size.height() / 2.0), size.width(), size.height() };
}

QColor withOpacity(QColor colour, float opacity)
{
    colour.setAlphaF(opacity);
    return colour;
}

QLabel* label(const QString& text, const QFont& font, const QColor& colour, QWidget* parent)
{
    auto* shown = new QLabel(text, parent); // NOLINT(cppcoreguidelines-owning-memory): owned by `parent`
    shown->setFont(font);
    QPalette palette = shown->palette();
    palette.setColor(QPalette::WindowText, colour);
    shown->setPalette(palette);
    return shown;
}

// Canvas geometry: sizes and centres of the elements on the 768 × 512 artwork.
constexpr QSize kDragSize { 370, 88 };
constexpr QPointF kDragCentre { 391, 158 };
constexpr QPointF kControlsCentre { 189, 162 };
constexpr int kTitleWidth = 300;
constexpr QPointF kTitleCentre { 402, 164 };
constexpr QPointF kHelpCentre { 545, 164 };
constexpr QPointF kTimeCentre { 420, 259 };
constexpr QSize kStatusSize { 380, 25 };
constexpr QPointF kStatusCentre { 420, 309 };
constexpr QSize kControlsBlockSize { 310, 94 };
constexpr QPointF kControlsBlockCentre { 420, 382 };
constexpr int kControlsSpacing = 7;
constexpr int kFooterWidth = 365;
constexpr QPointF kFooterCentre { 407, 418 };

} // namespace

ContentView::ContentView(RecorderViewModel* model, std::shared_ptr<DesktopServices> desktop, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_desktop(std::move(desktop))
{
    BrisalWindowConfiguration::apply(this);
    // The artwork at ratio 1 gives the body's shape, and is what a screen of
    // that ratio paints: read once for both.
    m_artwork = BrisalTheme::shell(1.0);
    m_artworkRatio = 1.0;
    if (!m_artwork.isNull())
        m_body = BrisalTheme::bodyRegion(m_artwork.toImage(), { widthPoints, canvasHeightPoints });
    buildCanvas();
    connect(m_model, &RecorderViewModel::phaseChanged, this, &ContentView::render);
    // The clock ticks ten times a second; the window shows whole seconds.
    connect(m_model, &RecorderViewModel::elapsedSecondsChanged, this, [this](double seconds) {
        if (std::exchange(m_renderedSecond, std::floor(seconds)) != std::floor(seconds))
            render();
    });
    connect(m_model, &RecorderViewModel::interruptionReasonChanged, this, &ContentView::render);
    connect(m_model, &RecorderViewModel::transientNoteChanged, this, &ContentView::render);
    connect(m_model, &RecorderViewModel::silentChanged, this, &ContentView::render);
    connect(m_model, &RecorderViewModel::targetChanged, this, &ContentView::render);
    connect(m_model, &RecorderViewModel::programsListed, this, [this] {
        if (std::exchange(m_programMenuWanted, false))
            m_chooser->openMenu(m_model->programs(), m_model->target());
    });
    connect(m_model, &RecorderViewModel::hearsNothingChanged, this, &ContentView::render);
    // The level goes to the symbol alone: it repaints its own square, and only when its step changes.
    connect(m_model, &RecorderViewModel::levelChanged, m_symbol, &StatusSymbol::setLevel);
    render();
}

void ContentView::buildCanvas()
{
    // Children are owned by the widget tree; later ones are drawn on top and
    // come later in the Tab order.
    // NOLINTBEGIN(cppcoreguidelines-owning-memory)
    m_drag = new BrisalDragArea(this);
    m_drag->setGeometry(centredAt(kDragCentre.x(), kDragCentre.y(), kDragSize));
    QuietAccessibleWidget::hide(m_drag);

    m_controls = new BrisalWindowControls(this);
    m_controls->setGeometry(centredAt(kControlsCentre.x(), kControlsCentre.y(), m_controls->sizeHint()));

    m_title = new QWidget(this);
    auto* titleLines = new QVBoxLayout(m_title);
    titleLines->setContentsMargins(0, 0, 0, 0);
    titleLines->setSpacing(5);
    titleLines->addWidget(
        label(kProductName.toString(), BrisalTheme::roundedFont(27, QFont::Bold), Qt::white, m_title));
    titleLines->addWidget(label(QStringLiteral("只录电脑正在播放的声音"), BrisalTheme::systemFont(14, QFont::Medium),
        withOpacity(Qt::white, 0.76F), m_title));
    // The title lies on the drag area: dragging by it moves the window.
    m_title->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_title->setGeometry(
        centredAt(kTitleCentre.x(), kTitleCentre.y(), { kTitleWidth, titleLines->sizeHint().height() }));

    m_help = new HelpButton(this);
    m_help->setGeometry(centredAt(kHelpCentre.x(), kHelpCentre.y(), m_help->sizeHint()));
    connect(m_help, &QAbstractButton::clicked, this, [this] { setShowingUsage(true); });

    m_time = new TimeDisplay(this);
    m_time->setGeometry(centredAt(kTimeCentre.x(), kTimeCentre.y(), m_time->sizeHint()));

    m_statusRow = new QWidget(this);
    m_statusRow->setGeometry(centredAt(kStatusCentre.x(), kStatusCentre.y(), kStatusSize));
    auto* statusItems = new QHBoxLayout(m_statusRow);
    statusItems->setContentsMargins(0, 0, 0, 0);
    statusItems->setSpacing(8);
    statusItems->setAlignment(Qt::AlignCenter);
    m_spinner = new ProgressSpinner(m_statusRow);
    m_symbol = new StatusSymbol(QString(), BrisalTheme::blue(), m_statusRow);
    // The pulsing dot says nothing the sentence does not.
    QuietAccessibleWidget::hide(m_symbol);
    m_status
        = label(QString(), BrisalTheme::roundedFont(16, QFont::DemiBold), BrisalTheme::secondaryInk(), m_statusRow);
    statusItems->addWidget(m_spinner);
    statusItems->addWidget(m_symbol);
    statusItems->addWidget(m_status);

    const QRect block = centredAt(kControlsBlockCentre.x(), kControlsBlockCentre.y(), kControlsBlockSize);
    m_primary = new OrloPrimaryButton(QString(), QString(), this);
    m_primary->placeCapsule({ block.x(), block.y(), block.width(), OrloPrimaryButton::heightPoints });
    connect(m_primary, &QAbstractButton::clicked, this, [this] { perform(m_shown.primary.action); });
    m_secondaryRow = new QWidget(this);
    const int rowTop = block.y() + OrloPrimaryButton::heightPoints + kControlsSpacing;
    m_secondaryRow->setGeometry(block.x(), rowTop, block.width(), block.bottom() + 1 - rowTop);
    auto* secondaryItems = new QHBoxLayout(m_secondaryRow);
    secondaryItems->setContentsMargins(0, 0, 0, 0);
    secondaryItems->setSpacing(8);
    secondaryItems->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    m_footer = new QWidget(this);
    auto* footerItems = new QHBoxLayout(m_footer);
    footerItems->setContentsMargins(0, 0, 0, 0);
    footerItems->setSpacing(0);
    const QFont footerFont = BrisalTheme::systemFont(12, QFont::Medium);
    m_chooser = new ProgramChooser(footerFont, m_footer);
    footerItems->addWidget(m_chooser);
    connect(m_chooser, &ProgramChooser::programsWanted, this, [this] { perform(m_shown.chooser.action); });
    connect(m_chooser, &ProgramChooser::chosen, this, [this](const CaptureTarget& target) {
        if (m_model)
            m_model->chooseTarget(target);
    });
    footerItems->addSpacing(12);
    footerItems->addStretch(1);
    auto* footerHelp = new QPushButton(QStringLiteral("使用帮助"), m_footer);
    footerHelp->setFont(footerFont);
    footerHelp->setCursor(Qt::PointingHandCursor);
    footerHelp->setFlat(true);
    footerHelp->setFocusPolicy(Qt::TabFocus);
    // Outside a dialog a push button ignores Return unless it is an auto default.
    footerHelp->setAutoDefault(true);
    // The border is always there, transparent, so that the focus ring moves nothing.
    footerHelp->setStyleSheet(QStringLiteral("QPushButton { border: 2px solid transparent; border-radius: 5px; "
                                             "background: transparent; padding: 0 2px; color: %1; }"
                                             "QPushButton:focus { border-color: %1; }")
                                  .arg(BrisalTheme::blue().name()));
    footerItems->addWidget(footerHelp);
    connect(footerHelp, &QPushButton::clicked, this, [this] { setShowingUsage(true); });
    m_footer->setGeometry(
        centredAt(kFooterCentre.x(), kFooterCentre.y(), { kFooterWidth, footerItems->sizeHint().height() }));

    m_notice = new NoticeCard(this);
    m_notice->hide();
    connect(m_notice, &NoticeCard::usageRequested, this, [this] { setShowingUsage(true); });

    // NOLINTEND(cppcoreguidelines-owning-memory)
}

UsageSheet* ContentView::sheet()
{
    // Made when first opened: laying out its many characters loads their
    // glyphs, and each touches its own pages of the CJK font.
    if (!m_sheet) {
        m_sheet = new UsageSheet(this); // NOLINT(cppcoreguidelines-owning-memory): owned by the window
        connect(m_sheet, &UsageSheet::soundSettingsRequested, this, [this] {
            if (m_model)
                m_model->openScreenRecordingSettings();
        });
    }
    return m_sheet;
}

bool ContentView::recordingPending() const
{
    return m_model && m_model->hasUnexportedRecording();
}

void ContentView::render()
{
    if (!m_model)
        return;
    const bool pending = recordingPending();
    const PhasePresentation shown = PhasePresentation::of(m_model->phase(), m_model->elapsedSeconds(), pending,
        { m_model->interruptionReason(), m_model->transientNote(), m_model->isSilent(), m_model->hearsNothing(),
            m_model->target() });
    // The clock ticks ten times a second and the time shown changes once.
    if (m_rendered && shown == m_shown && !showingUsage())
        return;
    m_rendered = true;

    m_time->setText(shown.displayTime);
    m_time->setAccessibleName(shown.timerAccessibilityLabel);

    m_spinner->setVisible(shown.indicator == Indicator::spinner);
    switch (shown.indicator) {
    case Indicator::recordingPulse:
        m_symbol->setSymbol(QStringLiteral("record.circle.fill"), BrisalTheme::coral());
        break;
    case Indicator::pendingTray:
        m_symbol->setSymbol(QStringLiteral("tray.and.arrow.down"), BrisalTheme::blue());
        break;
    case Indicator::savedCheck:
        m_symbol->setSymbol(QStringLiteral("checkmark.circle.fill"), BrisalTheme::blue());
        break;
    case Indicator::failedExclamation:
        m_symbol->setSymbol(QStringLiteral("exclamationmark.circle.fill"), BrisalTheme::coral());
        break;
    case Indicator::none:
    case Indicator::spinner:
        break;
    }
    const bool symbolShown = shown.indicator != Indicator::none && shown.indicator != Indicator::spinner;
    m_symbol->setVisible(symbolShown);
    m_symbol->setPulsing(shown.indicator == Indicator::recordingPulse);
    m_status->setText(shown.primaryStatus);

    // Space and Return keep working through the phases: when the focused
    // button turns off or goes with its row, the focus comes back to the
    // primary button instead of moving on to the next control in line, which
    // may be the close button.
    QWidget* const focused = focusWidget();
    const bool focusOnPhase = !focused || focused == m_primary || m_secondaryRow->isAncestorOf(focused);
    if (focused == m_primary && !shown.primary.enabled)
        m_primary->clearFocus();
    m_primary->setText(shown.primary.title);
    m_primary->setSymbol(shown.primary.symbol);
    m_primary->setAccessibleName(shown.primary.title);
    m_primary->setEnabled(shown.primary.enabled);

    const bool rowChanged = shown.secondary != m_shown.secondary || m_secondary.size() != shown.secondary.size();
    const bool noticeChanged = shown.notice != m_shown.notice || m_notice->isHidden() == shown.notice.has_value();
    m_shown = shown;
    if (rowChanged)
        renderSecondaryRow();
    if (focusOnPhase && shown.primary.enabled && (rowChanged || !focusWidget()))
        m_primary->setFocus(Qt::OtherFocusReason);
    m_footer->setVisible(shown.showsFooter);
    m_chooser->setTitle(shown.chooser.title, shown.chooser.enabled);

    int height = canvasHeightPoints;
    if (shown.notice) {
        const int width = widthPoints - 2 * noticeInsetPoints;
        if (noticeChanged)
            m_notice->setMessage(*shown.notice);
        m_notice->ensurePolished(); // the card's fonts come with its style sheet
        const int cardHeight = m_notice->heightForWidth(width);
        m_notice->setGeometry(noticeInsetPoints, canvasHeightPoints - noticeOverlapPoints, width, cardHeight);
        height += cardHeight - noticeOverlapPoints + noticeBottomPoints;
    }
    m_notice->setVisible(shown.notice.has_value());
    // Only the body and the card take the pointer. Without the artwork the
    // elements stand on their own and the whole window takes it.
    QRegion shape = m_body;
    if (!m_body.isEmpty() && shown.notice) {
        QPainterPath card;
        card.addRoundedRect(
            QRectF(m_notice->geometry()), NoticeCard::cornerRadiusPoints, NoticeCard::cornerRadiusPoints);
        shape += QRegion(card.toFillPolygon().toPolygon());
    }
    BrisalWindowConfiguration::applyShape(this, shape);
    // The window is exactly as large as its content.
    if (size() != QSize(widthPoints, height))
        setFixedSize(widthPoints, height);
    if (showingUsage())
        m_sheet->showPhase(m_model->phase(), pending, m_model->target());
}

void ContentView::renderSecondaryRow()
{
    // The row is rebuilt with the phase: a button pressed acts on whatever
    // state the model has by then.
    qDeleteAll(m_secondary);
    m_secondary.clear();
    auto* items = qobject_cast<QHBoxLayout*>(m_secondaryRow->layout());
    for (const PhasePresentation::Button& button : m_shown.secondary) {
        auto* shown = new OrloSecondaryButton(button.title, m_secondaryRow); // NOLINT(cppcoreguidelines-owning-memory)
        shown->setAccessibleName(button.title);
        shown->setEnabled(button.enabled);
        const Action action = button.action;
        connect(shown, &QAbstractButton::clicked, this, [this, action] { perform(action); });
        items->addWidget(shown);
        shown->show();
        m_secondary.append(shown);
    }
    m_secondaryRow->setVisible(!m_secondary.isEmpty());
}

void ContentView::perform(Action action)
{
    if (!m_model)
        return;
    switch (action) {
    case Action::start:
        m_model->start();
        break;
    case Action::cancelCountdown:
        m_model->cancelCountdown();
        break;
    case Action::stop:
        m_model->stop();
        break;
    case Action::exportAgain:
        m_model->exportAgain();
        break;
    case Action::recordAgain:
        m_model->recordAgain();
        break;
    case Action::retry:
        m_model->retry();
        break;
    case Action::openSoundSettings:
        m_model->openScreenRecordingSettings();
        break;
    case Action::revealInFileManager: {
        const RecorderPhase& phase = m_model->phase();
        if (phase.kind() == RecorderPhase::Kind::finished)
            m_desktop->revealInFileManager(phase.path());
        break;
    }
    case Action::chooseTarget:
        // The menu opens once the programs playing are listed.
        m_programMenuWanted = true;
        m_model->refreshPrograms();
        break;
    case Action::none:
        break;
    }
}

bool ContentView::showingUsage() const
{
    return m_sheet && m_sheet->isVisible();
}

void ContentView::setShowingUsage(bool showing)
{
    if (!showing) {
        if (m_sheet)
            m_sheet->hide();
        return;
    }
    if (m_model)
        sheet()->showPhase(m_model->phase(), recordingPending(), m_model->target());
    sheet()->open();
}

void ContentView::paintEvent(QPaintEvent*)
{
    if (!qFuzzyCompare(m_artworkRatio, devicePixelRatioF())) {
        m_artworkRatio = devicePixelRatioF();
        m_artwork = BrisalTheme::shell(m_artworkRatio);
    }
    // Without the artwork the elements stand on the transparent window.
    if (!m_artwork.isNull()) {
        QPainter painter(this);
        painter.drawPixmap(QPoint(0, 0), m_artwork);
    }
}

void ContentView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Q_EMIT shown();
}

void ContentView::closeEvent(QCloseEvent* event)
{
    event->ignore();
    Q_EMIT closeRequested();
}

} // namespace vessaro
