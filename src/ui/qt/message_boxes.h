// Every message box of the desktop program goes through this interface, so a
// test can answer the boxes instead of a user.
#pragma once

#include <QtCore/QString>

class QWidget;

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // An OK box with the exclamation icon; returns when it is closed.
    virtual void Inform(QWidget* parent, const QString& text) = 0;
    // A Yes/No box whose default button is No; true when the answer is Yes.
    virtual bool AskYesNo(QWidget* parent, const QString& text) = 0;
};

// The real boxes, captioned with the application's name.
class WindowMessageBoxes : public MessageBoxes {
public:
    void Inform(QWidget* parent, const QString& text) override;
    bool AskYesNo(QWidget* parent, const QString& text) override;
};
