#include "support/ScriptedDesktopServices.h"

namespace vessaro::test {

std::optional<int> ScriptedDesktopServices::runAlert(const Alert& alert)
{
    alerts.append(alert);
    if (whileModal)
        whileModal();
    return alertAnswers.isEmpty() ? std::nullopt : alertAnswers.takeFirst();
}

std::optional<QString> ScriptedDesktopServices::runSavePanel(const SavePanel& panel)
{
    savePanels.append(panel);
    if (whileModal)
        whileModal();
    return savePanelAnswers.isEmpty() ? std::nullopt : savePanelAnswers.takeFirst();
}

} // namespace vessaro::test
