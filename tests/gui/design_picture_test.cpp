// The picture control: a PEC's thumbnail shown, copied with Ctrl+C, and a changed picture
// pasted back into the file with Ctrl+V; a picture of the wrong size is refused.
#include "dia/headless.h"
#include "dia/package.h"
#include "formats/preview.h"
#include "gui/designpicture.h"
#include "tests/formats/design_builder.h"
#include "tests/support/temp_dir.h"

#include <QApplication>
#include <QClipboard>
#include <QtTest>

#include <fstream>

class DesignPictureTest : public QObject {
    Q_OBJECT

private slots:
    void showsCopiesAndPastesTheThumbnail()
    {
        vm::testing::TempDir dir("picture-test");
        ::setenv("VELMORA_CONFIG_DIR", dir.path().c_str(), 1);
        QVERIFY(vm::dia::loadPackage("BRMRes", "VMRes") != nullptr);
        auto view = std::make_shared<vm::dia::HeadlessView>();
        vm::dia::setView(view);
        vm::formats::Bytes pec = vm::formats::testing::makePec({5}, 100, 100, {0x0A, 0x0A, 0xFF});
        std::string path = (dir / "rose.pec").string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(pec.data()), static_cast<std::streamsize>(pec.size()));

        vm::gui::DesignPicture picture;
        picture.resize(192, 152);
        picture.show();
        picture.setDesign(QString::fromStdString(path));
        QCOMPARE(picture.picture().size(), QSize(48, 38));
        QVERIFY(!picture.pixmap().isNull());

        picture.setFocus();
        QTest::keyClick(&picture, Qt::Key_C, Qt::ControlModifier);
        QImage copied = QApplication::clipboard()->image();
        QCOMPARE(copied.size(), QSize(48, 38));

        // A dot drawn at (20, 10) and pasted back: the file's thumbnail holds it.
        QImage changed = copied.convertToFormat(QImage::Format_RGB32);
        changed.setPixel(20, 10, qRgb(0, 0, 0));
        QApplication::clipboard()->setImage(changed);
        QTest::keyClick(&picture, Qt::Key_V, Qt::ControlModifier);
        auto stored = vm::formats::loadThumbnailPicture(path);
        QVERIFY(stored.has_value());
        QVERIFY(stored->bits[static_cast<std::size_t>(10 * stored->stride + 20 / 8)] & (0x80 >> (20 % 8)));
        QCOMPARE(picture.picture().pixelIndex(20, 10), 1);

        // Too narrow: refused with message 131, the file unchanged.
        QApplication::clipboard()->setImage(QImage(40, 38, QImage::Format_RGB32));
        QTest::keyClick(&picture, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(view->messages().size(), std::size_t{1});
        QCOMPARE(QString::fromStdString(view->messages()[0].text),
                 QString::fromStdString(vm::dia::loadString(131).value_or("")));
        QCOMPARE(vm::formats::loadThumbnailPicture(path)->bits, stored->bits);
        vm::dia::setView(nullptr);
        vm::dia::unloadPackages();
    }
};

QTEST_MAIN(DesignPictureTest)
#include "design_picture_test.moc"
