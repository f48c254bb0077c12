// The card reader's windows in real Qt widgets on the offscreen platform, against the virtual
// box served on pseudo-terminals: the maintenance window and the port finder open from the
// main dialog, show their items as widgets, and one action of each works end to end. Also the
// colour swatch of the Qt view.
#include "box/comm.h"
#include "coll/coll.h"
#include "dia/dia.h"
#include "dia/package.h"
#include "frame/app.h"
#include "frame/mailbox.h"
#include "gui/qtview.h"
#include "platform/profile.h"
#include "tests/support/sim_on_pty.h"
#include "tests/support/temp_dir.h"

#include <QApplication>
#include <QColorDialog>
#include <QComboBox>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

namespace fs = std::filesystem;

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

bool click(QWidget* window, const QString& text)
{
    QPushButton* found = window ? button(window, text) : nullptr;
    if (found)
        found->click();
    return found != nullptr;
}

// Runs `action` once `ready` gives a window (looked for every 20 ms); a click that opens a
// modal window returns only when it closes, so the steps inside it are arranged before.
void when(std::function<QWidget*()> ready, std::function<void(QWidget*)> action, QStringList& missed,
          const QString& what, int triesLeft = 1000)
{
    QTimer::singleShot(20, [=, &missed] {
        if (QWidget* window = ready())
            action(window);
        else if (triesLeft > 0)
            when(ready, action, missed, what, triesLeft - 1);
        else
            missed << what;
    });
}

void whenShown(const QString& title, std::function<void(QWidget*)> action, QStringList& missed)
{
    when([title]() -> QWidget* { return visibleDialog(title); }, std::move(action), missed, title);
}

// Every visible dialog is rejected after a while, should a step not find its window.
void safetyNet()
{
    QTimer::singleShot(60000, [] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
                dialog->reject();
    });
}

std::uint64_t commThreadOfMainDialog()
{
    CollHandle shared = collOpenShared(vm::frame::kSharedCollection);
    auto handle = static_cast<std::uint64_t>(collGetNumeric(shared, "hCommThread"));
    collClose(shared);
    return handle;
}

}  // namespace

class BoxWindowsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        root_ = std::make_unique<vm::testing::TempDir>("box-windows-test");
        const fs::path& root = root_->path();
        fs::create_directories(root / "dev");
        fs::create_directories(root / "sys" / "class" / "tty");
        fs::create_directories(root / "data" / "TestGui" / "dialogs");
        ::setenv("VELMORA_CONFIG_DIR", root.c_str(), 1);
        ::setenv("VELMORA_DATA_DIR", (root / "data").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root / "user").c_str(), 1);
        ::setenv("VELMORA_DEV_DIR", (root / "dev").c_str(), 1);
        ::setenv("VELMORA_SYSFS_ROOT", (root / "sys").c_str(), 1);
        ::setenv("VELMORA_COLL_NAMESPACE", ("box-windows-" + std::to_string(::getpid())).c_str(), 1);
        view_ = std::make_shared<vm::gui::QtView>();
        vm::dia::setView(view_);
    }

    void cleanupTestCase()
    {
        vm::dia::setView(nullptr);
        view_.reset();
        vm::dia::unloadPackages();
        root_.reset();
    }

    // Main dialog -> "Card reader tests…" -> "Identify the chip": the chip's code in the
    // identification table.
    void maintenanceIdentifiesTheChip()
    {
        vm::testing::SimOnPty sim("01A4");  // AMD Am29F040B, answers "id2"
        sim.start();
        useBox(sim.port());
        QStringList missed, maintenanceWidgets;
        QString code;
        std::uint64_t comm = 0;
        safetyNet();
        whenShown("Velmora II", [&](QWidget* main) {
            whenShown("Card reader maintenance", [&](QWidget* maintenance) {
                maintenanceWidgets = widgetSummary(maintenance);
                whenShown("Chip identification", [&](QWidget* identify) {
                    for (QTableWidget* table : identify->findChildren<QTableWidget*>())
                        for (int row = 0; row < table->rowCount(); ++row)
                            if (table->item(row, 0) && table->item(row, 0)->text() == "id2")
                                code = table->item(row, 1)->text();
                    click(identify, "OK");
                }, missed);
                click(maintenance, "Identify the chip");
                // Closed once the job is over: its buttons are no longer greyed.
                when([&code, maintenance]() -> QWidget* {
                    QPushButton* lamp = button(maintenance, "Lamp green");
                    return !code.isEmpty() && lamp && lamp->isEnabled() ? maintenance : nullptr;
                }, [&](QWidget* window) { click(window, "Close"); }, missed, "the identify job's end");
            }, missed);
            if (!click(main, QString::fromUtf8("Card reader tests…")))
                missed << "Card reader tests…";
            comm = commThreadOfMainDialog();
            click(main, "Exit");
        }, missed);

        QCOMPARE(runMainProcedure(), std::int64_t{1});
        endCommThread(comm);
        QVERIFY2(missed.isEmpty(), qPrintable(missed.join(", ")));
        QCOMPARE(code, QString("01A400"));  // the code and the sector-0 status
        // Items render as their widgets: edits, buttons, combos, the answer label.
        for (const char* expected : {"QLineEdit:Command", "QPushButton:Identify the chip", "QComboBox:Chip",
                                     "QComboBox:Blank card", "QPushButton:Write pattern 29F040"})
            QVERIFY2(maintenanceWidgets.contains(expected), expected);
        auto heard = sim.heard();
        QVERIFY(std::find(heard.begin(), heard.end(), "id2") != heard.end());
    }

    // Main dialog -> "Settings…" -> "Find the card reader…" -> "Try every port" finds the box
    // behind the device folder's ttyUSB0; "Use it" and OK make it the port.
    void finderFindsTheBoxAndSettingsKeepIt()
    {
        vm::testing::SimOnPty first("01A4");
        vm::testing::SimOnPty found("01A4");
        first.start();
        found.start();
        useBox(first.port());
        const fs::path& root = root_->path();
        fs::path link = root / "dev" / "ttyUSB0";
        fs::create_symlink(found.port(), link);
        // The adapter's sysfs entry, as a USB serial adapter has one.
        fs::create_directories(root / "sys" / "bus" / "usb-serial" / "devices" / "ttyUSB0");
        QStringList missed, finderWidgets, ports;
        QString status;
        std::uint64_t comm = 0;
        safetyNet();
        whenShown("Velmora II", [&](QWidget* main) {
            whenShown("Settings", [&](QWidget* settings) {
                whenShown("Find the card reader", [&](QWidget* finder) {
                    finderWidgets = widgetSummary(finder);
                    for (QComboBox* combo : finder->findChildren<QComboBox*>())
                        for (int i = 0; i < combo->count(); ++i)
                            ports << combo->itemText(i);
                    click(finder, "Try every port");  // probes on this thread, then returns
                    for (QLabel* label : finder->findChildren<QLabel*>())
                        if (label->text().contains(" on "))
                            status = label->text();
                    click(finder, "Use it");
                }, missed);
                if (!click(settings, QString::fromUtf8("Find the card reader…")))
                    missed << "Find the card reader…";
                click(settings, "OK");
            }, missed);
            click(main, QString::fromUtf8("Settings…"));
            // The new comm thread asks the box it found for its version.
            when([&found, main]() -> QWidget* {
                auto heard = found.heard();
                return std::find(heard.begin(), heard.end(), "rep 00 00 02") != heard.end() ? main : nullptr;
            }, [&](QWidget* window) {
                comm = commThreadOfMainDialog();
                click(window, "Exit");
            }, missed, "the version asked of the found box");
        }, missed);

        QCOMPARE(runMainProcedure(), std::int64_t{1});
        endCommThread(comm);
        fs::remove(link);
        QVERIFY2(missed.isEmpty(), qPrintable(missed.join(", ")));
        QVERIFY(ports.contains(QString::fromStdString(link.string())));
        QCOMPARE(status, QString::fromStdString("Brimlet Firmware 7 on " + link.string() + ", RS232"));
        QVERIFY(finderWidgets.contains("QPushButton:Try this port"));
        QVERIFY(finderWidgets.contains("QComboBox:Connection"));
        QCOMPARE(QString::fromStdString(vm::platform::getProfileString("VelmoraII.ini", "Options", "Port", "")),
                 QString::fromStdString(link.string()));
        QVERIFY(first.heard().empty() == false);  // the first box served until the settings
    }

    // Main dialog -> "Read card": the card check window shows while the card is identified,
    // closes by itself, the read runs, and the main dialog shows the card and the result.
    void mainDialogReadsTheCard()
    {
        // The first answer comes late, so the card check window is there to be seen.
        vm::testing::SimOnPty sim("01A4", "slow:400@version");
        std::vector<std::uint8_t> card(0x80000);
        for (std::size_t i = 0; i < card.size(); ++i)
            card[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
        std::copy(card.begin(), card.end(), sim.box().card().begin());
        sim.start();
        useBox(sim.port());
        fs::path read = root_->path() / "read";
        fs::create_directories(read);
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "ReadDirectory", read.c_str());
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "Debug", "1");
        QStringList missed, checkWidgets;
        QString cardType, status;
        std::uint64_t comm = 0;
        safetyNet();
        whenShown("Velmora II", [&](QWidget* main) {
            whenShown("Card Check", [&](QWidget* check) { checkWidgets = widgetSummary(check); }, missed);
            when([&read, main]() -> QWidget* { return fs::exists(read / "card.tmp") ? main : nullptr; },
                 [&](QWidget* window) {
                     // The job has ended once "Read card" is no longer greyed.
                     when([window]() -> QWidget* {
                         QPushButton* again = button(window, "Read card");
                         return again && again->isEnabled() ? window : nullptr;
                     }, [&](QWidget* done) {
                         for (QLabel* label : done->findChildren<QLabel*>()) {
                             if (label->text() == "AMD Am29F040B")
                                 cardType = label->text();
                             if (label->text().contains("designs,"))
                                 status = label->text();
                         }
                         comm = commThreadOfMainDialog();
                         click(done, "Exit");
                     }, missed, "the read's end");
                 }, missed, "the card image");
            if (!click(main, "Read card"))
                missed << "Read card";
        }, missed);

        QCOMPARE(runMainProcedure(), std::int64_t{1});
        endCommThread(comm);
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "Debug", "0");
        QVERIFY2(missed.isEmpty(), qPrintable(missed.join(", ")));
        QVERIFY(checkWidgets.contains("QPushButton:Continue"));
        QVERIFY(checkWidgets.contains("QPushButton:Cancel"));
        QCOMPARE(cardType, QString("AMD Am29F040B"));
        QCOMPARE(status, QString("0 designs, 0 stitches"));
        std::ifstream in(read / "card.tmp", std::ios::binary);
        std::vector<std::uint8_t> handed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        QVERIFY(handed == card);
        auto heard = sim.heard();
        QCOMPARE(static_cast<int>(std::count_if(heard.begin(), heard.end(),
                                                [](const std::string& line) { return line.rfind("binread", 0) == 0; })),
                 2048);
    }

    // A colour item is a swatch of its colour; choosing another colour changes the item.
    void colourSwatchShowsAndChangesItsItem()
    {
        std::ofstream(root_->path() / "data" / "TestGui" / "strings.tsv") << "1\tTest\n";
        std::ofstream(root_->path() / "data" / "TestGui" / "dialogs" / "Swatch.json") << R"({"title": "Swatch",
            "items": [{"tag": "Thread", "kind": "colour", "text": "Thread colour"},
                      {"tag": "OK", "kind": "button", "text": "OK", "close": 1}]})";
        CollHandle coll = collOpen("swatch");
        collSetNumeric(coll, "Thread", 0x0000FF);  // red: the low byte
        QStringList missed;
        QColor before, after, afterCancel;
        auto swatchColour = [](QWidget* window) {
            auto* swatch = window->findChild<QPushButton*>();
            QImage picture = swatch ? swatch->icon().pixmap(swatch->iconSize()).toImage() : QImage();
            return picture.isNull() ? QColor() : QColor(picture.pixel(picture.width() / 2, picture.height() / 2));
        };
        auto chooser = []() -> QWidget* {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<QColorDialog*>(widget); dialog && dialog->isVisible())
                    return dialog;
            return nullptr;
        };
        std::int64_t chosenValue = -1;
        safetyNet();
        whenShown("Swatch", [&](QWidget* window) {
            before = swatchColour(window);
            auto* swatch = window->findChild<QPushButton*>();
            when(chooser, [](QWidget* dialog) {
                auto* colours = static_cast<QColorDialog*>(dialog);
                colours->setCurrentColor(QColor(0x00, 0x80, 0xFF));
                colours->accept();
            }, missed, "the colour chooser");
            swatch->click();
            after = swatchColour(window);
            chosenValue = collGetNumeric(coll, "Thread");
            // Cancelled: nothing changes.
            when(chooser, [](QWidget* dialog) {
                static_cast<QColorDialog*>(dialog)->setCurrentColor(Qt::green);
                static_cast<QColorDialog*>(dialog)->reject();
            }, missed, "the colour chooser again");
            swatch->click();
            afterCancel = swatchColour(window);
            click(window, "OK");
        }, missed);
        QCOMPARE(_diaDoDialog(0, "TestGui|Swatch", coll, coll), std::int64_t{DIA_OK});
        std::int64_t finalValue = collGetNumeric(coll, "Thread");
        collClose(coll);
        QVERIFY2(missed.isEmpty(), qPrintable(missed.join(", ")));
        QCOMPARE(before, QColor(0xFF, 0x00, 0x00));
        QCOMPARE(after, QColor(0x00, 0x80, 0xFF));
        QCOMPARE(chosenValue, std::int64_t{0xFF8000});  // blue high, green, red low
        QCOMPARE(afterCancel, QColor(0x00, 0x80, 0xFF));
        QCOMPARE(finalValue, std::int64_t{0xFF8000});
    }

    // A progress bar whose argument names an item counts up to that item's value; without
    // one it counts to 100.
    void progressBarCountsToItsRangeItem()
    {
        std::ofstream(root_->path() / "data" / "TestGui" / "strings.tsv") << "1\tTest\n";
        std::ofstream(root_->path() / "data" / "TestGui" / "dialogs" / "Bars.json") << R"({"title": "Bars",
            "items": [{"tag": "Done", "kind": "progress", "text": "Files", "arg": "Range"},
                      {"tag": "Percent", "kind": "progress", "text": "Percent"},
                      {"tag": "OK", "kind": "button", "text": "OK", "close": 1}]})";
        CollHandle coll = collOpen("bars");
        collSetNumeric(coll, "Range", 4);
        collSetNumeric(coll, "Done", 3);
        collSetNumeric(coll, "Percent", 30);
        QStringList missed;
        QList<QPair<int, int>> bars;  // maximum, value
        safetyNet();
        whenShown("Bars", [&](QWidget* window) {
            for (QProgressBar* bar : window->findChildren<QProgressBar*>())
                bars.append({bar->maximum(), bar->value()});
            click(window, "OK");
        }, missed);
        QCOMPARE(_diaDoDialog(0, "TestGui|Bars", coll, coll), std::int64_t{DIA_OK});
        collClose(coll);
        QVERIFY2(missed.isEmpty(), qPrintable(missed.join(", ")));
        QCOMPARE(bars.size(), 2);
        QCOMPARE(bars[0], (QPair<int, int>{4, 3}));
        QCOMPARE(bars[1], (QPair<int, int>{100, 30}));
    }

    // "/F tag" preselects a button: it becomes the default one instead of the definition's.
    void preselectedButtonIsTheDefault()
    {
        std::ofstream(root_->path() / "data" / "TestGui" / "strings.tsv") << "1\tTest\n";
        std::ofstream(root_->path() / "data" / "TestGui" / "dialogs" / "Pick.json") << R"({"title": "Pick",
            "items": [{"tag": "tagFirst", "kind": "button", "text": "First", "close": 1, "default": true},
                      {"tag": "tagSecond", "kind": "button", "text": "Second", "close": 2}]})";
        CollHandle coll = collOpen("pick");
        QStringList missed;
        QList<QPair<bool, bool>> defaults;  // first, second
        for (const char* address : {"TestGui|Pick /F tagSecond", "TestGui|Pick /F tagNone", "TestGui|Pick"}) {
            safetyNet();
            whenShown("Pick", [&](QWidget* window) {
                defaults.append({button(window, "First")->isDefault(), button(window, "Second")->isDefault()});
                click(window, "First");
            }, missed);
            QCOMPARE(_diaDoDialog(0, address, coll, coll), std::int64_t{1});
        }
        collClose(coll);
        QVERIFY2(missed.isEmpty(), qPrintable(missed.join(", ")));
        QCOMPARE(defaults.size(), 3);
        QCOMPARE(defaults[0], (QPair<bool, bool>{false, true}));
        QCOMPARE(defaults[1], (QPair<bool, bool>{true, false}));  // no such item: as defined
        QCOMPARE(defaults[2], (QPair<bool, bool>{true, false}));
    }

