#include "hyperlink.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <QUrl>

CHyperLink::CHyperLink(QWidget* parent) : QLabel(parent) {
  setFont(LinkFont());
  setCursor(Qt::PointingHandCursor);
  setMouseTracking(true);
  m_tipTimer.setSingleShot(true);
  m_tipTimer.setInterval(kTipDelayMs);
  connect(&m_tipTimer, &QTimer::timeout, this, &CHyperLink::ShowTip);
  m_leaveTimer.setSingleShot(true);
  m_leaveTimer.setInterval(kLeaveGraceMs);
  connect(&m_leaveTimer, &QTimer::timeout, this, &CHyperLink::OnLeaveGraceOver);
}

QFont CHyperLink::LinkFont() {
  // Arial, or the system's stand-in for it, at the largest size whose character cell is
  // kCellHeight pixels high (or the nearest below, where no size gives exactly that).
  QFont font("Arial");
  font.setWeight(QFont::Normal);
  font.setStyleStrategy(QFont::PreferAntialias);
  for (int pixels = kCellHeight; pixels > 1; --pixels) {
    font.setPixelSize(pixels);
    if (QFontMetrics(font).height() <= kCellHeight) break;
  }
  return font;
}

void CHyperLink::ResetLook() {
  m_tipTimer.stop();
  m_leaveTimer.stop();
  m_bHover = false;
  m_bPressed = false;
  update();
}

void CHyperLink::SetURL(const QString& url) { m_url = url; }

int CHyperLink::OpenURL() {
  if (m_url.isEmpty()) return -1;
  QDesktopServices::openUrl(QUrl(m_url));
  return 0;
}

void CHyperLink::setText(const QString& text) {
  QLabel::setText(text);
  const QFontMetrics metrics(font());
  setFixedSize(metrics.horizontalAdvance(text) + 6, metrics.height() + 3);
}

void CHyperLink::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().color(QPalette::Window));
  QColor text = m_crNormal;
  QColor underline = palette().color(QPalette::Window);
  if (m_bHover) text = underline = m_bPressed ? m_crPressed : m_crHover;
  const QFontMetrics metrics(font());
  const QString line = QLabel::text().section('\n', 0, 0);
  const int width = metrics.horizontalAdvance(line);
  const int height = metrics.height();
  painter.setFont(font());
  painter.setPen(text);
  painter.drawText(1, metrics.ascent(), line);
  painter.setPen(QPen(underline, 1));
  painter.drawLine(1, height, width, height);
}

void CHyperLink::enterEvent(QEnterEvent*) {
  m_leaveTimer.stop();
  if (!m_url.isEmpty()) m_tipTimer.start();
}

void CHyperLink::mouseMoveEvent(QMouseEvent* event) {
  if (m_bHover) return;
  m_bHover = true;
  m_bPressed = event->buttons() & Qt::LeftButton;
  update();
}

void CHyperLink::leaveEvent(QEvent*) {
  m_tipTimer.stop();
  QToolTip::hideText();
  m_bHover = false;
  // Our own tool tip may pop up under the pointer: keep the hover look until it is gone.
  if (PointerOverLinkOrTip()) {
    m_bHover = true;
    m_leaveTimer.start();
    return;
  }
  update();
}

void CHyperLink::OnLeaveGraceOver() {
  if (m_bPressed || PointerOverLinkOrTip()) return;
  m_bHover = false;
  update();
}

bool CHyperLink::PointerOverLinkOrTip() const {
  const QPoint pointer = QCursor::pos();
  if (!QRect(mapToGlobal(QPoint(0, 0)), size()).contains(pointer)) return false;
  const QWidget* under = QApplication::widgetAt(pointer);
  return under == this || (under && under->inherits("QTipLabel"));
}

void CHyperLink::ShowTip() {
  QToolTip::showText(QCursor::pos(), m_url, this, rect(), kTipVisibleMs);
}

void CHyperLink::Press() {
  m_bPressed = true;
  update();
  m_rcPress = QRect(mapToGlobal(QPoint(0, 0)), size());
}

void CHyperLink::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) Press();
}

void CHyperLink::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  emit doubleClicked();
  Press();
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  m_bPressed = false;
  // Edges count as inside, on all four sides.
  const QPoint at = event->globalPosition().toPoint();
  m_bHover = at.x() >= m_rcPress.left() && at.x() <= m_rcPress.left() + m_rcPress.width() &&
             at.y() >= m_rcPress.top() && at.y() <= m_rcPress.top() + m_rcPress.height();
  update();
  if (!m_bHover) return;
  OpenURL();
  emit clicked();
}
