// Draws the pictures of the three screens: the title band, the camera and the
// three instruction panels. They are laid out for a 758-pixel-wide window:
// the title spans it, the camera and an instruction panel share the row below.
//
//   make_pictures OUTPUT_DIR [bmp|png]
//
// BMP is what ships; PNG copies are for looking at the art.

#include <QtGui/QFont>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtGui/QRadialGradient>
#include <QtCore/QDir>
#include <QtCore/QString>

#include <cstdio>

namespace {

constexpr int kReferenceWidth = 758;
constexpr int kTitleHeight = 101;
constexpr int kRowHeight = 300;
constexpr int kCameraWidth = 280;
constexpr int kInstructionWidth = kReferenceWidth - kCameraWidth;

const QColor kNavy(0x17, 0x26, 0x3B);
const QColor kNavyLight(0x24, 0x4A, 0x6B);
const QColor kTeal(0x2A, 0x9D, 0x8F);
const QColor kAmber(0xE0, 0x8E, 0x1B);
const QColor kGreen(0x3A, 0x9D, 0x5D);
const QColor kInk(0x22, 0x30, 0x3C);
const QColor kMuted(0x5B, 0x6B, 0x7A);
const QColor kPanel(0xF2, 0xF5, 0xF8);
const QColor kBodyDark(0x33, 0x3A, 0x42);
const QColor kBodyLight(0x5A, 0x63, 0x6D);

QFont Font(int pixel_size, bool bold) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixel_size);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

QImage NewCanvas(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
}

void BeginSmooth(QPainter& painter) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
}

// A lens-like mark: rings around a bright centre, used in the title.
void DrawLogoMark(QPainter& painter, QPointF centre, double radius) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 40));
    painter.drawEllipse(centre, radius, radius);
    painter.setBrush(Qt::white);
    painter.drawEllipse(centre, radius * 0.78, radius * 0.78);
    painter.setBrush(kNavy);
    painter.drawEllipse(centre, radius * 0.6, radius * 0.6);
    painter.setBrush(kTeal);
    painter.drawEllipse(centre, radius * 0.4, radius * 0.4);
    painter.setBrush(QColor(255, 255, 255, 210));
    painter.drawEllipse(centre + QPointF(-radius * 0.15, -radius * 0.15), radius * 0.12, radius * 0.12);
}

