// The program's pictures, painted in code: the side picture, the About picture, the icon.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace brannock {

QPixmap SidePicture(QSize size);
QPixmap AboutPicture(QSize size);
QIcon ProgramIcon();

}  // namespace brannock
