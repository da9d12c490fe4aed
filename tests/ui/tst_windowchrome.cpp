#include "UiRender.h"

#include "ui/BrisalDragArea.h"
#include "ui/BrisalWindowConfiguration.h"
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
    void frameless()
    {
        Window window;
        window.show();
        BrisalWindowConfiguration::apply(&window);
        BrisalWindowConfiguration::apply(&window);
        QVERIFY(window.isVisible());
        QVERIFY(window.windowFlags().testFlags(Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint));
        QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));
        QCOMPARE(window.windowTitle(), QStringLiteral("Brisal录音"));
    }

    void buttons_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("x");
        QTest::addColumn<QString>("name");
        QTest::newRow("close") << 0 << 4 << QStringLiteral("关闭Brisal录音");
        QTest::newRow("minimise") << 1 << 28 << QStringLiteral("最小化");
        QTest::newRow("zoom") << 2 << 52 << QStringLiteral("缩放窗口");
    }

    void buttons()
    {
        QFETCH(int, index);
        QFETCH(int, x);
        QFETCH(QString, name);
        Window window;
        window.resize(200, 100);
        auto* controls = new BrisalWindowControls(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        WindowButton* button = controls->buttons().at(static_cast<std::size_t>(index));
        QCOMPARE(button->pos(), QPoint(x, 6));
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
        QVERIFY(accessible);
        QCOMPARE(accessible->text(QAccessible::Name), name);
        QCOMPARE(accessible->role(), QAccessible::Button);

        button->click();
        switch (button->kind()) {
        case WindowButton::Kind::close:
            QCOMPARE(window.closeRequests, 1);
            break;
        case WindowButton::Kind::minimize:
            QTRY_VERIFY(window.isMinimized());
            break;
        case WindowButton::Kind::zoom:
            QTRY_VERIFY(window.isMaximized());
            button->click();
            QTRY_VERIFY(!window.isMaximized());
            break;
        }
        if (index == 0)
            test::render(*controls, QStringLiteral("window-controls"));
    }

    void onlyTheDragAreaMovesTheWindow()
    {
        QWidget window;
        window.setGeometry(100, 100, 300, 200);
        auto* drag = new BrisalDragArea(&window);
        drag->setGeometry(0, 0, 300, 80);
        auto* elsewhere = new QWidget(&window);
        elsewhere->setGeometry(0, 100, 300, 100);
        BrisalWindowConfiguration::apply(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QPoint start = window.pos();

        QTest::mousePress(elsewhere, Qt::LeftButton, {}, QPoint(50, 50));
        QTest::mouseMove(elsewhere, QPoint(90, 80));
        QTest::mouseRelease(elsewhere, Qt::LeftButton, {}, QPoint(90, 80));
        QCOMPARE(window.pos(), start);

        // The offscreen platform refuses a system move, so the area moves the window itself.
        QTest::mousePress(drag, Qt::LeftButton, {}, QPoint(50, 40));
        QTest::mouseMove(drag, QPoint(90, 70));
        QTest::mouseRelease(drag, Qt::LeftButton, {}, QPoint(90, 70));
        QTRY_COMPARE(window.pos(), start + QPoint(40, 30));
    }
};

QTEST_MAIN(WindowChromeTest)
#include "tst_windowchrome.moc"
