// The manager's smaller dialogs: the settings, the Windows temporary
// folder, the applications started with the manager, and the About box.
// The main window opens them through the Show... functions; the forms are
// public so that tests can fill and check them without a modal loop.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QLabel>
#include <QString>
#include <QStringList>

#include <functional>

class QCheckBox;
class QComboBox;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace Ramdeck {

class TManagerCore;
struct TConfigSettings;
struct TRegistrySettings;

// "Settings": five check boxes over settings of the configuration file
// and of the registry, two of them shown negated.
class TSettingsForm : public QDialog {
  Q_OBJECT
 public:
  explicit TSettingsForm(QWidget *owner);
  void ShowSettings(const TConfigSettings &config, const TRegistrySettings &registry);
  void TakeSettings(TConfigSettings &config, TRegistrySettings &registry) const;

  QCheckBox *CheckAutoLoad;
  QCheckBox *CheckUserAccess;
  QCheckBox *CheckGlobalLetters;
  QCheckBox *CheckTrayIcon;
  QCheckBox *CheckAllowEject;
  QPushButton *ButtonOK;
  QPushButton *ButtonCancel;
};

// "Windows Temporary Folder": TEMP and TMP of the user's environment, with
// the history of earlier values in both lists. OK writes the TEMP field to
// both variables.
class TTempFolderForm : public QDialog {
  Q_OBJECT
 public:
  TTempFolderForm(QWidget *owner, const QString &tempBackup);
  // Writes the variables and returns the new history (for TempBackup).
  QString Apply() const;

  QComboBox *ComboTemp;
  QComboBox *ComboTmp;
  QPushButton *ButtonOK;
  QPushButton *ButtonCancel;

 private:
  QString previousTemp_;
  QString previousTmp_;
};

// "Automatically Starting Applications": one command line per row, each
// with its program's icon, edited in place.
class TApplicationsForm : public QDialog {
  Q_OBJECT
 public:
  TApplicationsForm(QWidget *owner, const QStringList &apps);
  // The rows as the list keeps them; rows left blank are dropped.
  QStringList Applications() const;
  // Asks for a program file (Windows path); empty when none was chosen.
  // Tests put their own chooser here.
  std::function<QString(QWidget *)> ChooseFile;
  // The icon of an entry's program.
  static QIcon ProgramIcon(const QString &entry);

  QTreeWidget *ListApps;
  QPushButton *ButtonAdd;
  QPushButton *ButtonDelete;
  QPushButton *ButtonOK;
  QPushButton *ButtonCancel;

 private:
  void AddClicked();
  void DeleteClicked();
  void AppendRow(const QString &entry);
  void ItemChanged(QTreeWidgetItem *item);
};

// A link text: underlined blue, red while the mouse is over it; a click
// opens its address.
class TLinkLabel : public QLabel {
  Q_OBJECT
 public:
  TLinkLabel(const QString &text, QString url, QWidget *parent);
  const QString &Url() const { return url_; }
  bool Hovered() const { return hovered_; }

 signals:
  void Clicked(const QString &url);

 protected:
  void enterEvent(QEnterEvent *event) override;
  void leaveEvent(QEvent *event) override;
  void mouseReleaseEvent(QMouseEvent *event) override;

 private:
  void Paint();
  QString url_;
  bool hovered_ = false;
};

// "About Brimwell Corvane": title, version and the two links.
class TAboutForm : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutForm(QWidget *owner);
  // Opens an address; the system's browser unless a test replaces it.
  std::function<void(const QString &)> OpenUrl;

  QLabel *LabelTitle;
  QLabel *LabelVersion;
  TLinkLabel *LinkWebSite;
  TLinkLabel *LinkContact;
  QPushButton *ButtonOK;
};

// The product's pages the About box and the Help menu open.
inline constexpr char16_t kWebSiteUrl[] = u"https://www.brimwell.example/ramdeck/";
inline constexpr char16_t kContactUrl[] = u"https://www.brimwell.example/contact/";
// Opens an address in the desktop's browser.
void OpenWebPage(const QString &url);

// The window's entry points; each returns whether the user chose OK.
bool ShowSettingsDialog(QWidget *owner, TManagerCore &core);
bool ShowTempFolderDialog(QWidget *owner, TManagerCore &core);
bool ShowApplicationsDialog(QWidget *owner, QStringList &apps);
void ShowAboutDialog(QWidget *owner);

}  // namespace Ramdeck
