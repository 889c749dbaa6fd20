// The playback dialogs: Jump to Time and the Tag box. wx-only; the logic they show lives in
// transport.cpp and now_playing.cpp. UI thread only.
#pragma once

class wxDialog;
class wxWindow;

// Dialog and control ids.
enum : int {
  kJumpDialogId = 660,
  kJumpEditId = 661,
  kTagDialogId = 910,
  kTagEditId = 911,
};

// Jump to Time (J): the position in the box, all selected; OK seeks to the typed time when it
// is one ("1:30", "1:02:03" or seconds).
void JumpToTimeDialog(wxWindow* parent);
// The Tag box for field key 0..9 (Shift+1 .. Shift+0): the value, all selected, read-only.
void TagDialog(wxWindow* parent, int key);

// The dialogs built but not shown, for tests; the caller destroys them.
wxDialog* MakeJumpToTimeDialog(wxWindow* parent);
wxDialog* MakeTagDialog(wxWindow* parent, int key);
// What OK does with the Jump to Time box's text: seeks when it is a time.
void AcceptJumpToTime(wxDialog* dialog);
