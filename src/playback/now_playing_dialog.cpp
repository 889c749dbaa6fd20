// The Tag box: one field of what plays, read-only and all selected, for review or copying.
#include <wx/wx.h>

#include "now_playing.h"
#include "dialog_buttons.h"
#include "playback_dialogs.h"
#include "translate_ui.h"

wxDialog* MakeTagDialog(wxWindow* parent, int key) {
  // The caption is the field's English name, as the box has always shown it.
  auto* dialog = new wxDialog(parent, kTagDialogId, wxString::FromUTF8(TagFieldCaption(key)),
                              wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  auto* edit = new wxTextCtrl(dialog, kTagEditId, wxString::FromUTF8(TagFieldValue(key)), wxDefaultPosition,
                              wxSize(360, 80), wxTE_MULTILINE | wxTE_READONLY | wxTE_PROCESS_ENTER);
  edit->SetName(wxString::FromUTF8(TagFieldCaption(key)));
  // Enter closes the box, as OK does (a read-only box has no use for a new line).
  edit->Bind(wxEVT_KEY_DOWN, [dialog](wxKeyEvent& event) {
    if (event.GetKeyCode() == WXK_RETURN || event.GetKeyCode() == WXK_NUMPAD_ENTER) {
      dialog->EndModal(wxID_OK);
    } else {
      event.Skip();
    }
  });
  sizer->Add(edit, 1, wxALL | wxEXPAND, 8);
  sizer->Add(MakeOkCancelButtons(dialog), 0, wxALL | wxALIGN_RIGHT, 8);
  TranslateDialog(dialog);
  dialog->SetTitle(wxString::FromUTF8(TagFieldCaption(key)));  // never translated
  dialog->SetSizerAndFit(sizer);
  edit->SelectAll();
  edit->SetFocus();
  return dialog;
}

void TagDialog(wxWindow* parent, int key) {
  wxDialog* dialog = MakeTagDialog(parent, key);
  dialog->ShowModal();
  dialog->Destroy();
}
