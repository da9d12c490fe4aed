#include "ui/ResourceBundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>

#include <cstdio>

namespace vessaro {

const QString ResourceBundle::bundleName = QStringLiteral("Vessaro_Vessaro.bundle");

QStringList ResourceBundle::candidateDirectories()
{
    const QString program = QCoreApplication::applicationDirPath();
    return { program, QDir(program).filePath(QStringLiteral(VESSARO_INSTALLED_BUNDLE_DIR)),
        QStringLiteral(VESSARO_BUILD_TREE_DIR) };
}

std::optional<QString> ResourceBundle::locate(const QStringList& directories)
{
    for (const QString& directory : directories) {
        const QFileInfo bundle(QDir(directory).filePath(bundleName));
        if (bundle.isDir() && bundle.isReadable() && bundle.isExecutable())
            return bundle.absoluteFilePath();
    }
    return std::nullopt;
}

const std::optional<QString>& ResourceBundle::shared()
{
    static const std::optional<QString> bundle = [] {
        std::optional<QString> found = locate(candidateDirectories());
        if (!found) {
            // Written directly: release builds silence Qt's message handler.
            std::fputs("unable to find bundle named Vessaro_Vessaro\n", stderr);
        }
        return found;
    }();
    return bundle;
}

std::optional<QImage> ResourceBundle::image(
    const QString& bundle, const QString& name, const QString& extension, const QString& subdirectory)
{
    QImageReader reader(QDir(bundle).filePath(subdirectory + QLatin1Char('/') + name + QLatin1Char('.') + extension));
    QImage picture = reader.read();
    if (picture.isNull())
        return std::nullopt;
    return picture;
}

} // namespace vessaro
