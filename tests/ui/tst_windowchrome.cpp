#include "UiRender.h"

#include "ui/BrisalWindowControls.h"
#include "ui/WindowButton.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QTest>

using namespace vessaro;

namespace {

class Window final : public QWidget {
public:
    int closeRequests = 0;

protected:
    void closeEvent(QCloseEvent* event) override
    {
        ++closeRequests;
        event->ignore();
    }
};

} // namespace

class WindowChromeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Close asks the window (which may refuse), minimise and zoom act at once.
    void buttonsActAndAreNamed()
    {
        Window window;
        window.resize(200, 100);
        auto* controls = new BrisalWindowControls(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        test::render(*controls, QStringLiteral("window-controls"));
        QStringList names;
        for (WindowButton* button : controls->buttons())
            names << QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name);
        QCOMPARE(names, QStringList({ "关闭Brisal录音", "最小化", "缩放窗口" }));
        controls->buttons().at(0)->click();
        QCOMPARE(window.closeRequests, 1);
        controls->buttons().at(2)->click();
        QTRY_VERIFY(window.isMaximized());
        controls->buttons().at(1)->click();
        QTRY_VERIFY(window.isMinimized());
    }
};

QTEST_MAIN(WindowChromeTest)
#include "tst_windowchrome.moc"
