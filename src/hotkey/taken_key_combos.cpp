#include "hotkey/taken_key_combos.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QSet>
#include <QXmlStreamReader>

#include "common/log.h"
#include "hotkey/hot_key.h"
#include "hotkey/x11_keysyms.h"

namespace moxi::hotkey {

std::optional<KeyCombo> openboxKeyCombo(const QString& binding) {
  // A chain ("C-a b") is grabbed by its first combination.
  const QString first = binding.trimmed().section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
  const QStringList parts = first.split(QLatin1Char('-'));
  if (parts.isEmpty() || parts.last().isEmpty()) return std::nullopt;
  ModifierFlags modifiers;
  for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
    const QString m = parts[i].toLower();
    if (m == u"s" || m == u"shift") modifiers.insert(ModifierFlags::shift);
    else if (m == u"c" || m == u"control") modifiers.insert(ModifierFlags::command);
    else if (m == u"a" || m == u"alt" || m == u"mod1") modifiers.insert(ModifierFlags::option);
    else if (m == u"w" || m == u"super" || m == u"mod4") modifiers.insert(ModifierFlags::control);
    else return std::nullopt;  // Meta, Hyper, Mod2/3/5: no counterpart here
  }
  const std::optional<Key> key = keyForKeysymName(parts.last());
  if (!key) return std::nullopt;
  return KeyCombo(*key, modifiers);
}

std::vector<KeyCombo> openboxKeyCombos(QIODevice& rcXml) {
  std::vector<KeyCombo> combos;
  QXmlStreamReader xml(&rcXml);
  QStringList path;  // names of the open elements
  while (!xml.atEnd()) {
    const auto token = xml.readNext();
    if (token == QXmlStreamReader::StartElement) {
      // Only bindings directly under <keyboard> are grabbed; nested ones
      // continue a chain.
      if (xml.name() == u"keybind" && !path.isEmpty() && path.last() == u"keyboard") {
        if (auto combo = openboxKeyCombo(xml.attributes().value(QLatin1String("key")).toString())) combos.push_back(*combo);
      }
      path.append(xml.name().toString());
    } else if (token == QXmlStreamReader::EndElement) {
      if (!path.isEmpty()) path.removeLast();
    }
  }
  if (xml.hasError())
    logLine("openbox key bindings unreadable: " + xml.errorString().toStdString());
  return combos;
}

QString openboxConfigPath() {
  QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (configHome.isEmpty()) configHome = QDir::homePath() + QStringLiteral("/.config");
  QStringList candidates{configHome};
  QString configDirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
  if (configDirs.isEmpty()) configDirs = QStringLiteral("/etc/xdg");
  candidates += configDirs.split(QLatin1Char(':'), Qt::SkipEmptyParts);
  for (const QString& dir : candidates) {
    const QString path = dir + QStringLiteral("/openbox/rc.xml");
    if (QFileInfo(path).isFile()) return path;
  }
  return {};
}

QString keyEquivalentText(Qt::Key key) {
  if (key >= Qt::Key_F1 && key <= Qt::Key_F20) return QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
  switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return QStringLiteral("\r");
    case Qt::Key_Tab: return QStringLiteral("\t");
    case Qt::Key_Space: return QStringLiteral(" ");
    case Qt::Key_Backspace: return QStringLiteral("\u232B");
    case Qt::Key_Delete: return QStringLiteral("\u2326");
    case Qt::Key_Escape: return QStringLiteral("\u238B");
    case Qt::Key_Clear: return QStringLiteral("\u2327");
    case Qt::Key_Home: return QStringLiteral("\u2196");
    case Qt::Key_End: return QStringLiteral("\u2198");
    case Qt::Key_PageUp: return QStringLiteral("\u21DE");
    case Qt::Key_PageDown: return QStringLiteral("\u21DF");
    case Qt::Key_Left: return QStringLiteral("\u2190");
    case Qt::Key_Right: return QStringLiteral("\u2192");
    case Qt::Key_Up: return QStringLiteral("\u2191");
    case Qt::Key_Down: return QStringLiteral("\u2193");
    case Qt::Key_Help: return QStringLiteral("?\u20DD");
    case Qt::Key_CapsLock: return QStringLiteral("\u21EA");
    case Qt::Key_VolumeUp: return QString::fromUtf8("\U0001F50A");
    case Qt::Key_VolumeDown: return QString::fromUtf8("\U0001F509");
    case Qt::Key_VolumeMute: return QString::fromUtf8("\U0001F507");
    default: break;
  }
  // Below Qt's special keys the key is its character ('A', ',', '1').
  if (key > 0 && key < Qt::Key_Escape) {
    const char32_t c = static_cast<char32_t>(key);
    return QString::fromUcs4(&c, 1);
  }
  return {};
}

