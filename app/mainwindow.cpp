// The main window's controls: creation, names, initial captions and layout.
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "app/icons.h"
#include "app/mainunit.h"
#include "widgets/Gauges.h"

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption) {
  auto* l = new QLabel(caption, parent);
  l->setObjectName(name);
  return l;
}

// Fixed size (one line high): long texts are cut, the window never grows, and
// a new text repaints the label without laying the window out again. Values
// are shown as plain text: a server's reply is never read as markup.
QLabel* MakeValueLabel(QWidget* parent, const char* name, const char* caption) {
  auto* l = MakeLabel(parent, name, caption);
  l->setTextFormat(Qt::PlainText);
  l->setFrameShape(QFrame::Panel);
  l->setFrameShadow(QFrame::Sunken);
  l->setFixedSize(297, l->sizeHint().height());
  return l;
}

// Two icons on one spot: the idle one (off) on top of the lit one (on).
QWidget* IconPair(QWidget* parent, TIcon*& on, const char* onName, TIcon*& off, const char* offName, bool up) {
  auto* spot = new QWidget(parent);
  spot->setFixedSize(25, 25);
  on = new TIcon(spot);
  on->setObjectName(onName);
  on->setPixmap(ArrowPicture(up, true));
  off = new TIcon(spot);
  off->setObjectName(offName);
  off->setPixmap(ArrowPicture(up, false));
  off->raise();
  return spot;
}

}  // namespace

void TMain::BuildControls() {
  setObjectName("Main");
  setWindowTitle("ZaDozivo/32");
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

  Image1 = MakeLabel(this, "Image1", "");
  Image1->setPixmap(LogoPicture());
  Image1->setAlignment(Qt::AlignTop | Qt::AlignLeft);

  Label1 = MakeLabel(this, "Label1", "State");
  Label2 = MakeLabel(this, "Label2", "Command");
  Label3 = MakeLabel(this, "Label3", "Response");
  Label4 = MakeLabel(this, "Label4", "Error");
  lbState = MakeValueLabel(this, "lbState", "Closed");
  lbCommand = MakeValueLabel(this, "lbCommand", "Waiting");
  lbResponse = MakeValueLabel(this, "lbResponse", "None");
  lbError = MakeValueLabel(this, "lbError", "None");
  lbAction = MakeLabel(this, "lbAction", "Action");
  lbVersion = MakeLabel(this, "lbVersion", "lbVersion");
  lbDaemon = MakeLabel(this, "lbDaemon", "Daemon Mode");
  lbDaemon->setVisible(false);
  Percent = new TGauge(this);
  Percent->setObjectName("Percent");
  Percent->setFixedHeight(14);

  auto* values = new QGridLayout;
  values->setHorizontalSpacing(8);
  values->setVerticalSpacing(3);
  QLabel* captions[] = {Label1, Label2, Label3, Label4};
  QLabel* shown[] = {lbState, lbCommand, lbResponse, lbError};
  for (int row = 0; row < 4; ++row) {
    values->addWidget(captions[row], row, 0);
    values->addWidget(shown[row], row, 1);
  }
  // The action and the progress bar line up with the captions and values.
  values->addWidget(lbAction, 4, 0);
  values->addWidget(Percent, 4, 1);

  auto* icons = new QVBoxLayout;
  icons->addWidget(IconPair(this, icnUpOn, "icnUpOn", icnUpOff, "icnUpOff", true));
  icons->addWidget(IconPair(this, icnDownOn, "icnDownOn", icnDownOff, "icnDownOff", false));
  icons->addStretch();

  auto* top = new QHBoxLayout;
  top->addWidget(Image1, 0, Qt::AlignTop);
  top->addLayout(values);
  top->addLayout(icons);

  auto* foot = new QHBoxLayout;
  foot->addWidget(lbVersion);
  foot->addStretch();
  foot->addWidget(lbDaemon);

  auto* all = new QVBoxLayout(this);
  all->setContentsMargins(8, 8, 8, 6);
  all->addLayout(top);
  all->addLayout(foot);
  all->setSizeConstraint(QLayout::SetFixedSize);
}
