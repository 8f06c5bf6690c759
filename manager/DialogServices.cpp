#include "DialogServices.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>
#include <memory>
#include <windows.h>

#include "Translate.h"
#include "Volumes.h"

namespace Ramdeck {

namespace {

std::optional<uint64_t> OpenedFileSize(const QString &fileName) {
  std::u16string name = Wide(fileName);
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  LARGE_INTEGER size{};
  BOOL ok = GetFileSizeEx(file, &size);
  CloseHandle(file);
  if (!ok) return std::nullopt;
  return static_cast<uint64_t>(size.QuadPart);
}

bool RegularFileExists(const QString &fileName) {
  if (fileName.isEmpty()) return false;
  std::u16string name = Wide(fileName);
  DWORD attributes = GetFileAttributesW(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

uint64_t UserFreeBytes(const QString &root) {
  std::u16string path = Wide(root);
  ULARGE_INTEGER available{}, total{}, free{};
  UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS);
  BOOL ok = GetDiskFreeSpaceExW(path.c_str(), &available, &total, &free);
  SetErrorMode(mode);
  return ok ? available.QuadPart : 0;
}

std::optional<uint32_t> NumaHighest() {
  ULONG highest = 0;
  if (!GetNumaHighestNodeNumber(&highest)) return std::nullopt;
  return highest;
}

// A small frameless window with the operation's text while it runs.
void ShowBusy(const QString &text) {
  static std::unique_ptr<QDialog> busy;
  if (text.isEmpty()) {
    busy.reset();
    QApplication::restoreOverrideCursor();
    return;
  }
  if (!busy) {
    busy = std::make_unique<QDialog>(QApplication::activeWindow(), Qt::Dialog | Qt::FramelessWindowHint);
    auto *layout = new QVBoxLayout(busy.get());
    auto *label = new QLabel(busy.get());
    label->setObjectName(QStringLiteral("busyText"));
    label->setMargin(16);
    layout->addWidget(label);
    QApplication::setOverrideCursor(Qt::WaitCursor);
  }
  busy->findChild<QLabel *>(QStringLiteral("busyText"))->setText(text);
  busy->show();
  QApplication::processEvents();
}

bool RealMessageBox(QWidget *owner, TBoxKind kind, const QString &caption, const QString &text, bool question) {
  QMessageBox::Icon icon = kind == TBoxKind::Error     ? QMessageBox::Critical
                           : kind == TBoxKind::Warning ? QMessageBox::Warning
                                                       : QMessageBox::Information;
  QMessageBox box(icon, caption.isEmpty() ? QApplication::applicationDisplayName() : caption, text,
                  question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
  return box.exec() == QMessageBox::Yes;
}

QString StartFolder(const QString &current) {
  if (current.startsWith(QStringLiteral("Z:"), Qt::CaseInsensitive)) {
    QString host = current.mid(2).replace(u'\\', u'/');
    return host.left(host.lastIndexOf(u'/') + 1);
  }
  return QString();
}

TDialogSystem RealSystem() {
  TDialogSystem system;
  system.FreeMemory = [] { return GetFreeMemory(); };
  system.LogicalDrives = [] { return static_cast<uint32_t>(GetLogicalDrives()); };
  system.FileExists = RegularFileExists;
  system.ReadableFileSize = OpenedFileSize;
  system.HighestNumaNode = NumaHighest;
  system.Windows8OrLater = [] { return IsWindows8OrLater(); };
  system.FreeDiskSpace = UserFreeBytes;
  system.CreateImage = [](TImageCreator &creator) { creator.CreateImage(); };
  system.SetBusy = ShowBusy;
  system.MessageBox = RealMessageBox;
  system.BrowseOpen = [](QWidget *owner, const QString &current, const QString &filter) {
    return WindowsPathOfChosenFile(QFileDialog::getOpenFileName(owner, QString(), StartFolder(current), filter));
  };
  system.BrowseSave = [](QWidget *owner, const QString &current, const QString &filter, const QString &suffix) {
    QFileDialog dialog(owner, QString(), StartFolder(current), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(suffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return WindowsPathOfChosenFile(dialog.selectedFiles().first());
  };
  return system;
}

TDialogSystem &Current() {
  static TDialogSystem system = RealSystem();
  return system;
}

}  // namespace

TDialogSystem &DialogSystem() { return Current(); }

void ResetDialogSystem() { Current() = RealSystem(); }

void ShowDialogInformation(QWidget *owner, const QString &caption, const QString &text) {
  DialogSystem().MessageBox(owner, TBoxKind::Information, caption, text, false);
}

void ShowDialogError(QWidget *owner, const QString &caption, const QString &text) {
  DialogSystem().MessageBox(owner, TBoxKind::Error, caption, text, false);
}

bool AskDialogWarning(QWidget *owner, const QString &caption, const QString &text) {
  return DialogSystem().MessageBox(owner, TBoxKind::Warning, caption, text, true);
}

QString ImageFileFilter() { return Tr(QStringLiteral("Brimwell Volume Image")) + QStringLiteral(" (*.img)"); }

QString WindowsPathOfChosenFile(const QString &path) {
  if (!path.startsWith(u'/')) return path;
  QString windows = QStringLiteral("Z:") + path;
  return windows.replace(u'/', u'\\');
}

QStringList FreeLetterItems() {
  uint32_t used = DialogSystem().LogicalDrives();
  QStringList letters;
  for (int i = 0; i < 26; ++i)
    if (!(used & (1u << i))) letters << QString(QChar(u'A' + i)) + u':';
  return letters;
}

}  // namespace Ramdeck