QImage DrawTitle() {
    QImage image = NewCanvas(kReferenceWidth, kTitleHeight);
    QPainter painter(&image);
    BeginSmooth(painter);

    QLinearGradient band(0, 0, kReferenceWidth, kTitleHeight);
    band.setColorAt(0.0, kNavy);
    band.setColorAt(1.0, kNavyLight);
    painter.fillRect(image.rect(), band);

    // Faint arcs on the right give the band some depth without competing with the name.
    painter.setBrush(Qt::NoBrush);
    for (int ring = 0; ring < 4; ++ring) {
        painter.setPen(QPen(QColor(255, 255, 255, 18 + ring * 6), 2));
        const double r = 150.0 - ring * 30.0;
        painter.drawEllipse(QPointF(kReferenceWidth - 60, kTitleHeight / 2.0), r, r);
    }

    DrawLogoMark(painter, QPointF(58, 48), 30);

    painter.setPen(Qt::white);
    painter.setFont(Font(40, true));
    painter.drawText(QRect(106, 8, 400, 56), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Quillon"));
    painter.setPen(QColor(0xA8, 0xDD, 0xD6));
    painter.setFont(Font(16, false));
    painter.drawText(QRect(108, 60, 400, 26), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Camera update"));

    painter.fillRect(QRect(0, kTitleHeight - 4, kReferenceWidth, 4), kTeal);
    return image;
}

void DrawUsbCable(QPainter& painter) {
    QPainterPath cable(QPointF(140, 226));
    cable.cubicTo(QPointF(140, 268), QPointF(200, 262), QPointF(kCameraWidth - 26, 262));
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(kBodyDark, 7, Qt::SolidLine, Qt::RoundCap));
    painter.drawPath(cable);

    // The plug at the end of the cable points towards the instructions.
    painter.setPen(Qt::NoPen);
    painter.setBrush(kBodyDark);
    painter.drawRoundedRect(QRectF(kCameraWidth - 34, 251, 22, 22), 3, 3);
    painter.setBrush(QColor(0xB8, 0xC0, 0xC8));
    painter.drawRect(QRectF(kCameraWidth - 12, 256, 12, 12));
}

QImage DrawCamera() {
    QImage image = NewCanvas(kCameraWidth, kRowHeight);
    QPainter painter(&image);
    BeginSmooth(painter);

    // Soft floor shadow.
    QRadialGradient shadow(QPointF(140, 232), 120);
    shadow.setColorAt(0.0, QColor(0, 0, 0, 45));
    shadow.setColorAt(1.0, QColor(0, 0, 0, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(shadow);
    painter.drawEllipse(QPointF(140, 232), 120, 12);

    DrawUsbCable(painter);

    // Viewfinder hump and shutter release sit on top of the body.
    painter.setBrush(kBodyDark);
    painter.drawRoundedRect(QRectF(92, 70, 76, 30), 8, 8);
    painter.setBrush(kTeal);
    painter.drawRoundedRect(QRectF(186, 76, 30, 14), 4, 4);

    QLinearGradient body(0, 92, 0, 226);
    body.setColorAt(0.0, kBodyLight);
    body.setColorAt(1.0, kBodyDark);
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(34, 88, 212, 138), 18, 18);

    // Grip texture on the left.
    painter.setBrush(QColor(0x2A, 0x30, 0x36));
    painter.drawRoundedRect(QRectF(34, 104, 26, 106), 10, 10);

    // Flash window.
    painter.setBrush(QColor(0xEE, 0xF2, 0xF5));
    painter.drawRoundedRect(QRectF(196, 102, 32, 18), 3, 3);

    // Lens: barrel, glass and a highlight.
    const QPointF lens(140, 158);
    painter.setBrush(QColor(0xC9, 0xD0, 0xD6));
    painter.drawEllipse(lens, 58, 58);
    painter.setBrush(QColor(0x1E, 0x23, 0x28));
    painter.drawEllipse(lens, 50, 50);
    QRadialGradient glass(lens + QPointF(-10, -10), 40);
    glass.setColorAt(0.0, QColor(0x3E, 0x7C, 0xA8));
    glass.setColorAt(0.7, QColor(0x1C, 0x3A, 0x57));
    glass.setColorAt(1.0, QColor(0x10, 0x1A, 0x25));
    painter.setBrush(glass);
    painter.drawEllipse(lens, 38, 38);
    painter.setBrush(QColor(0x0B, 0x10, 0x16));
    painter.drawEllipse(lens, 14, 14);
    painter.setBrush(QColor(255, 255, 255, 170));
    painter.drawEllipse(lens + QPointF(-16, -17), 8, 6);

    // A status lamp in the accent colour.
    painter.setBrush(kTeal);
    painter.drawEllipse(QPointF(222, 206), 5, 5);
    return image;
}

struct Instruction {
    int step;
    QColor accent;
    QString heading;
    QString body;
    QString note;
};

void DrawStepBadge(QPainter& painter, const Instruction& instruction) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(instruction.accent);
    painter.drawEllipse(QPointF(48, 50), 24, 24);
    painter.setPen(Qt::white);
    painter.setFont(Font(24, true));
    painter.drawText(QRectF(24, 26, 48, 48), Qt::AlignCenter, QString::number(instruction.step));
}

void DrawStepDots(QPainter& painter, const Instruction& instruction) {
    constexpr int kSteps = 3;
    for (int step = 1; step <= kSteps; ++step) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(step == instruction.step ? instruction.accent : QColor(0xD3, 0xDA, 0xE1));
        painter.drawEllipse(QPointF(kInstructionWidth - 90 + step * 18, 50), 5, 5);
    }
}

