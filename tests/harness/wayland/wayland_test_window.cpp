// A native Wayland client for the Wayland test session: a window of a known
// title and size, painted one solid colour with a vertical stripe of another
// that moves every frame, so a recording of it can be told apart from any
// other surface and shows whether frames keep coming.
//
//   wayland_test_window [--title T] [--size WxH] [--colour RRGGBB]
//                       [--stripe RRGGBB] [--fps N] [--still]
//
// Prints "ready WxH" once the compositor has shown the first frame.
#include <QApplication>
#include <algorithm>
#include <QCommandLineParser>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <cstdio>

namespace {

class StripeWindow : public QWidget {
 public:
  StripeWindow(QColor background, QColor stripe, int fps, bool still)
      : background_(background), stripe_(stripe) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    if (!still) {
      timer_.setTimerType(Qt::PreciseTimer);
      connect(&timer_, &QTimer::timeout, this, [this] {
        offset_ = (offset_ + 8) % std::max(1, width());
        update();
      });
      timer_.start(1000 / std::max(1, fps));
    }
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), background_);
    p.fillRect(offset_, 0, stripeWidth, height(), stripe_);
    if (!announced_) {
      announced_ = true;
      // The first paint is committed with this frame; the compositor shows it
      // with the next one.
      QTimer::singleShot(100, this, [this] {
        std::printf("ready %dx%d\n", width(), height());
        std::fflush(stdout);
      });
    }
  }

 private:
  static constexpr int stripeWidth = 40;
  QColor background_, stripe_;
  QTimer timer_;
  int offset_ = 0;
  bool announced_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  // Client-side decorations would make the surface larger than asked.
  qputenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "wayland");
  QApplication app(argc, argv);
  QCommandLineParser args;
  args.addHelpOption();
  args.addOption({"title", "Window title.", "title", "Moxiscope Wayland test window"});
  args.addOption({"size", "Size, WxH.", "size", "640x480"});
  args.addOption({"colour", "Background, RRGGBB.", "rgb", "2060c0"});
  args.addOption({"stripe", "Stripe, RRGGBB.", "rgb", "f0f020"});
  args.addOption({"fps", "Frames a second.", "n", "30"});
  args.addOption({"still", "Draw once and never again."});
  args.process(app);

  const QStringList size = args.value("size").split('x');
  const int w = size.value(0).toInt(), h = size.value(1).toInt();
  const QColor background("#" + args.value("colour")), stripe("#" + args.value("stripe"));
  if (w <= 0 || h <= 0 || !background.isValid() || !stripe.isValid()) {
    std::fprintf(stderr, "wayland_test_window: bad --size or colour\n");
    return 2;
  }
  StripeWindow window(background, stripe, args.value("fps").toInt(), args.isSet("still"));
  window.setWindowTitle(args.value("title"));
  window.setFixedSize(w, h);
  window.show();
  return app.exec();
}
