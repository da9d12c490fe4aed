#include "ui/UsageSheet.h"

#include "base/ProductName.h"
#include "ui/BrisalTheme.h"
#include "ui/OrloSecondaryButton.h"
#include "ui/SymbolImage.h"

#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace vessaro {
namespace {

constexpr int kFactSymbolPoints = 15;
// The headline and caption text styles of the help sheet.
constexpr int kHeadlinePoints = 13;
constexpr int kCaptionPoints = 11;

struct Fact {
    const char* symbol;
    const char* text; // UTF-8
};

const Fact kFacts[] = {
    { "speaker.wave.2", "录下电脑正在播放的声音，不录麦克风。" },
    { "timer", "开始前倒计时 3 秒，停止后选择保存位置。" },
    { "waveform", "音频以 ALAC 无损格式保存在 MP4 文件里。" },
    { "lock.shield", "录音保存在本机，不上传音频。" },
};

// The widget tree owns every label made here.
QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent)
{
    auto* label = new QLabel(text, parent); // NOLINT(cppcoreguidelines-owning-memory)
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

} // namespace

UsageSheet::UsageSheet(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("使用帮助"));
    setWindowModality(Qt::WindowModal);
    setFixedWidth(widthPoints);
    // Always the light look, whatever the desktop's theme.
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, BrisalTheme::cream());
    palette.setColor(QPalette::WindowText, BrisalTheme::ink());
    palette.setColor(QPalette::Text, BrisalTheme::ink());
    palette.setColor(QPalette::Highlight, BrisalTheme::blue());
    setPalette(palette);
    setAutoFillBackground(true);

    auto* sections = new QVBoxLayout(this); // NOLINT(cppcoreguidelines-owning-memory)
    sections->setContentsMargins(marginPoints, marginPoints, marginPoints, marginPoints);
    sections->setSpacing(22);

    auto* header = new QHBoxLayout; // NOLINT(cppcoreguidelines-owning-memory): taken by `sections`
    auto* titles = new QVBoxLayout; // NOLINT(cppcoreguidelines-owning-memory): taken by `header`
    titles->setSpacing(5);
    titles->addWidget(
        makeLabel(kProductName.toString(), BrisalTheme::roundedFont(24, QFont::Bold), BrisalTheme::ink(), this));
    titles->addWidget(
        makeLabel(QStringLiteral("使用帮助"), BrisalTheme::systemFont(13), BrisalTheme::secondaryInk(), this));
    header->addLayout(titles);
    header->addStretch(1);
    m_done = new QPushButton(QStringLiteral("完成"), this); // NOLINT(cppcoreguidelines-owning-memory)
    // Escape is the sheet's only shortcut; Return must not close it.
    m_done->setAutoDefault(false);
    m_done->setDefault(false);
    header->addWidget(m_done, 0, Qt::AlignVCenter);
    sections->addLayout(header);
    connect(m_done, &QPushButton::clicked, this, &QDialog::accept);

    auto* facts = new QVBoxLayout; // NOLINT(cppcoreguidelines-owning-memory): taken by `sections`
    facts->setSpacing(10);
    for (const Fact& fact : kFacts) {
        auto* row = new QHBoxLayout; // NOLINT(cppcoreguidelines-owning-memory): taken by `facts`
        row->setSpacing(8);
        auto* symbol = new QLabel(this); // NOLINT(cppcoreguidelines-owning-memory)
        symbol->setFixedSize(kFactSymbolPoints, kFactSymbolPoints);
        symbol->setPixmap(QPixmap::fromImage(SymbolImage::render(
            QString::fromLatin1(fact.symbol), kFactSymbolPoints, BrisalTheme::secondaryInk(), devicePixelRatioF())));
        QLabel* text
            = makeLabel(QString::fromUtf8(fact.text), BrisalTheme::systemFont(13), BrisalTheme::secondaryInk(), this);
        text->setWordWrap(true);
        if (!m_source)
            m_source = text; // the first fact: which sound is recorded
        row->addWidget(symbol, 0, Qt::AlignVCenter);
        row->addWidget(text, 1);
        facts->addLayout(row);
    }
    sections->addLayout(facts);

    m_recording = new QWidget(this); // NOLINT(cppcoreguidelines-owning-memory)
    auto* recording = new QVBoxLayout(m_recording); // NOLINT(cppcoreguidelines-owning-memory)
    recording->setContentsMargins(0, 0, 0, 0);
    recording->setSpacing(6);
    m_recordingTitle = makeLabel(
        QString(), BrisalTheme::systemFont(kHeadlinePoints, QFont::DemiBold), BrisalTheme::ink(), m_recording);
    m_recordingSize
        = makeLabel(QString(), BrisalTheme::systemFont(kCaptionPoints), BrisalTheme::secondaryInk(), m_recording);
    recording->addWidget(m_recordingTitle);
    recording->addWidget(m_recordingSize);
    m_recording->hide();
    sections->addWidget(m_recording);

    auto* firstUse = new QFrame(this); // NOLINT(cppcoreguidelines-owning-memory)
    firstUse->setObjectName(QStringLiteral("firstUse"));
    firstUse->setStyleSheet(
        QStringLiteral("QFrame#firstUse { background: rgba(38, 94, 178, 0.065); border-radius: 16px; }"));
    auto* box = new QVBoxLayout(firstUse); // NOLINT(cppcoreguidelines-owning-memory)
    box->setContentsMargins(18, 18, 18, 18);
    box->setSpacing(10);
    box->addWidget(makeLabel(QStringLiteral("第一次使用"), BrisalTheme::systemFont(kHeadlinePoints, QFont::DemiBold),
        BrisalTheme::ink(), firstUse));
    QLabel* advice
        = makeLabel(QStringLiteral("录下的是当前默认输出设备的声音。关闭导出窗口后，仍可用“再次导出”保存这段录音。"),
            BrisalTheme::systemFont(13), BrisalTheme::secondaryInk(), firstUse);
    advice->setWordWrap(true);
    box->addWidget(advice);
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    m_soundSettings = new OrloSecondaryButton(QStringLiteral("打开声音设置"), firstUse);
    box->addWidget(m_soundSettings, 0, Qt::AlignLeft);
    sections->addWidget(firstUse);
    connect(m_soundSettings, &QAbstractButton::clicked, this, &UsageSheet::soundSettingsRequested);

    fitHeight();
}

QString UsageSheet::sizeLine(qint64 fileSizeBytes)
{
    return QStringLiteral("ALAC 无损 · ") + QLocale().formattedDataSize(fileSizeBytes, 1, QLocale::DataSizeSIFormat);
}

void UsageSheet::showPhase(const RecorderPhase& phase, bool hasPendingRecording, const CaptureTarget& target)
{
    m_source->setText(target.isEverything() ? QString::fromUtf8(kFacts[0].text)
                                            : QStringLiteral("只录下“%1”播放的声音，不录麦克风。").arg(target.program));
    const bool finished = phase.kind() == RecorderPhase::Kind::finished;
    if (finished) {
        m_recordingTitle->setText(
            hasPendingRecording ? QStringLiteral("这段录音等待导出") : QFileInfo(phase.path()).fileName());
        m_recordingSize->setText(sizeLine(phase.summary().fileSize));
    }
    m_recording->setVisible(finished);
    fitHeight();
}

void UsageSheet::fitHeight()
{
    // As tall as the content at the fixed width; wrapped texts need the width.
    layout()->activate();
    setFixedHeight(layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(widthPoints)
                                                 : layout()->totalSizeHint().height());
}

} // namespace vessaro
