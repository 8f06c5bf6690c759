// The About box: the program's title and version and two links to the
// product's pages.
#include <QDialogButtonBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include <windows.h>
#include <shellapi.h>

#include "AppVersion.h"
#include "ManagerCore.h"
#include "SettingsDialogs.h"
#include "Translate.h"
#include "Volumes.h"

namespace Ramdeck {

void OpenWebPage(const QString &url) {
  ShellExecuteW(nullptr, u"open", reinterpret_cast<LPCWSTR>(url.utf16()), nullptr, nullptr, SW_SHOWNORMAL);
}

TLinkLabel::TLinkLabel(const QString &text, QString url, QWidget *parent)
    : QLabel(text, parent), url_(std::move(url)) {
  setCursor(Qt::PointingHandCursor);
  QFont underlined = font();
  underlined.setUnderline(true);
  setFont(underlined);
  Paint();
}

void TLinkLabel::Paint() {
  QPalette colours = palette();
  colours.setColor(QPalette::WindowText, hovered_ ? Qt::red : Qt::blue);
  setPalette(colours);
}

void TLinkLabel::enterEvent(QEnterEvent *event) {
  hovered_ = true;
  Paint();
  QLabel::enterEvent(event);
}

void TLinkLabel::leaveEvent(QEvent *event) {
  hovered_ = false;
  Paint();
  QLabel::leaveEvent(event);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent *event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit Clicked(url_);
  QLabel::mouseReleaseEvent(event);
}

TAboutForm::TAboutForm(QWidget *owner) : QDialog(owner), OpenUrl(OpenWebPage) {
  const QString title = QString::fromUtf16(kApplicationTitle);
  setWindowTitle(FormatText(Tr(QStringLiteral("About %s")), {title}));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(true);

  LabelTitle = new QLabel(title, this);
  QFont large = LabelTitle->font();
  large.setPointSize(11);
  large.setBold(true);
  LabelTitle->setFont(large);
  LabelTitle->setMinimumWidth(280);
  LabelVersion = new QLabel(FormatText(Tr(QStringLiteral("Version %s")), {ProgramVersion()}) + QStringLiteral(" 64-bit"), this);
  LinkWebSite = new TLinkLabel(Tr(QStringLiteral("Web-site")), QString::fromUtf16(kWebSiteUrl), this);
  LinkContact = new TLinkLabel(Tr(QStringLiteral("Contact us")), QString::fromUtf16(kContactUrl), this);
  for (TLinkLabel *link : {LinkWebSite, LinkContact})
    connect(link, &TLinkLabel::Clicked, this, [this](const QString &url) {
      if (OpenUrl) OpenUrl(url);
    });

  auto *buttons = new QDialogButtonBox(this);
  ButtonOK = buttons->addButton(Tr(QStringLiteral("&OK")), QDialogButtonBox::AcceptRole);
  ButtonOK->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto *links = new QHBoxLayout;
  links->addWidget(LinkWebSite);
  links->addSpacing(24);
  links->addWidget(LinkContact);
  links->addStretch();
  auto *layout = new QVBoxLayout(this);
  layout->addWidget(LabelTitle);
  layout->addWidget(LabelVersion);
  layout->addSpacing(8);
  layout->addLayout(links);
  layout->addSpacing(8);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void ShowAboutDialog(QWidget *owner) {
  TAboutForm form(owner);
  form.exec();
}

}  // namespace Ramdeck
