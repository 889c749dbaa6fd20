// The playback dialogs on real wx windows (under Xvfb): Jump to Time and the Tag box.
#include <gtest/gtest.h>

#include <cstdio>

#include <wx/wx.h>

#include "audio.h"
#include "engine.h"
#include "media.h"
#include "playback_dialogs.h"
#include "player.h"
#include "playlist.h"
#include "settings.h"
#include "tr.h"
#include "transport.h"

namespace {

std::string Utf8(const wxString& text) { return text.utf8_string(); }

class PlaybackDialogsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    LoadTranslationTables();
    dir_ = new testsupport::TempDir;
    ASSERT_TRUE(testsupport::MakeSine(dir_->file("long.wav"), 440, 180.0, 8000, 1, "-c:a pcm_s16le"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    Settings() = AppSettings{};
    ASSERT_TRUE(audio::Init(0, 44100, 0));
  }
  void TearDown() override {
    ShutdownAudioEngine();
    ThePlaylist() = Playlist{};
    SetLanguage("en");
  }
  static testsupport::TempDir* dir_;
};
testsupport::TempDir* PlaybackDialogsTest::dir_ = nullptr;

TEST_F(PlaybackDialogsTest, JumpToTimeShowsThePositionAndSeeks) {
  ReplacePlaylist({dir_->file("long.wav")});
  PlayItem(0, true);
  audio::ChannelPause(Player().output);
  SeekAbsolute(90);
  wxDialog* dialog = MakeJumpToTimeDialog(nullptr);
  EXPECT_EQ(dialog->GetId(), kJumpDialogId);
  EXPECT_EQ(Utf8(dialog->GetTitle()), "Jump to Time");
  auto* edit = wxDynamicCast(dialog->FindWindow(kJumpEditId), wxTextCtrl);
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(Utf8(edit->GetValue()), "1:30");
  long from = -1, to = -1;
  edit->GetSelection(&from, &to);
  EXPECT_EQ(from, 0);
  EXPECT_EQ(to, 4);
  EXPECT_NE(dialog->FindWindow(wxID_OK), nullptr);
  EXPECT_NE(dialog->FindWindow(wxID_CANCEL), nullptr);
  edit->SetValue("2:05");
  AcceptJumpToTime(dialog);
  EXPECT_NEAR(GetPosition(), 125.0, 0.01);
  edit->SetValue("soon");
  AcceptJumpToTime(dialog);
  EXPECT_NEAR(GetPosition(), 125.0, 0.01);
  dialog->Destroy();
}

TEST_F(PlaybackDialogsTest, JumpToTimeIsTranslated) {
  SetLanguage("fr");
  wxDialog* dialog = MakeJumpToTimeDialog(nullptr);
  wxStaticText* label = nullptr;
  for (wxWindow* child : dialog->GetChildren()) {
    if (auto* t = wxDynamicCast(child, wxStaticText)) label = t;
  }
  ASSERT_NE(label, nullptr);
  EXPECT_NE(Utf8(label->GetLabel()), "Enter &time (mm:ss or hh:mm:ss):");
  EXPECT_EQ(Utf8(label->GetLabel()), Tr("Enter &time (mm:ss or hh:mm:ss):"));
  dialog->Destroy();
}

TEST_F(PlaybackDialogsTest, TagBoxHoldsTheValueUnderAnEnglishCaption) {
  SetLanguage("fr");
  wxDialog* dialog = MakeTagDialog(nullptr, 1);
  EXPECT_EQ(dialog->GetId(), kTagDialogId);
  EXPECT_EQ(Utf8(dialog->GetTitle()), "Title");
  auto* edit = wxDynamicCast(dialog->FindWindow(kTagEditId), wxTextCtrl);
  ASSERT_NE(edit, nullptr);
  EXPECT_FALSE(edit->IsEditable());
  EXPECT_EQ(Utf8(edit->GetValue()), Tr("Nothing playing"));
  long from = -1, to = -1;
  edit->GetSelection(&from, &to);
  EXPECT_EQ(from, 0);
  EXPECT_EQ(to, edit->GetLastPosition());
  dialog->Destroy();
}

}  // namespace
