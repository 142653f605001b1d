#include <QApplication>
#include <QTimer>

#include "app/app_delegate.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Moxiscope"));
  QApplication::setApplicationName(QStringLiteral("Moxiscope"));
  QApplication::setQuitOnLastWindowClosed(false);  // a tray program lives on without windows
  Q_INIT_RESOURCE(app);
  Q_INIT_RESOURCE(ui);

  moxi::AppDelegate delegate;
  QTimer::singleShot(0, &delegate, &moxi::AppDelegate::applicationDidFinishLaunching);
  return app.exec();
}
