// A label that is a link: link colours, an underline under the pointer, a hand cursor, a
// tool tip with its target, and a click that opens the target with the desktop's browser.
#pragma once

#include <QColor>
#include <QLabel>
#include <QRect>
#include <QTimer>

class CHyperLink : public QLabel {
  Q_OBJECT

 public:
  static constexpr int kTipDelayMs = 1200;
  static constexpr int kTipVisibleMs = 1600;
  static constexpr int kLeaveGraceMs = 300;
  /// The link's character cell, in pixels (QFontMetrics::height of its font).
  static constexpr int kCellHeight = 14;

  /// Arial, or what the system gives for it, sized to a cell of kCellHeight pixels.
  static QFont LinkFont();

  explicit CHyperLink(QWidget* parent = nullptr);

  /// The link's target, also shown as its tool tip.
  void SetURL(const QString& url);
  QString URL() const { return m_url; }
  /// Opens the target with the desktop's browser: 0, or -1 when no target is set.
  int OpenURL();
  /// Sets the text and resizes the link to it: text width + 6 by text height + 3.
  void setText(const QString& text);

  /// Back to the normal look: no hover, no press, no tool tip pending.
  void ResetLook();
  bool IsHover() const { return m_bHover; }
  bool IsPressed() const { return m_bPressed; }

  const QColor m_crNormal{0, 0, 255};
  const QColor m_crHover{255, 0, 0};
  const QColor m_crPressed{200, 0, 225};

 signals:
  /// A click released over the link (whether or not a target is set).
  void clicked();
  /// The second press of a double click.
  void doubleClicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void Press();
  void ShowTip();
  void OnLeaveGraceOver();
  bool PointerOverLinkOrTip() const;

  QString m_url;
  bool m_bHover = false;
  bool m_bPressed = false;
  QRect m_rcPress;
  QTimer m_tipTimer;
  QTimer m_leaveTimer;
};
