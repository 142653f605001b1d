#include "app/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace moxi {

namespace {
constexpr std::pair<InstanceRequest, const char*> kNames[] = {
    {InstanceRequest::open, "open"},
    {InstanceRequest::toggle, "toggle"},
    {InstanceRequest::stop, "stop"},
    {InstanceRequest::quit, "quit"},
};
}  // namespace

QString requestName(InstanceRequest request) {
  for (const auto& [r, name] : kNames)
    if (r == request) return QString::fromLatin1(name);
  return {};
}

std::optional<InstanceRequest> requestFromName(const QString& name) {
  for (const auto& [r, n] : kNames)
    if (name == QLatin1String(n)) return r;
  return std::nullopt;
}

CommandLine parseCommandLine(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Records one application window to a video while it logs the mouse pointer.\n"
                     "Without options it starts in the system tray, or opens the popover of the running one."));
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption toggle(QStringLiteral("toggle"),
                                  QStringLiteral("Record the window under the pointer, or stop the recording "
                                                 "(as Ctrl+F1). Starts Moxiscope when it is not running."));
  const QCommandLineOption stop(QStringLiteral("stop"), QStringLiteral("Stop the running recording."));
  const QCommandLineOption quit(QStringLiteral("quit"),
                                QStringLiteral("Finish a running recording, then quit Moxiscope."));
  parser.addOptions({toggle, stop, quit});

  CommandLine result;
  auto fail = [&](const QString& message) {
    result.exitCode = 2;
    result.toStandardError = true;
    result.output = QStringLiteral("moxiscope: %1\nTry 'moxiscope --help' for more information.\n").arg(message);
    return result;
  };
  if (!parser.parse(arguments)) return fail(parser.errorText());
  if (!parser.positionalArguments().isEmpty())
    return fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
  if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
    result.exitCode = 0;
    result.output = parser.helpText();
    return result;
  }
  if (parser.isSet(version)) {
    result.exitCode = 0;
    result.output = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName().toLower(),
                                                  QCoreApplication::applicationVersion());
    return result;
  }
  const int actions = parser.isSet(toggle) + parser.isSet(stop) + parser.isSet(quit);
  if (actions > 1) return fail(QStringLiteral("--toggle, --stop and --quit exclude each other"));
  if (parser.isSet(toggle)) result.request = InstanceRequest::toggle;
  if (parser.isSet(stop)) result.request = InstanceRequest::stop;
  if (parser.isSet(quit)) result.request = InstanceRequest::quit;
  return result;
}

}  // namespace moxi
