#include "gui/designpicture.h"

#include "dia/dia.h"
#include "formats/preview.h"
#include "platform/paths.h"

#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPixmap>

namespace vm::gui {
namespace {

QImage fromMono(const formats::MonoPicture& mono)
{
    QImage image(mono.width, mono.height, QImage::Format_Mono);
    image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    for (int row = 0; row < mono.height; ++row)
        for (int byte = 0; byte < mono.stride && byte < image.bytesPerLine(); ++byte)
            image.scanLine(row)[byte] = mono.bits[static_cast<std::size_t>(row * mono.stride + byte)];
    return image;
}

// Dark pixels are drawn ones; the picture must match the thumbnail's size exactly.
formats::MonoPicture toMono(const QImage& image)
{
    formats::MonoPicture mono;
    mono.width = image.width();
    mono.height = image.height();
    mono.stride = (image.width() + 7) / 8;
    mono.bits.assign(static_cast<std::size_t>(mono.stride * mono.height), 0);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 128)
                mono.bits[static_cast<std::size_t>(y * mono.stride + x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    return mono;
}

QString extensionOf(const QString& design)
{
    return QFileInfo(design.section(',', 0, 0)).suffix().toLower();
}

}  // namespace

DesignPicture::DesignPicture(QWidget* parent) : QLabel(parent)
{
    setAlignment(Qt::AlignCenter);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(96, 76);
}

void DesignPicture::setDesign(const QString& design)
{
    if (design == design_)
        return;
    design_ = design;
    load();
    showPicture();
}

void DesignPicture::load()
{
    picture_ = QImage();
    if (design_.isEmpty())
        return;
    QString extension = extensionOf(design_);
    if (extension == "bmp") {
        picture_.load(design_);
    } else if (extension.startsWith("pes") || extension == "pec") {
        if (auto mono = formats::loadThumbnailPicture(design_.toStdString()))
            picture_ = fromMono(*mono);
    } else {
        // Other designs show the preview drawn for them in the work folder.
        QString file = design_.section(',', 0, 0);
        QString bitmap = QString::fromStdString((platform::workDir() / QFileInfo(file).fileName().toStdString()).string()) +
                         ".bmp";
        if (formats::writePreview(bitmap.toStdString(), file.toStdString()) >= 0)
            picture_.load(bitmap);
    }
}

void DesignPicture::showPicture()
{
    if (picture_.isNull()) {
        clear();
        return;
    }
    setPixmap(QPixmap::fromImage(picture_).scaled(size(), Qt::KeepAspectRatio, Qt::FastTransformation));
}

void DesignPicture::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    showPicture();
}

void DesignPicture::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        if (!picture_.isNull())
            QApplication::clipboard()->setImage(picture_);
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        pasteThumbnail();
        return;
    }
    QLabel::keyPressEvent(event);
}

void DesignPicture::pasteThumbnail()
{
    QImage image = QApplication::clipboard()->image();
    QString extension = extensionOf(design_);
    if (image.isNull() || !(extension.startsWith("pes") || extension == "pec"))
        return;
    int refused = formats::storeThumbnailPicture(design_.toStdString(), toMono(image));
    if (refused > 0) {
        diaDoMessageEx(0, MB_ICONEXCLAMATION, 1, refused);
        return;
    }
    load();
    showPicture();
}

}  // namespace vm::gui
