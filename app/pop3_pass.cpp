// Placeholder: the POP3 receive pass lands with the mail-in work.
#include "app/mainunit.h"

void TMain::ReceiveMail() {
  if (Busy) return;
  AutoDial();
  GotZorvikMail = false;
}
