#include "ui/qt/about_dlg.h"

#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>

#include "ui/qt/app_icon.h"

namespace {
constexpr int kAboutIconSize = 48;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Quillon"));
    setObjectName(QStringLiteral("AboutDialog"));

    auto* icon = new QLabel(this);
    icon->setPixmap(QuillonIconPixmap(kAboutIconSize));
    auto* name = new QLabel(QStringLiteral("Quillon, Version 1.0"), this);
    name->setObjectName(QStringLiteral("AboutVersion"));
    auto* purpose = new QLabel(QStringLiteral("Copies camera updates over USB."), this);
    purpose->setObjectName(QStringLiteral("AboutPurpose"));
    auto* keys = new QLabel(QStringLiteral("Press F1 at any time to open this box."), this);
    keys->setObjectName(QStringLiteral("AboutKeys"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* grid = new QGridLayout(this);
    grid->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(name, 0, 1);
    grid->addWidget(purpose, 1, 1);
    grid->addWidget(keys, 2, 1);
    grid->addWidget(buttons, 3, 0, 1, 2);
    grid->setHorizontalSpacing(16);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}
