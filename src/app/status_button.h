#pragma once
#include <QImage>
#include <QObject>
#include <QRect>
#include <QString>
#include <QTimer>
#include <memory>

class QSystemTrayIcon;

namespace moxi {

// Draws `image` scaled to fit inside maxWidth x maxHeight, keeping its aspect
// ratio, with smooth (high quality) interpolation.
QImage scaledImage(const QImage& image, double maxWidth, double maxHeight);

// The program's icon "favicon-32x32" at 16 x 16, decoded once; null when it
// is missing from the resources.
QImage appIcon();

// The tray icon, seen as a button that shows either an image or a title.
// Tray icons are square, so a title is drawn into the icon image (minutes
// over seconds) and also set as the tool tip.
class StatusButton : public QObject {
  Q_OBJECT
 public:
  explicit StatusButton(QObject* parent = nullptr);
  ~StatusButton() override;

  bool trayAvailable() const;
  void show();

  void setImage(const QImage& image);
  void clearImage() { setImage(QImage()); }
  bool hasImage() const { return !image_.isNull(); }
  void setTitle(const QString& title);
  QString title() const { return title_; }
  // The icon's rectangle on the screen, or an empty rectangle when the tray
  // does not tell it.
  QRect geometry() const;
  // What the tray shows now.
  QImage renderedIcon() const;

  // True when the tray shows the icon in a window of this program (X11
  // trays of the XEmbed kind), so that pointerEntered() is told; a tray that
  // draws the icon itself (StatusNotifierItem) tells nothing of the pointer.
  bool tellsPointerEntered() const;

  // Two lines for a square icon: "12:34" -> "12" over "34"; "1:02:03" -> "1:02" over "03".
  static std::pair<QString, QString> iconLines(const QString& title);

 signals:
  void clicked();
  // The tray that showed the icon went away (Qt docks it again in a new one).
  void trayLost();
  // The pointer came over the icon.
  void pointerEntered();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void refresh();

  std::unique_ptr<QSystemTrayIcon> tray_;
  QTimer trayWatch_;
  bool trayWasAvailable_ = false;
  QImage image_;
  QString title_;
};

}  // namespace moxi
