// The main dialog's file lists and the picture page in real Qt windows on the offscreen
// platform: designs are added through the file dialog the way a user's choice reaches it,
// a file is dropped on the write list, and 41 designs are paged through. Pictures of the
// page are saved under the build folder ("screenshots/") for a person to look at.
#include "coll/coll.h"
#include "coll/table.h"
#include "dia/package.h"
#include "gui/designpicture.h"
#include "gui/qtview.h"
#include "tests/formats/design_builder.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QDropEvent>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include <unistd.h>

#include <fstream>
#include <functional>

namespace {

QDialog* visibleDialog(const QString& title)
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible() && dialog->windowTitle() == title)
            return dialog;
    return nullptr;
}

QFileDialog* visibleFileDialog()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible())
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

// Runs `step` once `ready` gives a window, looking every 50 ms for up to 10 s.
void whenShown(std::function<QWidget*()> ready, std::function<void(QWidget*)> step, int tries = 200)
{
    QTimer::singleShot(50, [=] {
        if (QWidget* window = ready())
            step(window);
        else if (tries > 0)
            whenShown(ready, step, tries - 1);
    });
}

void writeDesign(const QString& path)
{
    std::vector<std::uint8_t> pec = vm::formats::testing::makePec(
        {1, 5}, 40, 40, {0x14, 0x00, 0x00, 0x14, 0x6C, 0x00, 0xFE, 0xB0, 0x02, 0x00, 0x6C, 0xFF});
    std::ofstream(path.toStdString(), std::ios::binary).write(reinterpret_cast<const char*>(pec.data()), static_cast<std::streamsize>(pec.size()));
}

// The design a properties window names: the label that shows a path of the folder.
QString shownDesign(QWidget* window)
{
    for (QLabel* label : window->findChildren<QLabel*>())
        if (label->text().endsWith(".pes"))
            return label->text();
    return {};
}

int tableRows(CollHandle coll, const char* tag)
{
    return collTableRowCount(coll, tag);
}

}  // namespace

class FileWindowsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        root_ = QDir::tempPath() + "/file-windows-" + QString::number(::getpid());
        for (const char* folder : {"config", "tmp", "designs", "read", "drop"})
            QDir().mkpath(root_ + "/" + folder);
        qputenv("VELMORA_CONFIG_DIR", (root_ + "/config").toUtf8());
        qputenv("TMPDIR", (root_ + "/tmp").toUtf8());
        qputenv("VELMORA_SYSFS_ROOT", (root_ + "/sys").toUtf8());
        qputenv("VELMORA_COLL_NAMESPACE", ("file-windows-" + QString::number(::getpid())).toUtf8());
        QVERIFY(vm::dia::loadPackage("BRMRes", "VMRes") != nullptr);
        view_ = std::make_shared<vm::gui::QtView>();
        vm::dia::setView(view_);
    }

    void cleanupTestCase()
    {
        vm::dia::setView(nullptr);
        QDir(root_).removeRecursively();
    }

    void addDropAndPageThrough()
    {
        writeDesign(root_ + "/designs/a.pec");
        writeDesign(root_ + "/designs/b.pec");
        writeDesign(root_ + "/drop/c.pec");
        // The read folder: 41 copies of the corpus PEC designs, in turn.
        QStringList corpus = QDir(VELMORA_CORPUS_DIR "/synthetic/pec").entryList({"*.pec"}, QDir::Files, QDir::Name);
        QVERIFY(!corpus.isEmpty());
        for (int i = 0; i < 41; ++i)
            QVERIFY(QFile::copy(QString(VELMORA_CORPUS_DIR "/synthetic/pec/") + corpus[i % corpus.size()],
                                root_ + QString("/read/d%1.pec").arg(i, 3, 10, QChar('0'))));
        CollHandle coll = collOpen("file-windows");
        CollHandle caller = collOpen("file-windows-caller");
        collSetString(coll, "WriteDirectory", (root_ + "/designs").toUtf8().constData());
        collSetString(coll, "ReadDirectory", (root_ + "/read").toUtf8().constData());
        collSetNumeric(coll, "FilterIndex", 2);  // PEC
        collSetString(coll, "ModuleVersion", "1.00");  // no box to ask

        int addedRows = -1, droppedRows = -1, listShown = -1;
        bool pageSaved = false, lastSaved = false;
        QString lastFirst, lastSecond;
        bool lastSecondBlank = false;

        whenShown([] { return visibleDialog("Velmora II"); }, [&](QWidget* main) {
            // Add: the file dialog's own way of taking a typed choice of two files.
            whenShown([] { return visibleFileDialog(); }, [&](QWidget* window) {
                auto* chooser = static_cast<QFileDialog*>(window);
                chooser->setDirectory(root_ + "/designs");
                if (auto* edit = chooser->findChild<QLineEdit*>("fileNameEdit"))
                    edit->setText("\"a.pec\" \"b.pec\"");
                QMetaObject::invokeMethod(chooser, "accept");
            });
            button(main, QString::fromUtf8("Add designs…"))->click();
            addedRows = tableRows(coll, "PESTable");

            // Drop a file on the write list.
            QTableWidget* writeList = nullptr;
            for (QTableWidget* table : main->findChildren<QTableWidget*>())
                if (table->rowCount() == addedRows && addedRows > 0)
                    writeList = table;
            if (writeList) {
                QMimeData data;
                data.setUrls({QUrl::fromLocalFile(root_ + "/drop/c.pec")});
                QPoint at = writeList->viewport()->rect().center();
                QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
                QApplication::sendEvent(writeList->viewport(), &enter);
                QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
                QApplication::sendEvent(writeList->viewport(), &drop);
                droppedRows = tableRows(coll, "PESTable");
                listShown = writeList->rowCount();
            }

            // The picture page of the read list: a title, then the page.
            whenShown([] { return visibleDialog("Picture Page"); }, [&](QWidget* ask) {
                if (auto* edit = ask->findChild<QLineEdit*>())
                    QTest::keyClicks(edit, "Spring");  // typed, as a user would
                button(ask, "OK")->click();
                whenShown([] { return visibleDialog("Spring"); }, [&](QWidget* page) {
                    QDir().mkpath(SCREENSHOT_DIR);
                    pageSaved = page->grab().save(QString(SCREENSHOT_DIR) + "/picture-page.png");
                    button(page, "Last page")->click();
                    auto* first = page->findChild<vm::gui::DesignPicture*>("name101");
                    auto* second = page->findChild<vm::gui::DesignPicture*>("name102");
                    if (first && second) {
                        lastFirst = QString::number(first->picture().isNull() ? 0 : 1);
                        lastSecondBlank = second->picture().isNull();
                    }
                    lastSaved = page->grab().save(QString(SCREENSHOT_DIR) + "/picture-page-last.png");
                    button(page, "Close")->click();
                });
            });
            button(main, QString::fromUtf8("Picture page…"))->click();
            if (QPushButton* exit = button(main, "Exit"))
                exit->click();
        });
        QTimer::singleShot(30000, [] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
                    dialog->reject();
        });
        _diaDoDialog(0, "BRMRes|Brimlet \"Ada\"", coll, caller);

        QCOMPARE(addedRows, 2);
        QCOMPARE(droppedRows, 3);
        QCOMPARE(listShown, 3);
        QVERIFY(pageSaved);
        QVERIFY(lastSaved);
        QCOMPARE(lastFirst, QString("1"));  // design 41 drawn in place 1
        QVERIFY(lastSecondBlank);
        TableHandle list = collGetTable(coll, "PESTable");
        char last[4096] = {};
        tableGetField(list, 2, 0, last, sizeof last);
        tableDestroy(list);
        QCOMPARE(QString(last), root_ + "/drop/c.pec");
        collClose(coll);
        collClose(caller);
    }

    // The properties window of a read list design, in a picture saved for a person to look
    // at; Next steps to the following design.
    void propertiesWindow()
    {
        QDir().mkpath(root_ + "/props");
        QStringList corpus = QDir(VELMORA_CORPUS_DIR "/synthetic/pes").entryList({"*.pes"}, QDir::Files, QDir::Name);
        QVERIFY(corpus.size() >= 2);
        for (int i = 0; i < 2; ++i)
            QVERIFY(QFile::copy(QString(VELMORA_CORPUS_DIR "/synthetic/pes/") + corpus[i], root_ + "/props/" + corpus[i]));
        CollHandle coll = collOpen("properties-window");
        CollHandle caller = collOpen("properties-window-caller");
        collSetString(coll, "ReadDirectory", (root_ + "/props").toUtf8().constData());
        collSetNumeric(coll, "FilterIndex", 1);  // PES
        collSetString(coll, "ModuleVersion", "1.00");

        bool saved = false, pictureShown = false;
        QString firstName, nextName, swatch;
        whenShown([] { return visibleDialog("Velmora II"); }, [&](QWidget* main) {
            collTableSetSelection(coll, "FileTable", 0);
            whenShown([] { return visibleDialog("Design Properties"); }, [&](QWidget* window) {
                auto* picture = window->findChild<vm::gui::DesignPicture*>("Design");
                pictureShown = picture && !picture->picture().isNull();
                for (QPushButton* candidate : window->findChildren<QPushButton*>())
                    if (swatch.isEmpty() && candidate->text().startsWith("#"))
                        swatch = candidate->text();  // the first thread's
                firstName = shownDesign(window);
                QDir().mkpath(SCREENSHOT_DIR);
                saved = window->grab().save(QString(SCREENSHOT_DIR) + "/properties.png");
                button(window, "Next")->click();
                nextName = shownDesign(window);
                button(window, "Close")->click();
            });
            button(main, QString::fromUtf8("Properties…"))->click();
            button(main, "Exit")->click();
        });
        _diaDoDialog(0, "BRMRes|Brimlet \"Ada\"", coll, caller);
        QVERIFY(saved);
        QVERIFY(pictureShown);
        QCOMPARE(swatch, QString("#ED171F"));  // the PEC palette's red
        QCOMPARE(firstName, root_ + "/props/" + corpus[0]);
        QCOMPARE(nextName, root_ + "/props/" + corpus[1]);
        collClose(coll);
        collClose(caller);
    }

private:
    QString root_;
    std::shared_ptr<vm::gui::QtView> view_;
};

QTEST_MAIN(FileWindowsTest)
#include "file_windows_test.moc"