private:
    void useBox(const std::string& port)
    {
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "PortType", "RS232");
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "BaudRate", "57600");
        vm::platform::writeProfileString("VelmoraII.ini", "Options", "Port", port.c_str());
    }

    static std::int64_t runMainProcedure()
    {
        CollHandle pres = collOpen("PresMain:Pres");
        const char* argv[] = {"=MainProcedure", nullptr};
        std::int64_t result = vm::frame::MainProcedure(0, 1, argv, pres);
        collClose(pres);
        return result;
    }

    // The program leaves its comm thread to the process's end; a test ends it.
    static void endCommThread(std::uint64_t handle)
    {
        QVERIFY(handle != 0);
        msgPost(vm::box::kCommandMailbox, nullptr, "quit", 4);
        QVERIFY(vm::box::waitCommThread(handle, 5000));
        while (msgWait(vm::box::kCommandMailbox, 0, true, nullptr) == MSG_OK) {
        }
    }

    // "Class:caption" of the window's edits, combos and buttons (a field's caption is its
    // form label).
    static QStringList widgetSummary(QWidget* window)
    {
        QStringList out;
        for (QPushButton* b : window->findChildren<QPushButton*>())
            out << "QPushButton:" + b->text();
        for (QLabel* label : window->findChildren<QLabel*>())
            if (QWidget* field = label->buddy()) {
                QString caption = label->text();
                caption.chop(caption.endsWith(':') ? 1 : 0);
                out << QString(field->metaObject()->className()) + ":" + caption;
            }
        return out;
    }

    std::unique_ptr<vm::testing::TempDir> root_;
    std::shared_ptr<vm::gui::QtView> view_;
};

QTEST_MAIN(BoxWindowsTest)
#include "box_windows_test.moc"
