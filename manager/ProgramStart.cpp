#include "ProgramStart.h"

#include <QCoreApplication>
#include <unistd.h>
#include <windows.h>

#include <cstdio>

#include "CommandLine.h"
#include "SingleInstance.h"
#include "Translate.h"
#include "ctl/ramctl.h"

namespace Ramdeck {

namespace {

const char16_t kDisplayName[] = u"Brimwell Corvane";
const char16_t kMutexName[] = u"BWCorvane";
const char16_t kGlobalMutexName[] = u"Global\\BWCorvane";

void Report(const TStartOptions &options, const QString &text) {
  if (options.ReportError)
    options.ReportError(text);
  else
    fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// Installs or removes the engine; the exit code is the control library's
// error code (1 when it gives none) on failure.
int InstallOrUninstall(bool install, const TStartOptions &options) {
  QString folder = options.ProgramFolder.isEmpty() ? ProgramFolder() : options.ProgramFolder;
  std::u16string engine = WindowsPathOf(folder + QStringLiteral("/ramvol.sys"));
  std::u16string inf = WindowsPathOf(folder + QStringLiteral("/ramenum.inf"));
  uint8_t rebootNeeded = 0;  // the manager does not act on it
  bool ok =
      install ? RamctlInstallEngine(kDisplayName, 1, engine.c_str(), inf.c_str(), 1, &rebootNeeded)
              : RamctlUninstallEngine(engine.c_str(), inf.c_str());
  if (ok) return 0;
  uint32_t code = RamctlGetErrorCode();
  QString text = options.SystemErrorText ? options.SystemErrorText(code) : QString::number(code);
  QString message = Tr(QStringLiteral("Unable to install/uninstall disk driver: %8x %s"));
  message.replace(QStringLiteral("%8x"), QString::asprintf("%8x", code));
  message.replace(QStringLiteral("%s"), text.trimmed());
  Report(options, message);
  // An exit status keeps eight bits; a failure must never read as 0.
  return (code & 0xFF) ? static_cast<int>(code & 0xFF) : 1;
}

// The mutexes installers look for; anyone may open them. Never closed:
// they go with the process.
void CreateMarkerMutexes() {
  static SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  CreateMutexW(&attributes, FALSE, kMutexName);
  CreateMutexW(&attributes, FALSE, kGlobalMutexName);
}

}  // namespace

QString ProgramFolder() {
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  QString path = length > 0 ? QString::fromLocal8Bit(self, length) : QStringLiteral(".");
  return path.left(path.lastIndexOf(u'/'));
}

std::u16string WindowsPathOf(const QString &hostPath) {
  QString windows = QStringLiteral("Z:") + hostPath;
  windows.replace(u'/', u'\\');
  return windows.toStdU16String();
}

TStartResult StartProgram(const QStringList &arguments, const TStartOptions &options) {
  TStartResult result;
  if (HasSwitch(arguments, QStringLiteral("install"))) {
    result.ExitCode = InstallOrUninstall(true, options);
    return result;
  }
  if (HasSwitch(arguments, QStringLiteral("uninstall"))) {
    result.ExitCode = InstallOrUninstall(false, options);
    return result;
  }
  result.Hidden = HasSwitch(arguments, QStringLiteral("hide"));
  if (result.Hidden && options.NoAutoLoad && options.NoAutoLoad()) return result;
  bool delivered = arguments.size() <= 1
                       ? SendToRunningManager(kCopyDataActivate, {})
                       : SendToRunningManager(kCopyDataCommandLine,
                                              CommandLinePayload(JoinCommandLine(arguments)));
  if (delivered) return result;
  CreateMarkerMutexes();
  result.Run = true;
  return result;
}

void ServeLaterStarts(TSingleInstanceServer &server, TManagerHost &host) {
  QObject::connect(&server, &TSingleInstanceServer::MessageReceived, [&host](quint32 id, const QString &text) {
    if (id == kCopyDataCommandLine)
      host.CommandLineReceived(text);
    else
      host.ActivateRequested();
  });
}

int RunManager(int argc, char **argv, const TStartOptions &options,
               const std::function<std::unique_ptr<TManagerHost>()> &makeHost) {
  std::unique_ptr<QCoreApplication> app = options.MakeApplication
                                              ? options.MakeApplication(argc, argv)
                                              : std::make_unique<QCoreApplication>(argc, argv);
  app->setApplicationName(QString::fromUtf16(kDisplayName));
  QStringList arguments = app->arguments();
  TStartResult start = StartProgram(arguments, options);
  if (!start.Run) return start.ExitCode;
  std::unique_ptr<TManagerHost> host = makeHost();
  TSingleInstanceServer server;
  ServeLaterStarts(server, *host);
  if (!server.Listen())
    fprintf(stderr, "Ramdeck: later starts cannot reach this manager (channel %s)\n",
            qPrintable(SingleInstanceChannelName()));
  host->Started(JoinCommandLine(arguments), start.Hidden);
  int code = app->exec();
  // The host (the window) goes before the application object.
  host.reset();
  return code;
}

}  // namespace Ramdeck
