// The Jump to Time dialog.
#include <wx/wx.h>

#include "dialog_buttons.h"
#include "playback_dialogs.h"
#include "transport.h"
#include "tr.h"
#include "translate_ui.h"

wxDialog* MakeJumpToTimeDialog(wxWindow* parent) {
  auto* dialog = new wxDialog(parent, kJumpDialogId, "Jump to Time");
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  // The label comes right before the box, which takes it as its accessible name.
  sizer->Add(new wxStaticText(dialog, wxID_ANY, "Enter &time (mm:ss or hh:mm:ss):"), 0, wxALL, 8);
  auto* edit = new wxTextCtrl(dialog, kJumpEditId, wxString::FromUTF8(FormatClock(GetPosition())));
  edit->SetMaxLength(64);
  sizer->Add(edit, 0, wxLEFT | wxRIGHT | wxEXPAND, 8);
  sizer->Add(MakeOkCancelButtons(dialog), 0, wxALL | wxALIGN_RIGHT, 8);
  TranslateDialog(dialog);
  dialog->SetSizerAndFit(sizer);
  edit->SelectAll();
  edit->SetFocus();
  return dialog;
}

void AcceptJumpToTime(wxDialog* dialog) {
  auto* edit = wxDynamicCast(dialog->FindWindow(kJumpEditId), wxTextCtrl);
  if (!edit) return;
  double seconds = ParseJumpTime(edit->GetValue().utf8_string());
  if (seconds >= 0) SeekAbsolute(seconds);
}

void JumpToTimeDialog(wxWindow* parent) {
  wxDialog* dialog = MakeJumpToTimeDialog(parent);
  if (dialog->ShowModal() == wxID_OK) AcceptJumpToTime(dialog);
  dialog->Destroy();
}
