// The picture control of the dialogs: shows a design's picture (a bitmap file, the
// overview thumbnail of a PES or PEC, or the preview drawn for other designs), stretched
// into the control. Ctrl+C copies the picture; Ctrl+V writes a picture from the clipboard
// back as the design's thumbnail.
#pragma once

#include <QImage>
#include <QLabel>
#include <QString>

namespace vm::gui {

class DesignPicture final : public QLabel {
    Q_OBJECT

public:
    explicit DesignPicture(QWidget* parent = nullptr);

    // "file" or "file,n" for design n of a multi-design PES.
    void setDesign(const QString& design);
    const QImage& picture() const { return picture_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void load();
    void showPicture();
    void pasteThumbnail();

    QString design_;
    QImage picture_;
};

}  // namespace vm::gui
