// Tests of TranslateDialog and TranslateMenu on real wx windows and menus (under Xvfb).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <wx/wx.h>
#include <wx/notebook.h>

#include "tr.h"
#include "translate_ui.h"

namespace {

// wx warnings and errors seen while a test runs (an unreadable shortcut name, for example).
class LogRecorder : public wxLog {
 public:
  std::vector<std::string> problems;

 protected:
  void DoLogTextAtLevel(wxLogLevel level, const wxString& text) override {
    if (level <= wxLOG_Warning) problems.push_back(text.utf8_string());
  }
};

class TranslateUiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { LoadTranslationTables(); }
  void SetUp() override {
    SetLanguage("fr");
    previous_log_ = wxLog::SetActiveTarget(&log_);
  }
  void TearDown() override {
    wxLog::SetActiveTarget(previous_log_);
    EXPECT_TRUE(log_.problems.empty()) << "wx logged: " << log_.problems.front();
    SetLanguage("en");
  }

 private:
  LogRecorder log_;
  wxLog* previous_log_ = nullptr;
};

std::string Utf8(const wxString& text) { return text.utf8_string(); }

// A dialog as the program builds them: English texts, lists already filled, panels and a notebook.
struct SampleDialog {
  wxDialog* dialog;
  wxStaticText* prompt;
  wxStaticText* not_a_key;
  wxTextCtrl* field;
  wxButton* ok;
  wxButton* cancel;
  wxCheckBox* enabled;
  wxRadioButton* playback_only;
  wxStaticBox* box;
  wxCheckBox* in_box;
  wxStaticText* in_panel;
  wxNotebook* book;
  wxCheckBox* on_page;
  wxChoice* choice;
  wxListBox* list;
  wxRadioBox* radio_box;
  wxDialog* child_dialog;
  wxStaticText* in_child_dialog;

  SampleDialog() {
    dialog = new wxDialog(nullptr, wxID_ANY, "Open URL");
    prompt = new wxStaticText(dialog, wxID_ANY, "Enter stream &URL (http/https):");
    not_a_key = new wxStaticText(dialog, wxID_ANY, "Radio Paradise");
    field = new wxTextCtrl(dialog, wxID_ANY, "Cancel");
    ok = new wxButton(dialog, wxID_OK, "OK");
    cancel = new wxButton(dialog, wxID_CANCEL, "Cancel");
    enabled = new wxCheckBox(dialog, wxID_ANY, "&Enabled");
    playback_only = new wxRadioButton(dialog, wxID_ANY, "Playback only");
    box = new wxStaticBox(dialog, wxID_ANY, "Seek amounts (use , and . to cycle):");
    in_box = new wxCheckBox(box, wxID_ANY, "&1 second");
    auto* panel = new wxPanel(dialog);
    in_panel = new wxStaticText(panel, wxID_ANY, "&Name:");
    book = new wxNotebook(dialog, wxID_ANY);
    auto* page = new wxPanel(book);
    on_page = new wxCheckBox(page, wxID_ANY, "&Minimize to system tray");
    book->AddPage(page, "Playback");
    book->AddPage(new wxPanel(book), "Recording");
    wxString choices[] = {"Daily", "Weekly"};
    choice = new wxChoice(dialog, wxID_ANY, wxDefaultPosition, wxDefaultSize, 2, choices);
    wxString items[] = {"Once"};
    list = new wxListBox(dialog, wxID_ANY, wxDefaultPosition, wxDefaultSize, 1, items);
    wxString repeats[] = {"Once", "Daily", "Not a key"};
    radio_box = new wxRadioBox(dialog, wxID_ANY, "&Repeat:", wxDefaultPosition, wxDefaultSize, 3,
                               repeats);
    child_dialog = new wxDialog(dialog, wxID_ANY, "Jump to Time");
    in_child_dialog = new wxStaticText(child_dialog, wxID_ANY, "Enter &time (mm:ss or hh:mm:ss):");
  }
  ~SampleDialog() { dialog->Destroy(); }

