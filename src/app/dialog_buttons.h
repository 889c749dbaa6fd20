// Buttons every dialog shares.
#pragma once

class wxDialog;
class wxSizer;

// OK and Cancel (wxID_OK, wxID_CANCEL) in the platform's order, as one sizer row.
wxSizer* MakeOkCancelButtons(wxDialog* dialog);
