#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <optional>

namespace vessaro {

// Finds the resource bundle "Vessaro_Vessaro.bundle" that holds the artwork.
// Main thread only.
class ResourceBundle {
public:
    static const QString bundleName;

    // Where the bundle is looked for, in order: beside the program (the build
    // tree), the installation's data folder (share/vessaro next to bin/), then
    // the build tree that built this library, so that tests in sub-folders
    // find it too.
    static QStringList candidateDirectories();
    // The first candidate that holds a readable bundle directory.
    static std::optional<QString> locate(const QStringList& directories);
    // locate(candidateDirectories()), once per process. When it finds nothing
    // it says so once on standard error and the program carries on without
    // the artwork: a broken installation must not keep anyone from recording.
    static const std::optional<QString>& shared();
    // The picture `name`.`extension` in `subdirectory` of the bundle; absent
    // when it is missing or cannot be read as a picture.
    static std::optional<QImage> image(
        const QString& bundle, const QString& name, const QString& extension, const QString& subdirectory);
};

} // namespace vessaro
