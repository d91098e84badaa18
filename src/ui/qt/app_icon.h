// The program's icon, drawn in code: a lens in the product's colours.
#pragma once

#include <QtGui/QIcon>
#include <QtGui/QPixmap>

QPixmap QuillonIconPixmap(int size);
QIcon QuillonIcon();
