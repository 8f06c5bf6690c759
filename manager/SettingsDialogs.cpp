#include "SettingsDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ManagerCore.h"
#include "TempFolder.h"
#include "Translate.h"

namespace Ramdeck {

namespace {

// OK and Cancel at the bottom right, with the program's own captions.
QDialogButtonBox *OkCancel(QDialog *dialog, QPushButton **ok, QPushButton **cancel) {
  auto *buttons = new QDialogButtonBox(dialog);
  *ok = buttons->addButton(Tr(QStringLiteral("&OK")), QDialogButtonBox::AcceptRole);
  *cancel = buttons->addButton(Tr(QStringLiteral("&Cancel")), QDialogButtonBox::RejectRole);
  (*ok)->setDefault(true);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

// Dialogs are fixed in size and have no help button.
void Decorate(QDialog *dialog, const QString &caption) {
  dialog->setWindowTitle(caption);
  dialog->setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  dialog->setModal(true);
}

}  // namespace

// Settings.

TSettingsForm::TSettingsForm(QWidget *owner) : QDialog(owner) {
  Decorate(this, Tr(QStringLiteral("Settings")));
  auto *group = new QGroupBox(Tr(QStringLiteral("General")), this);
  auto *boxes = new QVBoxLayout(group);
  auto add = [&](const char *caption) {
    auto *box = new QCheckBox(Tr(QString::fromLatin1(caption)), group);
    boxes->addWidget(box);
    return box;
  };
  CheckAutoLoad = add("Launch automatically with Windows");
  CheckUserAccess = add("Allow non-privileged users to modify settings");
  CheckGlobalLetters = add("Global drive letters for RAM volumes");
  CheckTrayIcon = add("Show icon in the system tray");
  CheckAllowEject = add("Allows users to eject removable RAM disks in Explorer");
  auto *layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(OkCancel(this, &ButtonOK, &ButtonCancel));
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TSettingsForm::ShowSettings(const TConfigSettings &config, const TRegistrySettings &registry) {
  CheckAutoLoad->setChecked(!registry.NoAutoLoad);
  CheckUserAccess->setChecked(config.UserAccess);
  CheckGlobalLetters->setChecked(!config.LocalLinks);
  CheckTrayIcon->setChecked(config.TrayIcon);
  CheckAllowEject->setChecked(config.AllowEject);
}

void TSettingsForm::TakeSettings(TConfigSettings &config, TRegistrySettings &registry) const {
  registry.NoAutoLoad = !CheckAutoLoad->isChecked();
  config.UserAccess = CheckUserAccess->isChecked();
  config.LocalLinks = !CheckGlobalLetters->isChecked();
  config.TrayIcon = CheckTrayIcon->isChecked();
  config.AllowEject = CheckAllowEject->isChecked();
}

bool ShowSettingsDialog(QWidget *owner, TManagerCore &core) {
  TSettingsForm form(owner);
  form.ShowSettings(core.FConfig, core.FRegistry);
  if (form.exec() != QDialog::Accepted) return false;
  form.TakeSettings(core.FConfig, core.FRegistry);
  core.SettingsChanged();
  return true;
}

// Windows temporary folder.

TTempFolderForm::TTempFolderForm(QWidget *owner, const QString &tempBackup) : QDialog(owner) {
  Decorate(this, Tr(QStringLiteral("Windows Temporary Folder")));
  TTempVariables variables = ReadTempVariables(tempBackup);
  previousTemp_ = variables.Temp;
  previousTmp_ = variables.Tmp;
  auto combo = [&](const QString &text) {
    auto *box = new QComboBox(this);
    box->setEditable(true);
    // The lists are the history; typing a value must not add to them.
    box->setInsertPolicy(QComboBox::NoInsert);
    box->addItems(variables.History);
    box->setEditText(text);
    box->setMinimumContentsLength(32);
    return box;
  };
  ComboTemp = combo(variables.Temp);
  ComboTmp = combo(variables.Tmp);
  auto *fields = new QFormLayout;
  fields->addRow(QStringLiteral("TEMP"), ComboTemp);
  fields->addRow(QStringLiteral("TMP"), ComboTmp);
  auto *layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addWidget(OkCancel(this, &ButtonOK, &ButtonCancel));
  layout->setSizeConstraint(QLayout::SetFixedSize);
  // An empty TEMP would leave the user's programs without a temporary folder.
  auto enable = [this] { ButtonOK->setEnabled(!TempFolderValue(ComboTemp->currentText()).trimmed().isEmpty()); };
  connect(ComboTemp, &QComboBox::editTextChanged, this, enable);
  enable();
}

QString TTempFolderForm::Apply() const {
  QString temp = ComboTemp->currentText();
  QString tmp = ComboTmp->currentText();
  ApplyTempFolder(temp);
  auto items = [](const QComboBox *box) {
    QStringList list;
    for (int i = 0; i < box->count(); ++i) list << box->itemText(i);
    return list;
  };
  return UpdateTempHistory(items(ComboTemp), items(ComboTmp), previousTemp_, temp, previousTmp_, tmp);
}

bool ShowTempFolderDialog(QWidget *owner, TManagerCore &core) {
  TTempFolderForm form(owner, core.FRegistry.TempBackup);
  if (form.exec() != QDialog::Accepted) return false;
  core.FRegistry.TempBackup = form.Apply();
  core.WriteRegistry();
  return true;
}

}  // namespace Ramdeck
