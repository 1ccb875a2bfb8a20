#include "wizard/SourceFrame.h"

#include <QImage>
#include <QLabel>
#include <QPixmap>

void ShowSourceFrame(QLabel* label, const SourceResult& result)
{
    const QImage frame = QImage::fromData(reinterpret_cast<const uchar*>(result.frameJpeg.data()),
                                          static_cast<int>(result.frameJpeg.size()), "JPEG");
    if (frame.isNull())
        label->setText(result.Usable() ? QStringLiteral("（无画面）") : QStringLiteral("（无法连接）"));
    else
        label->setPixmap(QPixmap::fromImage(frame).scaled(label->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}