  // Every text the dialog shows, for comparing two passes.
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts = {
        Utf8(dialog->GetTitle()), Utf8(prompt->GetLabel()), Utf8(not_a_key->GetLabel()),
        Utf8(field->GetValue()), Utf8(ok->GetLabel()), Utf8(cancel->GetLabel()),
        Utf8(enabled->GetLabel()), Utf8(playback_only->GetLabel()), Utf8(box->GetLabel()),
        Utf8(in_box->GetLabel()), Utf8(in_panel->GetLabel()), Utf8(book->GetPageText(0)),
        Utf8(book->GetPageText(1)), Utf8(on_page->GetLabel()), Utf8(choice->GetString(0)),
        Utf8(list->GetString(0)), Utf8(radio_box->GetLabel()), Utf8(child_dialog->GetTitle())};
    for (unsigned int i = 0; i < radio_box->GetCount(); ++i) {
      texts.push_back(Utf8(radio_box->GetString(i)));
    }
    return texts;
  }
};

TEST_F(TranslateUiTest, DialogTextsThatAreKeysAreTranslated) {
  SampleDialog s;
  TranslateDialog(s.dialog);

  EXPECT_EQ(Utf8(s.dialog->GetTitle()), "Ouvrir une URL");
  EXPECT_EQ(Utf8(s.prompt->GetLabel()), "Saisissez l'&URL du flux (http/https) :");
  EXPECT_EQ(Utf8(s.ok->GetLabel()), "OK");
  EXPECT_EQ(Utf8(s.cancel->GetLabel()), "Annuler");
  EXPECT_EQ(Utf8(s.enabled->GetLabel()), "Acti&vé");
  EXPECT_EQ(Utf8(s.playback_only->GetLabel()), "Lecture uniquement");
  EXPECT_EQ(Utf8(s.box->GetLabel()), "Pas de déplacement (, et . pour les parcourir) :");
  EXPECT_EQ(Utf8(s.in_box->GetLabel()), "&1 seconde");
  EXPECT_EQ(Utf8(s.in_panel->GetLabel()), "&Nom :");
  EXPECT_EQ(Utf8(s.book->GetPageText(0)), "Lecture");
  EXPECT_EQ(Utf8(s.book->GetPageText(1)), "Enregistrement");
  EXPECT_EQ(Utf8(s.on_page->GetLabel()), "Réduire dans la &barre d'état");
  EXPECT_EQ(Utf8(s.radio_box->GetLabel()), "&Répétition :");
  EXPECT_EQ(Utf8(s.radio_box->GetString(0)), "Une fois");
  EXPECT_EQ(Utf8(s.radio_box->GetString(1)), "Tous les jours");
  // What the user reads shows the mnemonic as an underline, not as '&'.
  EXPECT_EQ(Utf8(s.enabled->GetLabelText()), "Activé");

  // Texts that are not keys, and what the dialog filled in itself, stay as they are.
  EXPECT_EQ(Utf8(s.not_a_key->GetLabel()), "Radio Paradise");
  EXPECT_EQ(Utf8(s.radio_box->GetString(2)), "Not a key");
  EXPECT_EQ(Utf8(s.field->GetValue()), "Cancel");
  EXPECT_EQ(Utf8(s.choice->GetString(0)), "Daily");
  EXPECT_EQ(Utf8(s.list->GetString(0)), "Once");
  // A dialog owned by this one translates itself when it is built.
  EXPECT_EQ(Utf8(s.child_dialog->GetTitle()), "Jump to Time");
  EXPECT_EQ(Utf8(s.in_child_dialog->GetLabel()), "Enter &time (mm:ss or hh:mm:ss):");
}

TEST_F(TranslateUiTest, StockButtonsWithoutLabelTakeTheButtonNames) {
  auto* dialog = new wxDialog(nullptr, wxID_ANY, "Options");
  dialog->SetSizer(dialog->CreateStdDialogButtonSizer(wxOK | wxCANCEL));
  auto* close = new wxButton(dialog, wxID_CLOSE);
  auto* browse = new wxButton(dialog, wxID_ANY, "&Browse...");
  auto* labelled = new wxButton(dialog, wxID_SAVE, "Keep this");
  auto* ok = dynamic_cast<wxButton*>(dialog->FindWindow(wxID_OK));
  auto* cancel = dynamic_cast<wxButton*>(dialog->FindWindow(wxID_CANCEL));
  ASSERT_NE(ok, nullptr);
  ASSERT_NE(cancel, nullptr);

  SetLanguage("en");
  TranslateDialog(dialog);  // English reads the same: the mnemonics stay
  EXPECT_EQ(Utf8(cancel->GetLabel()), "&Cancel");
  EXPECT_EQ(Utf8(close->GetLabel()), "&Close");

  SetLanguage("fr");
  TranslateDialog(dialog);
  EXPECT_EQ(Utf8(ok->GetLabel()), "&OK");
  EXPECT_EQ(Utf8(cancel->GetLabel()), "Annuler");
  EXPECT_EQ(Utf8(close->GetLabel()), "Fermer");
  EXPECT_EQ(Utf8(browse->GetLabel()), "&Parcourir...");
  EXPECT_EQ(Utf8(labelled->GetLabel()), "Keep this");
  TranslateDialog(dialog);
  EXPECT_EQ(Utf8(cancel->GetLabel()), "Annuler");
  dialog->Destroy();
}

