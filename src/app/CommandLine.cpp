#include "app/CommandLine.h"

#include <array>
#include <optional>

namespace vessaro {
namespace {

const char* const kUsage = "Usage: vessaro [--verify-capture DIRECTORY]\n"
                           "       vessaro --record FILE [--app NAME] [--seconds N] [--force]\n"
                           "       vessaro --list-apps\n"
                           "\n"
                           "Records the sound this computer plays and saves it losslessly (ALAC in .mp4).\n"
                           "Without options it opens the recorder window.\n"
                           "\n"
                           "  --verify-capture DIRECTORY  record three short test cycles without any\n"
                           "                              clicking, keep them in DIRECTORY and write\n"
                           "                              DIRECTORY/result.json, then quit\n"
                           "  --record FILE               record without a window into FILE (.mp4) until\n"
                           "                              SIGINT or SIGTERM, or for N seconds\n"
                           "  --app NAME                  record only the program NAME (see --list-apps)\n"
                           "  --seconds N                 stop after N seconds\n"
                           "  --force                     replace FILE if it exists\n"
                           "  --list-apps                 list the programs playing sound now: the NAME\n"
                           "                              for --app, the binary and the process id\n"
                           "  --help                      show this help and exit\n"
                           "  --version                   show the version and exit\n";

// Qt's options, as QGuiApplication, QApplication and the X11 and Wayland
// plugins take them, with one dash or two. A session manager restores us
// with -session, so refusing these would break a desktop's restore.
constexpr std::array kQtOptionsWithValue { "platform", "platformpluginpath", "platformtheme", "plugin",
    "qwindowgeometry", "geometry", "qwindowtitle", "title", "qwindowicon", "icon", "session", "display", "name",
    "style", "stylesheet" };
constexpr std::array kQtFlags { "reverse", "testability", "widgetcount", "sync", "nograb", "dograb", "qmljsdebugger" };

template <std::size_t n> bool names(const std::array<const char*, n>& options, QStringView name)
{
    for (const char* option : options)
        if (name == QLatin1String(option))
            return true;
    return false;
}

} // namespace

CommandLine CommandLine::parse(const QStringList& arguments)
{
    CommandLine line;
    bool help = false;
    bool version = false;
    bool verify = false;
    bool record = false;
    bool listApps = false;
    const auto complain = [&line](const QString& complaint) {
        if (line.m_complaint.isEmpty())
            line.m_complaint = complaint;
    };
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        // An option's value, whatever it looks like.
        const auto value = [&](const char* what) -> std::optional<QString> {
            if (!hasValue) {
                complain(argument + QStringLiteral(" needs a") + QLatin1String(what));
                return std::nullopt;
            }
            return arguments.at(++i);
        };
        if (argument == QLatin1String("--help")) {
            help = true;
        } else if (argument == QLatin1String("--version")) {
            version = true;
        } else if (argument == QLatin1String("--verify-capture")) {
            verify = true;
            value(" DIRECTORY");
        } else if (argument == QLatin1String("--record")) {
            record = true;
            line.m_recording.file = value(" FILE").value_or(QString());
            if (hasValue && line.m_recording.file.isEmpty())
                complain(QStringLiteral("--record needs a FILE"));
        } else if (argument == QLatin1String("--app")) {
            line.m_recording.program = value(" NAME").value_or(QString());
            if (hasValue && line.m_recording.program.trimmed().isEmpty())
                complain(QStringLiteral("--app needs a NAME"));
        } else if (argument == QLatin1String("--seconds")) {
            if (const auto text = value(" number of seconds")) {
                bool number = false;
                const double seconds = text->toDouble(&number);
                // At most a year: anything longer is a typing mistake, and
                // the timer must not overflow.
                if (!number || !(seconds > 0) || seconds > 366.0 * 24 * 3600)
                    complain(QStringLiteral("--seconds needs a positive number, not ") + *text);
                line.m_recording.seconds = seconds;
            }
        } else if (argument == QLatin1String("--force")) {
            line.m_recording.force = true;
        } else if (argument == QLatin1String("--list-apps")) {
            listApps = true;
        } else if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            QStringView name = QStringView(argument).mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
            const bool joined = name.contains(QLatin1Char('='));
            name = name.left(name.indexOf(QLatin1Char('=')));
            if (names(kQtOptionsWithValue, name)) {
                i += joined ? 0 : 1;
            } else if (!names(kQtFlags, name)) {
                complain(QStringLiteral("unknown option ") + argument);
            }
        } else {
            complain(QStringLiteral("unexpected argument ") + argument);
        }
    }
    const Recording& asked = line.m_recording;
    if (int(verify) + int(record) + int(listApps) > 1)
        complain(QStringLiteral("--record, --list-apps and --verify-capture exclude each other"));
    else if (!record && (!asked.program.isEmpty() || asked.seconds || asked.force))
        complain(QStringLiteral("--app, --seconds and --force go with --record"));
    // A misuse is told even beside --help: what was typed is not what was meant.
    if (!line.m_complaint.isEmpty())
        line.m_action = Action::misuse;
    else if (help || version)
        line.m_action = help ? Action::help : Action::version;
    else if (record || listApps)
        line.m_action = record ? Action::record : Action::listApps;
    return line;
}

const char* CommandLine::usage()
{
    return kUsage;
}

} // namespace vessaro
