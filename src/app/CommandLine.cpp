#include "app/CommandLine.h"

#include <array>

namespace vessaro {
namespace {

const char* const kUsage = "Usage: vessaro [--verify-capture DIRECTORY]\n"
                           "\n"
                           "Records the sound this computer plays and saves it losslessly (ALAC in .mp4).\n"
                           "\n"
                           "  --verify-capture DIRECTORY  record three short test cycles without any\n"
                           "                              clicking, keep them in DIRECTORY and write\n"
                           "                              DIRECTORY/result.json, then quit\n"
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
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QLatin1String("--help")) {
            help = true;
        } else if (argument == QLatin1String("--version")) {
            version = true;
        } else if (argument == QLatin1String("--verify-capture")) {
            if (!hasValue && line.m_complaint.isEmpty())
                line.m_complaint = QStringLiteral("--verify-capture needs a DIRECTORY");
            ++i; // the directory, whatever it looks like
        } else if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            QStringView name = QStringView(argument).mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
            const bool joined = name.contains(QLatin1Char('='));
            name = name.left(name.indexOf(QLatin1Char('=')));
            if (names(kQtOptionsWithValue, name)) {
                i += joined ? 0 : 1;
            } else if (!names(kQtFlags, name) && line.m_complaint.isEmpty()) {
                line.m_complaint = QStringLiteral("unknown option ") + argument;
            }
        } else if (line.m_complaint.isEmpty()) {
            line.m_complaint = QStringLiteral("unexpected argument ") + argument;
        }
    }
    // A misuse is told even beside --help: what was typed is not what was meant.
    if (!line.m_complaint.isEmpty())
        line.m_action = Action::misuse;
    else if (help || version)
        line.m_action = help ? Action::help : Action::version;
    return line;
}

const char* CommandLine::usage()
{
    return kUsage;
}

} // namespace vessaro
