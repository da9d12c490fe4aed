#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace vessaro {

// What the command line asks for, read before QApplication exists so that
// --help, --version, the terminal recorder and a misuse answer without a
// display. Qt's own options (the platform, the display, the style, a session
// to restore) are passed over and left to QApplication. Main thread.
class CommandLine {
public:
    enum class Action { run, help, version, misuse, record, listApps };

    // A take from the terminal: where it goes and which sound it records.
    struct Recording {
        QString file; // as typed; resolved against the working directory by the recorder
        QString program; // empty: every program's sound
        std::optional<double> seconds; // none: until SIGINT or SIGTERM
        bool force = false; // replace an existing file
    };

    // `arguments` as main received them, the program first.
    static CommandLine parse(const QStringList& arguments);

    Action action() const { return m_action; }
    // For a misuse: what was wrong, in one line.
    const QString& complaint() const { return m_complaint; }
    // For record: what to record.
    const Recording& recording() const { return m_recording; }

    static const char* usage();

private:
    Action m_action = Action::run;
    QString m_complaint;
    Recording m_recording;
};

} // namespace vessaro
