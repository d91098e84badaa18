#include "ui/qt/message_boxes.h"

#include <QtWidgets/QMessageBox>

namespace {
const QString kCaption = QStringLiteral("Quillon");
}

void WindowMessageBoxes::Inform(QWidget* parent, const QString& text) {
    QMessageBox::warning(parent, kCaption, text, QMessageBox::Ok, QMessageBox::Ok);
}

bool WindowMessageBoxes::AskYesNo(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, kCaption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}
