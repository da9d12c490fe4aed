#include "UiRender.h"

#include "ui/BrisalDragArea.h"
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

    void onlyTheDragAreaMovesTheWindow()
    {
        QWidget window;
        window.setGeometry(100, 100, 300, 200);
        auto* drag = new BrisalDragArea(&window);
        drag->setGeometry(0, 0, 300, 80);
        auto* elsewhere = new QWidget(&window);
        elsewhere->setGeometry(0, 100, 300, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QPoint start = window.pos();
        // The offscreen platform refuses a system move, so the area moves the window itself.
        for (QWidget* area : { elsewhere, static_cast<QWidget*>(drag) }) {
            QTest::mousePress(area, Qt::LeftButton, {}, QPoint(50, 40));
            QTest::mouseMove(area, QPoint(90, 70));
            QTest::mouseRelease(area, Qt::LeftButton, {}, QPoint(90, 70));
        }
        QTRY_COMPARE(window.pos(), start + QPoint(40, 30));
    }
};

QTEST_MAIN(WindowChromeTest)
#include "tst_windowchrome.moc"
