#include "thumbnailer/thumbnail.h"

#include "formats/convert.h"
#include "formats/preview.h"

#include <QImage>
#include <QSaveFile>


namespace vm::thumbnailer {

std::string writeThumbnail(const std::string& designPath, const std::string& pngPath, int size)
{
    if (size < 1 || size > kMaxSize)
        return "the size must be 1 to " + std::to_string(kMaxSize);
    // No reporter is set: a question about a bad design gets its safe answer, and nothing waits.
    formats::Bytes bitmap;
    formats::clearFailureReason();
    int code = formats::previewBitmap(bitmap, designPath);
    if (code == formats::kNoMaker)
        return designPath + " is not a design file this program reads";
    if (code < 0 || bitmap.empty()) {
        const std::string reason = formats::failureReason();
        return designPath + " cannot be drawn: " + (reason.empty() ? "error " + std::to_string(code) : reason);
    }

    QImage preview;
    if (!preview.loadFromData(bitmap.data(), static_cast<int>(bitmap.size()), "BMP"))
        return "the preview of " + designPath + " cannot be read back";
    // The preview is square: scaled by its width it comes out size x size. Smoothed when made
    // smaller; made larger, its pixels are repeated, so only the design's colours show.
    QImage scaled = preview.convertToFormat(QImage::Format_RGB32)
                        .scaledToWidth(size, size < preview.width() ? Qt::SmoothTransformation : Qt::FastTransformation);
    if (scaled.height() != size)
        return "the preview of " + designPath + " is not square";
    QSaveFile file(QString::fromStdString(pngPath));
    if (!file.open(QIODevice::WriteOnly) || !scaled.save(&file, "PNG") || !file.commit())
        return pngPath + " cannot be written";
    return {};
}

}  // namespace vm::thumbnailer
