// Translation of wx dialogs and menus in place, through the tables of the support layer.
#include "translate_ui.h"

#include <string>

#include <wx/anybutton.h>
#include <wx/bookctrl.h>
#include <wx/checkbox.h>
#include <wx/menu.h>
#include <wx/radiobox.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/stockitem.h>
#include <wx/stattext.h>
#include <wx/toplevel.h>
#include <wx/window.h>

#include "tr.h"

namespace {

// The translation of `text` when it is a key whose translation differs, through `replace`.
template <typename Replace>
bool Translate(const wxString& text, std::size_t max_units, Replace replace) {
  std::string translated;
  if (!TranslateControlText(text.utf8_string(), max_units, translated)) return false;
  replace(wxString::FromUTF8(translated));
  return true;
}

// Controls whose label is a text the user reads: the label is translated.
bool HasTranslatableLabel(wxWindow* window) {
  return dynamic_cast<wxStaticText*>(window) != nullptr ||
         dynamic_cast<wxAnyButton*>(window) != nullptr ||
         dynamic_cast<wxCheckBox*>(window) != nullptr ||
         dynamic_cast<wxRadioButton*>(window) != nullptr ||
         dynamic_cast<wxStaticBox*>(window) != nullptr ||
         dynamic_cast<wxRadioBox*>(window) != nullptr;
}

// Buttons with a stock id made without a label show wx's own English label ("&Cancel"). They
// take the text of the matching button name, without a mnemonic, when it reads differently.
struct StockButton {
  int id;
  const char* key;
};
constexpr StockButton kStockButtons[] = {
    {wxID_OK, "BTN_OK"},         {wxID_CANCEL, "BTN_CANCEL"}, {wxID_CLOSE, "BTN_CLOSE"},
    {wxID_SAVE, "BTN_SAVE"},     {wxID_DELETE, "BTN_DELETE"}, {wxID_ADD, "BTN_ADD"},
    {wxID_EDIT, "BTN_EDIT"},     {wxID_REMOVE, "BTN_REMOVE"}, {wxID_YES, "BTN_YES"},
    {wxID_NO, "BTN_NO"},
};

bool TranslateStockButton(wxAnyButton* button) {
  const wxString label = button->GetLabel();
  for (const StockButton& stock : kStockButtons) {
    if (button->GetId() != stock.id || label != wxGetStockLabel(stock.id)) continue;
    const std::string translated = Tr(stock.key);
    if (translated.empty() || translated == stock.key) return false;  // tables not loaded
    const wxString text = wxString::FromUTF8(translated);
    if (text == wxStripMenuCodes(label)) return false;
    button->SetLabel(text);
    return true;
  }
  return false;
}

// The texts `window` itself carries: its label or title, radio box items, notebook page texts.
bool TranslateOwnTexts(wxWindow* window) {
  bool changed = false;
  if (auto* top = dynamic_cast<wxTopLevelWindow*>(window)) {
    changed |= Translate(top->GetTitle(), kControlTextUnits,
                         [top](const wxString& text) { top->SetTitle(text); });
  } else if (HasTranslatableLabel(window)) {
    bool label_changed = Translate(window->GetLabel(), kControlTextUnits,
                                   [window](const wxString& text) { window->SetLabel(text); });
    if (auto* button = dynamic_cast<wxAnyButton*>(window); button && !label_changed) {
      label_changed = TranslateStockButton(button);
    }
    changed |= label_changed;
  }
  if (auto* box = dynamic_cast<wxRadioBox*>(window)) {
    for (unsigned int i = 0; i < box->GetCount(); ++i) {
      changed |= Translate(box->GetString(i), kControlTextUnits,
                           [box, i](const wxString& text) { box->SetString(i, text); });
    }
  }
  if (auto* book = dynamic_cast<wxBookCtrlBase*>(window)) {
    for (std::size_t i = 0; i < book->GetPageCount(); ++i) {
      changed |= Translate(book->GetPageText(i), kControlTextUnits,
                           [book, i](const wxString& text) { book->SetPageText(i, text); });
    }
  }
  return changed;
}

// The controls inside `window`, in creation (Z) order, through panels and notebook pages.
bool TranslateChildren(wxWindow* window) {
  bool changed = false;
  for (wxWindow* child : window->GetChildren()) {
    if (child->IsTopLevel()) continue;  // a dialog of its own translates itself
    changed |= TranslateOwnTexts(child);
    changed |= TranslateChildren(child);
  }
  return changed;
}

// One menu item. GTK draws the name of an item's shortcut key itself, in the desktop's language,
// and binds only names it knows: the text before the tab is translated and the item keeps its own
// shortcut (its English name is the one wx understands). When wx dropped a shortcut GTK cannot
// bind ("\tLeft"), the item's key is found from the text alone.
void TranslateMenuItem(wxMenuItem* item) {
  const std::string label = item->GetItemLabel().utf8_string();
  std::string translated;
  bool found = TranslateControlText(label, kMenuTextUnits, translated);
  if (!found) {
    std::string key = MenuKeyWithShortcut(label);
    found = !key.empty() && TranslateControlText(key, kMenuTextUnits, translated);
  }
  if (!found) return;
  std::string text = translated.substr(0, translated.find('\t'));
  if (std::size_t tab = label.find('\t'); tab != std::string::npos) text += label.substr(tab);
  if (text != label) item->SetItemLabel(wxString::FromUTF8(text));
}

}  // namespace

void TranslateDialog(wxWindow* window) {
  if (window == nullptr) return;
  bool changed = TranslateChildren(window);
  changed |= TranslateOwnTexts(window);
  // Longer labels need room: lay the window out again when it has a sizer.
  if (changed && window->GetSizer() != nullptr) window->Layout();
}

void TranslateMenu(wxMenu* menu) {
  if (menu == nullptr) return;
  for (wxMenuItem* item : menu->GetMenuItems()) {
    if (!item->IsSeparator()) TranslateMenuItem(item);
    if (wxMenu* submenu = item->GetSubMenu()) TranslateMenu(submenu);
  }
}

void TranslateMenu(wxMenuBar* menu_bar) {
  if (menu_bar == nullptr) return;
  for (std::size_t i = 0; i < menu_bar->GetMenuCount(); ++i) {
    Translate(menu_bar->GetMenuLabel(i), kMenuTextUnits,
              [menu_bar, i](const wxString& text) { menu_bar->SetMenuLabel(i, text); });
    TranslateMenu(menu_bar->GetMenu(i));
  }
}
