// Translation of dialogs and menus in place: they are built with English texts, and every text
// that is a key of the translation tables is replaced by its translation in the current language.
// UI thread only.
#pragma once

class wxWindow;
class wxMenu;
class wxMenuBar;

// Translates the title of `window` (or its label, for a control) and the texts of the controls
// inside it: labels of static texts, buttons, check boxes, radio buttons, static boxes and radio
// boxes (with their items), and the page texts of notebooks. Panels and notebook pages are
// walked through; a button with a stock id (wxID_CANCEL, ...) made without a label takes the
// text of its button name (BTN_CANCEL, ...); other top-level windows (child dialogs) are left to translate themselves.
// Lists, choices, combo boxes and text fields are not touched: a dialog fills them with
// translated texts itself. Texts that are not keys stay as they are, so translating twice
// changes nothing the second time. Call it while the dialog is built, after its lists are
// filled and before it is fitted to its contents. Does nothing for a null window.
void TranslateDialog(wxWindow* window);

// Translates every item text of `menu` and of its submenus at any depth, mnemonic and the
// shortcut after the tab included. Only the text changes: ids, check marks and enabled states
// stay. Separators and items without text are skipped. Does nothing for a null menu.
void TranslateMenu(wxMenu* menu);

// The same for every menu of a menu bar, and the menu titles of the bar themselves.
void TranslateMenu(wxMenuBar* menu_bar);
