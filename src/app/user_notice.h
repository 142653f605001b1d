#pragma once
#include <QString>
#include <QUrl>

namespace moxi {

// Something the user should hear about although no window of the program
// is open: a saved movie, or a failure they did not cause.
struct UserNotice {
  enum class Kind { saved, failure };
  Kind kind = Kind::failure;
  QString summary;
  QString body;
  QUrl file;  // opened by the notice's "Open" action; none when empty
};

}  // namespace moxi