TEST_F(TranslateUiTest, TranslatingADialogTwiceChangesNothingTheSecondTime) {
  SampleDialog s;
  TranslateDialog(s.dialog);
  const std::vector<std::string> once = s.Texts();
  TranslateDialog(s.dialog);
  EXPECT_EQ(s.Texts(), once);
}

TEST_F(TranslateUiTest, EnglishChangesOnlyTextsWhoseEnglishDiffersFromTheKey) {
  SetLanguage("en");
  SampleDialog s;
  auto* fields = new wxStaticText(
      s.dialog, wxID_ANY,
      "(Uses strftime format: %Y=year, %m=month, %d=day, %H=hour, %M=min, %S=sec)");
  const std::vector<std::string> before = s.Texts();
  TranslateDialog(s.dialog);
  EXPECT_EQ(s.Texts(), before);
  EXPECT_EQ(Utf8(fields->GetLabel()), "(Available: {year}, {month}, {day}, {hour}, {minute}, {second})");
}

TEST_F(TranslateUiTest, ADialogWithASizerIsLaidOutAgainForLongerTexts) {
  auto* dialog = new wxDialog(nullptr, wxID_ANY, "Jump to Time");
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  auto* label = new wxStaticText(dialog, wxID_ANY, "&Time:");
  sizer->Add(label);
  dialog->SetSizer(sizer);
  dialog->SetClientSize(400, 100);
  dialog->Layout();
  TranslateDialog(dialog);
  EXPECT_EQ(Utf8(label->GetLabel()), "&Heure :");
  EXPECT_GE(label->GetSize().GetWidth(), label->GetBestSize().GetWidth());
  dialog->Destroy();
}

TEST_F(TranslateUiTest, AControlOrPanelCanBeTranslatedOnItsOwn) {
  auto* frame = new wxFrame(nullptr, wxID_ANY, "Sonderlane");
  auto* panel = new wxPanel(frame);
  auto* label = new wxStaticText(panel, wxID_ANY, "Step:");
  auto* button = new wxButton(frame, wxID_ANY, "&Browse...");
  TranslateDialog(panel);
  TranslateDialog(button);
  EXPECT_EQ(Utf8(label->GetLabel()), "Pas :");
  EXPECT_EQ(Utf8(button->GetLabel()), "&Parcourir...");
  EXPECT_EQ(Utf8(frame->GetTitle()), "Sonderlane");
  TranslateDialog(nullptr);
  frame->Destroy();
}

// The main menu as the program builds it, ids as in its command table.
struct SampleMenu {
  wxMenuBar* bar = new wxMenuBar;
  wxMenu* recent = new wxMenu;
  wxMenu* deep = new wxMenu;

  SampleMenu() {
    auto* file = new wxMenu;
    file->Append(101, "&Open...\tCtrl+O");
    file->AppendSeparator();
    recent->Append(6000, "(Empty)")->Enable(false);
    deep->Append(702, "&Readme");
    deep->Append(703, "Not a key");
    recent->AppendSubMenu(deep, "&Help");
    file->AppendSubMenu(recent, "Recent &Files");
    file->Append(109, "E&xit\tAlt+F4");
    auto* playback = new wxMenu;
    playback->Append(201, "Play/Pause\tSpace");
    playback->AppendCheckItem(210, "S&huffle\tH")->Check(true);
    playback->Append(211, "Seek &Backward\tLeft");
    auto* help = new wxMenu;
    help->Append(704, "&Test YouTube playback");
    bar->Append(file, "&File");
    bar->Append(playback, "&Playback");
    bar->Append(help, "&Help");
  }
  ~SampleMenu() { delete bar; }

  std::string Label(int id) const { return Utf8(bar->FindItem(id)->GetItemLabel()); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < bar->GetMenuCount(); ++i) texts.push_back(Utf8(bar->GetMenuLabel(i)));
    for (int id : {101, 6000, 702, 703, 109, 201, 210, 211, 704}) texts.push_back(Label(id));
    return texts;
  }
};

