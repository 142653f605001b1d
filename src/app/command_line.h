#pragma once
#include <QString>
#include <QStringList>
#include <optional>

namespace moxi {

// What a launch asks the running instance (or the one it starts) to do.
enum class InstanceRequest { open, toggle, stop, quit };

// Request names as they travel over the instance socket.
QString requestName(InstanceRequest request);
std::optional<InstanceRequest> requestFromName(const QString& name);

struct CommandLine {
  InstanceRequest request = InstanceRequest::open;
  // Set when the launch ends here (help, version, a bad option): what to
  // print, where, and the exit code.
  std::optional<int> exitCode;
  QString output;
  bool toStandardError = false;
};

// Parses the program's arguments (the first is the program itself). Needs
// the application's name and version set.
CommandLine parseCommandLine(const QStringList& arguments);

}  // namespace moxi
