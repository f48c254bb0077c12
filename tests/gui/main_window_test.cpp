// The main dialog in real Qt windows on the offscreen platform: it opens, the settings
// open from it and are cancelled, and pictures of both windows are saved under the build
// folder ("screenshots/") so that a person can look at them.
#include "coll/coll.h"
#include "dia/package.h"
#include "frame/app.h"
#include "gui/qtview.h"
#include "platform/profile.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

QDialog* visibleDialog(const QString& title)
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible() && dialog->windowTitle() == title)
            return dialog;
    return nullptr;
}

QPushButton* button(QWidget* window, const QString& text)
{
    for (QPushButton* candidate : window->findChildren<QPushButton*>())
        if (candidate->text() == text)
            return candidate;
    return nullptr;
}

// Saves the window's picture; false when it is empty or all one colour.
bool savePicture(QWidget* window, const QString& name)
{
    QDir().mkpath(SCREENSHOT_DIR);
    QImage picture = window->grab().toImage();
    if (picture.isNull() || !picture.save(QString(SCREENSHOT_DIR) + "/" + name))
        return false;
    QRgb first = picture.pixel(0, 0);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            if (picture.pixel(x, y) != first)
                return true;
    return false;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        root_ = QDir::tempPath() + "/gui-test-" + QString::number(::getpid());
        QDir().mkpath(root_ + "/config");
        QDir().mkpath(root_ + "/dev");
        qputenv("VELMORA_CONFIG_DIR", (root_ + "/config").toUtf8());
        qputenv("VELMORA_DEV_DIR", (root_ + "/dev").toUtf8());
        qputenv("VELMORA_SYSFS_ROOT", (root_ + "/sys").toUtf8());
        qputenv("VELMORA_COLL_NAMESPACE", ("gui-test-" + QString::number(::getpid())).toUtf8());
        // A port that is there, so that the settings do not open before the main dialog.
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master_);
        ::unlockpt(master_);
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "PortType", "RS232");
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "Port", ::ptsname(master_));
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "User", "Ada");
        view_ = std::make_shared<vm::gui::QtView>();
        vm::dia::setView(view_);
    }

    void cleanupTestCase()
    {
        vm::dia::setView(nullptr);
        ::close(master_);
        QDir(root_).removeRecursively();
    }

    void mainDialogOpensAndSettingsCancel()
    {
        bool mainShown = false;
        bool mainPicture = false;
        bool settingsShown = false;
        bool settingsPicture = false;
        QString greeting;

        QTimer::singleShot(300, [&] {
            QDialog* main = visibleDialog("Velmora II");
            if (!main)
                return;  // the test fails below, and the loop is ended by the safety timer
            mainShown = true;
            mainPicture = savePicture(main, "main-window.png");
            for (QLabel* label : main->findChildren<QLabel*>())
                if (label->text().startsWith("Welcome"))
                    greeting = label->text();
            QTimer::singleShot(300, [&] {
                if (QDialog* settings = visibleDialog("Settings")) {
                    settingsShown = true;
                    settingsPicture = savePicture(settings, "settings.png");
                    if (QPushButton* cancel = button(settings, "Cancel"))
                        cancel->click();
                }
            });
            if (QPushButton* settings = button(main, QString::fromUtf8("Settings…")))
                settings->click();  // returns when the settings dialog has closed
            if (QPushButton* exit = button(main, "Exit"))
                exit->click();
        });
        // Should anything above not find its window, the dialog is closed after a while.
        QTimer::singleShot(20000, [] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
                    dialog->reject();
        });

        CollHandle pres = collOpen("PresMain:Pres");
        const char* argv[] = {"=MainProcedure", nullptr};
        std::int64_t result = vm::frame::MainProcedure(0, 1, argv, pres);
        collClose(pres);

        QVERIFY(mainShown);
        QVERIFY(settingsShown);
        QCOMPARE(result, std::int64_t{1});  // closed with Exit
        QCOMPARE(greeting, QString("Welcome, Ada"));
        QVERIFY2(mainPicture, "the main window's picture was not saved or is blank");
        QVERIFY2(settingsPicture, "the settings window's picture was not saved or is blank");
        // Cancelled settings write nothing back.
        QCOMPARE(QString::fromStdString(vm::platform::getProfileString("VelmoraII.ini", "Options", "BaudRate", "none")),
                 QString("none"));
    }

private:
    QString root_;
    int master_ = -1;
    std::shared_ptr<vm::gui::QtView> view_;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
