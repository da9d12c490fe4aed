#pragma once

#include "recorder/DesktopServices.h"

#include <functional>

namespace vessaro::test {

// Desktop services that answer from a script and remember what they were asked. Main thread only.
class ScriptedDesktopServices final : public DesktopServices {
public:
    // Answers handed out in order; once they run out an alert is closed
    // without a button and a save dialog is dismissed.
    QList<std::optional<int>> alertAnswers;
    QList<std::optional<QString>> savePanelAnswers;
    // Runs inside each modal call before it answers, as the nested event loop of a real dialog would run other work.
    std::function<void()> whileModal;

    QList<Alert> alerts;
    QList<SavePanel> savePanels;
    QStringList revealed;
    // Set by closeModalDialogs() while a modal call runs: it then answers nothing.
    bool closedWhileModal = false;

    std::optional<int> runAlert(const Alert& alert) override { return ask(alerts, alert, alertAnswers); }
    std::optional<QString> runSavePanel(const SavePanel& panel) override
    {
        return ask(savePanels, panel, savePanelAnswers);
    }
    void revealInFileManager(const QString& path) override { revealed.append(path); }
    void openSoundSettings() override { }
    void closeModalDialogs() override { closedWhileModal = m_modal; }

private:
    template <typename Question, typename Answer>
    std::optional<Answer> ask(QList<Question>& asked, const Question& question, QList<std::optional<Answer>>& answers)
    {
        asked.append(question);
        m_modal = true;
        closedWhileModal = false;
        if (whileModal)
            whileModal();
        m_modal = false;
        return closedWhileModal || answers.isEmpty() ? std::nullopt : answers.takeFirst();
    }

    bool m_modal = false;
};

} // namespace vessaro::test
