#include "app/errorbx.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "platform/session.h"

namespace {
const char* const kCaption = "Configuration Error";
const char* const kText = "Configuration file is not complete or missing.";
}  // namespace

TErrorBox::TErrorBox(QWidget* parent) : QDialog(parent) {
  setObjectName("ErrorBox");
  setWindowTitle(kCaption);
  setModal(true);
  auto* image = new QLabel(this);
  image->setObjectName("Image1");
  image->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
  auto* text = new QLabel(kText, this);
  text->setObjectName("Label1");
  Button1 = new QPushButton("&Ok", this);
  Button1->setObjectName("Button1");
  Button1->setDefault(true);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

  auto* row = new QHBoxLayout;
  row->addWidget(image);
  row->addWidget(text, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(Button1);
  buttons->addStretch();
  auto* all = new QVBoxLayout(this);
  all->addLayout(row);
  all->addLayout(buttons);
  all->setSizeConstraint(QLayout::SetFixedSize);
}

void TErrorBox::ShowModal() {
  if (plat::Headless()) {
    plat::ReportToStderr(kCaption, kText);
    return;
  }
  exec();
}

void TErrorBox::Button1Click() { accept(); }
