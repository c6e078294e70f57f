#include "artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace brannock {

namespace {

// A sheet of paper with a folded corner and a picture on it.
void PaintPage(QPainter& painter, QRectF page) {
  const qreal fold = page.width() * 0.28;
  QPainterPath sheet;
  sheet.moveTo(page.topLeft());
  sheet.lineTo(page.right() - fold, page.top());
  sheet.lineTo(page.right(), page.top() + fold);
  sheet.lineTo(page.bottomRight());
  sheet.lineTo(page.bottomLeft());
  sheet.closeSubpath();
  painter.setPen(QPen(QColor(40, 60, 90), 1.5));
  painter.setBrush(Qt::white);
  painter.drawPath(sheet);
  painter.setBrush(QColor(210, 220, 235));
  painter.drawPolygon(QPolygonF({QPointF(page.right() - fold, page.top()),
                                 QPointF(page.right() - fold, page.top() + fold),
                                 QPointF(page.right(), page.top() + fold)}));
  const QRectF photo(page.left() + page.width() * 0.15, page.top() + page.height() * 0.35,
                     page.width() * 0.7, page.height() * 0.45);
  QLinearGradient sky(photo.topLeft(), photo.bottomLeft());
  sky.setColorAt(0, QColor(90, 160, 230));
  sky.setColorAt(1, QColor(200, 230, 255));
  painter.setPen(Qt::NoPen);
  painter.setBrush(sky);
  painter.drawRect(photo);
  painter.setBrush(QColor(60, 140, 70));
  painter.drawPolygon(QPolygonF({photo.bottomLeft(),
                                 QPointF(photo.left() + photo.width() * 0.4, photo.center().y()),
                                 QPointF(photo.left() + photo.width() * 0.7, photo.bottom() - 4),
                                 QPointF(photo.right() - photo.width() * 0.1,
                                         photo.top() + photo.height() * 0.4),
                                 photo.bottomRight()}));
  painter.setBrush(QColor(250, 200, 60));
  painter.drawEllipse(QPointF(photo.left() + photo.width() * 0.25, photo.top() + photo.height() * 0.3),
                      photo.width() * 0.08, photo.width() * 0.08);
}

QPixmap Backdrop(QSize size) {
  QPixmap pixmap(size);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient gradient(0, 0, 0, size.height());
  gradient.setColorAt(0, QColor(30, 70, 130));
  gradient.setColorAt(1, QColor(120, 170, 220));
  painter.fillRect(pixmap.rect(), gradient);
  const qreal width = std::min(size.width() * 0.7, size.height() * 0.84 / 1.35);
  PaintPage(painter, QRectF((size.width() - width) / 2, size.height() * 0.08, width, width * 1.35));
  return pixmap;
}

}  // namespace

QPixmap SidePicture(QSize size) { return Backdrop(size); }

QPixmap AboutPicture(QSize size) { return Backdrop(size); }

QIcon ProgramIcon() {
  QIcon icon;
  for (int side : {16, 32, 48, 64}) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    PaintPage(painter, QRectF(side * 0.15, side * 0.05, side * 0.7, side * 0.9));
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace brannock
