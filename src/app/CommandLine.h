#pragma once

#include <QString>
#include <QStringList>

namespace vessaro {

// What the command line asks for, read before QApplication exists so that
// --help, --version and a misuse answer without a display. Qt's own options
// (the platform, the display, the style, a session to restore) are passed
// over and left to QApplication. Main thread.
class CommandLine {
public:
    enum class Action { run, help, version, misuse };

    // `arguments` as main received them, the program first.
    static CommandLine parse(const QStringList& arguments);

    Action action() const { return m_action; }
    // For a misuse: what was wrong, in one line.
    const QString& complaint() const { return m_complaint; }

    static const char* usage();

private:
    Action m_action = Action::run;
    QString m_complaint;
};

} // namespace vessaro
