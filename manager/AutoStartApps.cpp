#include "AutoStartApps.h"

#include "SystemErrorText.h"
#include "Volumes.h"
#include "Translate.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

namespace Ramdeck {

namespace {

LPCWSTR W(const QString &text) { return reinterpret_cast<LPCWSTR>(text.utf16()); }

QString WithoutQuotes(QString text) {
  text = text.trimmed();
  if (text.size() >= 2 && text.front() == u'"' && text.back() == u'"') text = text.mid(1, text.size() - 2);
  return text.remove(u'"');
}

}  // namespace

TAppCommand SplitAppCommandLine(const QString &commandLine) {
  bool quoted = false;
  for (qsizetype i = 0; i < commandLine.size(); ++i) {
    if (commandLine[i] == u'"') quoted = !quoted;
    if (commandLine[i] == u' ' && !quoted) return {commandLine.left(i), commandLine.mid(i + 1)};
  }
  return {commandLine, QString()};
}

QString AppListEntry(const QString &programPath) {
  return programPath.contains(u' ') ? u'"' + programPath + u'"' : programPath;
}

QString AppIconProgram(const QString &entry, const std::function<bool(const QString &)> &fileExists) {
  QString text = WithoutQuotes(ExpandEnvironment(WithoutQuotes(entry)));
  while (!text.isEmpty() && !fileExists(text)) {
    qsizetype space = text.lastIndexOf(u' ');
    if (space < 0) return {};
    text = WithoutQuotes(text.left(space));
  }
  return text;
}

bool TAutoStartingApps::Start(const QString &entry) {
  TAppCommand command = SplitAppCommandLine(ExpandEnvironment(entry));
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_WAITFORINPUTIDLE;
  info.lpFile = W(command.Program);
  info.lpParameters = command.Parameters.isEmpty() ? nullptr : W(command.Parameters);
  info.nShow = SW_SHOWDEFAULT;
  return ShellExecuteExW(&info) != FALSE;
}

int TAutoStartingApps::StartAll(const std::function<void(const QString &)> &onError) const {
  int started = 0;
  for (const QString &entry : Items) {
    if (Start(entry)) {
      ++started;
      continue;
    }
    QString text = SystemErrorText(GetLastError());
    if (onError) onError(Tr(QStringLiteral("Application")) + QStringLiteral(": ") + text);
  }
  return started;
}

}  // namespace Ramdeck
