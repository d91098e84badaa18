#include "ui/qt/app_icon.h"

#include <QtGui/QPainter>

namespace {
const QColor kIconNavy(0x17, 0x26, 0x3B);
const QColor kIconTeal(0x2A, 0x9D, 0x8F);
constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128};
}  // namespace

QPixmap QuillonIconPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF whole(0, 0, size, size);
    painter.setBrush(kIconNavy);
    painter.drawRoundedRect(whole, size * 0.2, size * 0.2);
    const QPointF centre = whole.center();
    painter.setBrush(Qt::white);
    painter.drawEllipse(centre, size * 0.36, size * 0.36);
    painter.setBrush(kIconNavy);
    painter.drawEllipse(centre, size * 0.27, size * 0.27);
    painter.setBrush(kIconTeal);
    painter.drawEllipse(centre, size * 0.18, size * 0.18);
    return pixmap;
}

QIcon QuillonIcon() {
    QIcon icon;
    for (int size : kIconSizes)
        icon.addPixmap(QuillonIconPixmap(size));
    return icon;
}
