#pragma once
#include <QObject>
#include <QString>

namespace moxi {

// "Start at login": an entry in the user's autostart folder
// (~/.config/autostart/moxiscope.desktop) that starts this program.
class Autostart : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)
  Q_PROPERTY(QString error READ error NOTIFY enabledChanged)

 public:
  explicit Autostart(QObject* parent = nullptr);

  static QString entryPath();
  // Whether the entry is there: the user may have removed it by hand.
  bool enabled() const;
  // Writes or removes the entry; on failure the state stays and error() says why.
  void setEnabled(bool enabled);
  QString error() const { return error_; }

 signals:
  void enabledChanged();

 private:
  QString error_;
};

}  // namespace moxi
