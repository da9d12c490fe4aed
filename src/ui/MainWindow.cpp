#include "ui/MainWindow.h"

#include "base/Platform.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace vessaro {
namespace {

QString clockText(double seconds)
{
    const auto whole = static_cast<long long>(std::floor(std::max(0.0, seconds)));
    QString minutesAndSeconds = QStringLiteral("%1:%2")
                                          .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
                                          .arg(whole % 60, 2, 10, QLatin1Char('0'));
    if (whole < 3600)
        return minutesAndSeconds;
    return QString::number(whole / 3600) + QLatin1Char(':') + minutesAndSeconds;
}

} // namespace

MainWindow::MainWindow(RecorderViewModel* model, std::shared_ptr<DesktopServices> desktop, QWidget* parent)
    : QWidget(parent), m_model(model), m_desktop(std::move(desktop))
{
    setWindowTitle(QStringLiteral("Brisal录音"));
    // Children are owned by the widget tree.
    m_status = new QLabel(this);      // NOLINT(cppcoreguidelines-owning-memory)
    m_time = new QLabel(this);        // NOLINT(cppcoreguidelines-owning-memory)
    m_primary = new QPushButton(this);    // NOLINT(cppcoreguidelines-owning-memory)
    m_secondary = new QPushButton(this);  // NOLINT(cppcoreguidelines-owning-memory)
    m_settings = new QPushButton(QStringLiteral("打开声音设置"), this);  // NOLINT(cppcoreguidelines-owning-memory)
    m_status->setWordWrap(true);
    m_status->setAlignment(Qt::AlignCenter);
    m_time->setAlignment(Qt::AlignCenter);
    QFont clockFont = m_time->font();
    clockFont.setPointSizeF(clockFont.pointSizeF() * 2.5);
    m_time->setFont(clockFont);

    auto* buttons = new QHBoxLayout;  // NOLINT(cppcoreguidelines-owning-memory): taken by the layout below
    buttons->addWidget(m_primary);
    buttons->addWidget(m_secondary);
    auto* layout = new QVBoxLayout(this);  // NOLINT(cppcoreguidelines-owning-memory)
    layout->addWidget(m_time);
    layout->addWidget(m_status);
    layout->addLayout(buttons);
    layout->addWidget(m_settings);
    setMinimumWidth(420);

    connect(m_model, &RecorderViewModel::phaseChanged, this, &MainWindow::render);
    connect(m_model, &RecorderViewModel::elapsedSecondsChanged, this, &MainWindow::render);
    connect(m_primary, &QPushButton::clicked, this, [this] {
        if (!m_model)
            return;
        switch (m_model->phase().kind()) {
        case RecorderPhase::Kind::idle: m_model->start(); break;
        case RecorderPhase::Kind::countingDown: m_model->cancelCountdown(); break;
        case RecorderPhase::Kind::recording: m_model->stop(); break;
        case RecorderPhase::Kind::finished:
            if (m_model->pendingTemporaryURL())
                m_model->exportAgain();
            else
                m_model->recordAgain();
            break;
        case RecorderPhase::Kind::failed: m_model->retry(); break;
        case RecorderPhase::Kind::preparing:
        case RecorderPhase::Kind::exporting: break;
        }
    });
    connect(m_secondary, &QPushButton::clicked, this, [this] {
        if (!m_model)
            return;
        if (m_model->phase().kind() != RecorderPhase::Kind::finished)
            return;
        if (m_model->pendingTemporaryURL())
            m_model->recordAgain();
        else
            m_desktop->revealInFileManager(m_model->phase().url());
    });
    connect(m_settings, &QPushButton::clicked, this, [this] {
        if (m_model)
            m_model->openScreenRecordingSettings();
    });
    render();
}

void MainWindow::render()
{
    if (!m_model)
        return;
    const RecorderPhase& phase = m_model->phase();
    const bool pending = m_model->pendingTemporaryURL().has_value();
    const auto show = [this](const QString& status, const QString& time, const QString& primary, bool enabled) {
        m_status->setText(status);
        m_time->setText(time);
        m_primary->setText(primary);
        m_primary->setEnabled(enabled);
    };
    m_secondary->setVisible(false);
    m_settings->setVisible(false);
    switch (phase.kind()) {
    case RecorderPhase::Kind::idle:
        show(QStringLiteral("准备好了"), QStringLiteral("00:00"), QStringLiteral("开始录制"), true);
        break;
    case RecorderPhase::Kind::countingDown:
        show(QStringLiteral("倒计时后开始录制"), QString::number(phase.secondsLeft()), QStringLiteral("取消倒计时"), true);
        break;
    case RecorderPhase::Kind::preparing:
        show(QStringLiteral("稍等，马上就好"), QStringLiteral("00:00"), QStringLiteral("正在准备录音…"), false);
        break;
    case RecorderPhase::Kind::recording:
        show(QStringLiteral("正在录制系统声音"), clockText(m_model->elapsedSeconds()), QStringLiteral("停止并导出"), true);
        break;
    case RecorderPhase::Kind::exporting:
        show(QStringLiteral("正在整理这段声音"), clockText(m_model->elapsedSeconds()), QStringLiteral("正在保存录音…"), false);
        break;
    case RecorderPhase::Kind::finished:
        show(pending ? QStringLiteral("录音已保留，等待导出") : QStringLiteral("录音已保存"),
             clockText(phase.summary().duration), pending ? QStringLiteral("再次导出") : QStringLiteral("再次录制"), true);
        m_secondary->setText(pending ? QStringLiteral("再次录制") : QStringLiteral("在文件管理器中显示"));
        m_secondary->setVisible(true);
        break;
    case RecorderPhase::Kind::failed:
        show(QStringLiteral("录制没有完成"), QStringLiteral("00:00"), QStringLiteral("重新尝试"), true);
        m_status->setText(QStringLiteral("录制没有完成\n") + phase.message());
        m_settings->setVisible(true);
        break;
    }
}

void MainWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Q_EMIT shown();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // The quit is negotiated; the window closes when the application ends.
    event->ignore();
    Q_EMIT closeRequested();
}

} // namespace vessaro