TEST_F(TranslateUiTest, MenuItemsAndTitlesAreTranslatedAtEveryDepth) {
  SampleMenu m;
  TranslateMenu(m.bar);

  EXPECT_EQ(Utf8(m.bar->GetMenuLabel(0)), "&Fichier");
  EXPECT_EQ(Utf8(m.bar->GetMenuLabel(1)), "&Lecture");
  EXPECT_EQ(Utf8(m.bar->GetMenuLabel(2)), "&Aide");
  EXPECT_EQ(m.Label(101), "&Ouvrir...\tCtrl+O");
  EXPECT_EQ(m.Label(6000), "(Vide)");
  EXPECT_EQ(m.Label(702), "Lis&ez-moi");
  EXPECT_EQ(m.Label(109), "&Quitter\tAlt+F4");
  EXPECT_EQ(m.Label(210), "Lecture a&léatoire\tH");
  // The item keeps its shortcut key under the name wx binds; GTK shows the key's name itself.
  EXPECT_EQ(m.Label(201), "Lecture/Pause\tSpace");
  EXPECT_EQ(Utf8(m.bar->FindItem(201)->GetItemLabelText()), "Lecture/Pause");
  // wx drops a shortcut GTK cannot bind (an arrow without modifier); the item is still found.
  EXPECT_EQ(m.Label(211), "Reculer en &arrière");
  // Without an entry, the item keeps its English text.
  EXPECT_EQ(m.Label(703), "Not a key");
  EXPECT_EQ(m.Label(704), "&Test YouTube playback");
  // The items that open submenus carry texts too.
  bool found_recent = false, found_help = false;
  for (wxMenuItem* item : m.bar->GetMenu(0)->GetMenuItems()) {
    if (item->GetSubMenu() == m.recent) found_recent = Utf8(item->GetItemLabel()) == "&Fichiers récents";
  }
  for (wxMenuItem* item : m.recent->GetMenuItems()) {
    if (item->GetSubMenu() == m.deep) found_help = Utf8(item->GetItemLabel()) == "&Aide";
  }
  EXPECT_TRUE(found_recent);
  EXPECT_TRUE(found_help);

  // Only the text changes: shortcut, check mark and enabled state stay.
  EXPECT_TRUE(m.bar->FindItem(210)->IsChecked());
  EXPECT_FALSE(m.bar->FindItem(6000)->IsEnabled());
  EXPECT_TRUE(m.bar->FindItem(101)->IsEnabled());
  wxAcceleratorEntry* accel = m.bar->FindItem(101)->GetAccel();
  ASSERT_NE(accel, nullptr);
  EXPECT_EQ(accel->GetKeyCode(), 'O');
  EXPECT_EQ(accel->GetFlags(), wxACCEL_CTRL);
  delete accel;
  accel = m.bar->FindItem(201)->GetAccel();
  ASSERT_NE(accel, nullptr);
  EXPECT_EQ(accel->GetKeyCode(), WXK_SPACE);
  delete accel;
}

TEST_F(TranslateUiTest, TranslatingAMenuTwiceChangesNothingTheSecondTime) {
  SampleMenu m;
  TranslateMenu(m.bar);
  const std::vector<std::string> once = m.Texts();
  TranslateMenu(m.bar);
  EXPECT_EQ(m.Texts(), once);
}

TEST_F(TranslateUiTest, FrenchToEnglishLeavesFrenchMenuTexts) {
  // Switching back to English finds no key in the French texts: they stay until a restart.
  SampleMenu m;
  TranslateMenu(m.bar);
  const std::vector<std::string> french = m.Texts();
  SetLanguage("en");
  TranslateMenu(m.bar);
  EXPECT_EQ(m.Texts(), french);
}

TEST_F(TranslateUiTest, APopupMenuIsTranslatedOnItsOwn) {
  wxMenu popup;
  popup.Append(1, "&Copy");
  popup.AppendSeparator();
  popup.Append(3, "&Refresh");
  TranslateMenu(&popup);
  EXPECT_EQ(Utf8(popup.FindItem(1)->GetItemLabel()), "&Copier");
  EXPECT_EQ(Utf8(popup.FindItem(3)->GetItemLabel()), "A&ctualiser");
  EXPECT_EQ(popup.GetMenuItemCount(), 3u);
  TranslateMenu(static_cast<wxMenu*>(nullptr));
  TranslateMenu(static_cast<wxMenuBar*>(nullptr));
}

}  // namespace
