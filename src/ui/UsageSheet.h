#pragma once

#include "capture/hal/CaptureTarget.h"
#include "recorder/RecorderPhase.h"

#include <QDialog>

class QLabel;
class QPushButton;

namespace vessaro {

class OrloSecondaryButton;

// The help sheet: what the program does in four lines, the finished
// recording's name and size, and the way to the sound settings. 510 points
// wide, as tall as its content, cream, modal to its parent window. "完成" and
// Escape close it; "打开声音设置" leaves it open. Main thread only.
class UsageSheet final : public QDialog {
    Q_OBJECT
public:
    static constexpr int widthPoints = 510;
    static constexpr int marginPoints = 28;

    explicit UsageSheet(QWidget* parent = nullptr);

    // Follows the recorder's phase: the recording section shows only for a
    // finished recording, "这段录音等待导出" while it is pending (not yet
    // exported), otherwise the exported file's name. The first fact says
    // which sound `target` records.
    void showPhase(const RecorderPhase& phase, bool hasPendingRecording, const CaptureTarget& target = {});
    // "ALAC 无损 · " and the size in decimal units (1 kB = 1000 bytes).
    static QString sizeLine(qint64 fileSizeBytes);

    QWidget* recordingSection() const { return m_recording; }
    QLabel* sourceFact() const { return m_source; }
    QLabel* recordingTitle() const { return m_recordingTitle; }
    QLabel* recordingSize() const { return m_recordingSize; }
    QPushButton* doneButton() const { return m_done; }
    OrloSecondaryButton* soundSettingsButton() const { return m_soundSettings; }

Q_SIGNALS:
    // "打开声音设置" was pressed.
    void soundSettingsRequested();

private:
    void fitHeight();

    QLabel* m_source = nullptr;
    QWidget* m_recording = nullptr;
    QLabel* m_recordingTitle = nullptr;
    QLabel* m_recordingSize = nullptr;
    QPushButton* m_done = nullptr;
    OrloSecondaryButton* m_soundSettings = nullptr;
};

} // namespace vessaro
