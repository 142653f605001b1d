#pragma once
// Handing the exported movie to the user: the clipboard and the desktop's
// default application. Main thread only (Qt GUI objects).
#include <QUrl>

namespace moxi {

// Replaces the clipboard with `fileUrl` as text/uri-list, as
// x-special/gnome-copied-files ("copy\n" + URL, what file managers paste)
// and as text/plain. True when this program then owns the clipboard. The
// entry lives as long as the program does (there is usually no clipboard
// manager to take it over), and is served by the Qt event loop.
bool copyFileURLToClipboard(const QUrl& fileUrl);

// Opens `url` with the desktop's default application (through xdg-open on
// most desktops). False, after one log line, when no launcher could start.
bool openWithDefaultApplication(const QUrl& url);

}  // namespace moxi