ModifierFlags modifierFlags(Qt::KeyboardModifiers modifiers) {
  ModifierFlags flags;
  if (modifiers & Qt::ControlModifier) flags.insert(ModifierFlags::command);
  if (modifiers & Qt::MetaModifier) flags.insert(ModifierFlags::control);
  if (modifiers & Qt::AltModifier) flags.insert(ModifierFlags::option);
  if (modifiers & Qt::ShiftModifier) flags.insert(ModifierFlags::shift);
  return flags;
}

namespace {

// Depth first, items in menu order: an item's own combination, then its
// submenu's. `open` holds the menus on the current path against cycles.
void walkMenu(const QList<QAction*>& items, std::vector<KeyCombo>& combos, QSet<const QMenu*>& open) {
  for (const QAction* item : items) {
    const QKeySequence shortcut = item->shortcut();
    if (!shortcut.isEmpty()) {
      const QKeyCombination equivalent = shortcut[0];
      if (auto key = keyFromString(keyEquivalentText(equivalent.key())))
        combos.emplace_back(*key, modifierFlags(equivalent.keyboardModifiers()));
    }
    if (const QMenu* submenu = item->menu(); submenu && !open.contains(submenu)) {
      open.insert(submenu);
      walkMenu(submenu->actions(), combos, open);
      open.remove(submenu);
    }
  }
}

}  // namespace

std::vector<KeyCombo> HotKeysController::symbolicHotKeyCombos() {
  const QString path = openboxConfigPath();
  if (path.isEmpty()) return {};
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return openboxKeyCombos(file);
}

std::vector<KeyCombo> HotKeysController::mainMenuKeyCombos(const QMenuBar* menuBar) {
  std::vector<KeyCombo> combos;
  if (!menuBar) return combos;
  QSet<const QMenu*> open;
  walkMenu(menuBar->actions(), combos, open);
  return combos;
}

std::vector<KeyCombo> HotKeysController::mainMenuKeyCombos(const QMenu* menu) {
  std::vector<KeyCombo> combos;
  if (!menu) return combos;
  QSet<const QMenu*> open{menu};
  walkMenu(menu->actions(), combos, open);
  return combos;
}

std::vector<KeyCombo> HotKeysController::standardMenuKeyCombos() {
  using M = ModifierFlags;
  const M cmd = M::command, opt = M::option, sft = M::shift, ctl = M::control;
  return {
      {Key::comma, cmd},         {Key::h, cmd},
      {Key::h, opt | cmd},       {Key::q, cmd},
      {Key::n, cmd},             {Key::o, cmd},
      {Key::w, cmd},             {Key::s, cmd},
      {Key::s, sft | cmd},       {Key::r, cmd},
      {Key::p, sft | cmd},       {Key::p, cmd},
      {Key::z, cmd},             {Key::z, sft | cmd},
      {Key::x, cmd},             {Key::c, cmd},
      {Key::v, cmd},             {Key::v, opt | sft | cmd},
      {Key::a, cmd},             {Key::f, cmd},
      {Key::f, opt | cmd},       {Key::g, cmd},
      {Key::g, sft | cmd},       {Key::e, cmd},
      {Key::j, cmd},             {Key::semicolon, sft | cmd},
      {Key::semicolon, cmd},     {Key::t, cmd},
      {Key::b, cmd},             {Key::i, cmd},
      {Key::u, cmd},             {Key::equal, sft | cmd},
      {Key::minus, cmd},         {Key::c, sft | cmd},
      {Key::c, opt | cmd},       {Key::v, opt | cmd},
      {Key::leftBracket, sft | cmd}, {Key::backslash, sft | cmd},
      {Key::rightBracket, sft | cmd}, {Key::c, ctl | cmd},
      {Key::v, ctl | cmd},       {Key::t, opt | cmd},
      {Key::s, ctl | cmd},       {Key::f, ctl | cmd},
      {Key::m, cmd},             {Key::slash, sft | cmd},
  };
}

}  // namespace moxi::hotkey
