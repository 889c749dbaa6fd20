// Buttons every dialog shares.
#include "dialog_buttons.h"

#include <wx/wx.h>

wxSizer* MakeOkCancelButtons(wxDialog* dialog) {
  auto* buttons = new wxStdDialogButtonSizer;
  buttons->AddButton(new wxButton(dialog, wxID_OK, "OK"));
  buttons->AddButton(new wxButton(dialog, wxID_CANCEL, "Cancel"));
  buttons->Realize();
  return buttons;
}
