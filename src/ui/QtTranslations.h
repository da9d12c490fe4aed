#pragma once

class QCoreApplication;

// Qt's own texts (the save dialog's buttons and labels) in Chinese, like all
// of ours. Main thread only, once the application object exists.
namespace vessaro::QtTranslations {

// Loads qtbase's zh_CN translation from Qt's translations folder, whatever
// the user's locale, and installs it on `application`, which owns it. Returns
// false when the translation is not installed; Qt then speaks English.
bool installChinese(QCoreApplication& application);

} // namespace vessaro::QtTranslations