// The strip at the bottom of a panel: an icon and one short line that the
// user can take in at a glance.
void DrawNoteStrip(QPainter& painter, const Instruction& instruction) {
    const QRectF strip(24, 210, kInstructionWidth - 48, 62);
    QPainterPath outline;
    outline.addRoundedRect(strip, 10, 10);
    painter.setPen(Qt::NoPen);
    painter.fillPath(outline, kPanel);
    painter.save();
    painter.setClipPath(outline);
    painter.fillRect(QRectF(strip.left(), strip.top(), 6, strip.height()), instruction.accent);
    painter.restore();

    const QPointF icon(strip.left() + 40, strip.center().y());
    painter.setBrush(instruction.accent);
    painter.setPen(Qt::NoPen);
    switch (instruction.step) {
    case 1: {  // a USB plug on its cable
        painter.setPen(QPen(instruction.accent, 4, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(icon.x() - 24, icon.y()), QPointF(icon.x() - 12, icon.y()));
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(QRectF(icon.x() - 14, icon.y() - 10, 20, 20), 4, 4);
        painter.setBrush(QColor(0xB8, 0xC0, 0xC8));
        painter.drawRect(QRectF(icon.x() + 6, icon.y() - 7, 16, 14));
        painter.setBrush(kInk);
        painter.drawRect(QRectF(icon.x() + 10, icon.y() - 3, 3, 3));
        painter.drawRect(QRectF(icon.x() + 16, icon.y() - 3, 3, 3));
        break;
    }
    case 2: {  // a warning triangle
        QPainterPath triangle;
        triangle.moveTo(icon + QPointF(0, -18));
        triangle.lineTo(icon + QPointF(20, 16));
        triangle.lineTo(icon + QPointF(-20, 16));
        triangle.closeSubpath();
        painter.drawPath(triangle);
        painter.setPen(Qt::white);
        painter.setFont(Font(20, true));
        painter.drawText(QRectF(icon.x() - 10, icon.y() - 10, 20, 26), Qt::AlignCenter, QStringLiteral("!"));
        break;
    }
    default: {  // a tick in a circle
        painter.drawEllipse(icon, 18, 18);
        painter.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        QPainterPath tick(icon + QPointF(-9, 0));
        tick.lineTo(icon + QPointF(-3, 7));
        tick.lineTo(icon + QPointF(9, -7));
        painter.drawPath(tick);
        break;
    }
    }

    painter.setPen(kInk);
    painter.setFont(Font(16, true));
    painter.drawText(QRectF(strip.left() + 72, strip.top(), strip.width() - 84, strip.height()),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, instruction.note);
}

QImage DrawInstruction(const Instruction& instruction) {
    QImage image = NewCanvas(kInstructionWidth, kRowHeight);
    QPainter painter(&image);
    BeginSmooth(painter);

    DrawStepBadge(painter, instruction);
    DrawStepDots(painter, instruction);

    painter.setPen(kInk);
    painter.setFont(Font(25, true));
    painter.drawText(QRectF(86, 26, kInstructionWidth - 180, 48), Qt::AlignLeft | Qt::AlignVCenter,
                     instruction.heading);

    painter.setPen(kMuted);
    painter.setFont(Font(17, false));
    painter.drawText(QRectF(26, 96, kInstructionWidth - 52, 104), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                     instruction.body);

    DrawNoteStrip(painter, instruction);
    return image;
}

const Instruction kInstructions[] = {
    {1, kTeal, QStringLiteral("Connect the camera"),
     QStringLiteral("Connect the camera to this PC with its USB cable and switch it on. "
                    "Wait until the PC has found it, then press Start."),
     QStringLiteral("Use the USB cable that came with the camera.")},
    {2, kAmber, QStringLiteral("Copying the update"),
     QStringLiteral("The update is being copied to the camera. This takes a moment; "
                    "the bar below shows how far it has come."),
     QStringLiteral("Do not unplug the camera or switch it off now.")},
    {3, kGreen, QStringLiteral("Done"),
     QStringLiteral("The update is on the camera. Unplug the camera, then switch it "
                    "off and on again: it installs the update as it starts."),
     QStringLiteral("You can unplug the camera and restart it.")},
};

bool Save(const QImage& image, const QDir& folder, const QString& name, const char* format) {
    const QString path = folder.filePath(name + QLatin1Char('.') + QString::fromLatin1(format));
    if (image.convertToFormat(QImage::Format_RGB888).save(path, format))
        return true;
    std::fprintf(stderr, "make_pictures: cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: make_pictures OUTPUT_DIR [bmp|png]\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(folder.path())) {
        std::fprintf(stderr, "make_pictures: cannot create %s\n", argv[1]);
        return 1;
    }
    const char* format = argc == 3 ? argv[2] : "bmp";

    bool ok = Save(DrawTitle(), folder, QStringLiteral("title"), format);
    ok = Save(DrawCamera(), folder, QStringLiteral("cam"), format) && ok;
    for (const Instruction& instruction : kInstructions)
        ok = Save(DrawInstruction(instruction), folder, QStringLiteral("instruction%1").arg(instruction.step), format) && ok;
    return ok ? 0 : 1;
}
