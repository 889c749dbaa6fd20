// Tests of the translation tables and the lookup: fallbacks, limits, language choice, and a check
// of every English/French pair (same keys, placeholders, shortcut parts and mnemonics).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tr.h"
#include "translation_builtin.h"

namespace {

// Keys that these tests register on top of the built-in ones start with this, so the check of
// the tables can leave them out when all tests run in one process.
constexpr const char* kTestKeyPrefix = "(test) ";

std::string TestKey(const std::string& name) { return kTestKeyPrefix + name; }
bool IsTestKey(const std::string& key) { return key.rfind(kTestKeyPrefix, 0) == 0; }

// Sets LC_ALL, LC_MESSAGES and LANG (null: unset) and puts the previous values back at the end.
class ScopedLocaleEnvironment {
 public:
  ScopedLocaleEnvironment() {
    for (int i = 0; i < 3; ++i) {
      if (const char* value = std::getenv(kNames[i])) saved_[i] = value;
    }
  }
  ~ScopedLocaleEnvironment() {
    for (int i = 0; i < 3; ++i) Put(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }
  void Set(const char* lc_all, const char* lc_messages, const char* lang) {
    Put("LC_ALL", lc_all);
    Put("LC_MESSAGES", lc_messages);
    Put("LANG", lang);
  }

 private:
  static constexpr const char* kNames[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  static void Put(const char* name, const char* value) {
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  std::optional<std::string> saved_[3];
};

class TranslationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { LoadTranslationTables(); }
  void TearDown() override { SetLanguage("en"); }
};

// ---- Lookup ----

TEST_F(TranslationTest, LooksUpTheCurrentLanguage) {
  struct Case {
    const char* language;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"fr", "Playing", "Lecture"},
      {"fr", "Downloading", "Téléchargement"},
      {"fr", "&File", "&Fichier"},
      {"fr", "Play/Pause\tSpace", "Lecture/Pause\tEspace"},
      {"fr", "Subtitles &Off", "Désactiver les sous-titres (&O)"},
      {"fr", "Duration: %d seconds", "Durée : %d secondes"},
      {"fr", "yt-dlp is working.\n\nPath: ", "yt-dlp fonctionne.\n\nChemin : "},
      {"fr", "BTN_BROWSE", "Parcourir..."},
      {"fr", "LANG_FRENCH", "Français"},
      {"fr", "(Uses strftime format: %Y=year, %m=month, %d=day, %H=hour, %M=min, %S=sec)",
       "(Disponibles : {année}, {mois}, {jour}, {heure}, {minute}, {seconde})"},
      {"en", "Playing", "Playing"},
      {"en", "&Open...\tCtrl+O", "&Open...\tCtrl+O"},
      {"en", "BTN_BROWSE", "Browse..."},
      {"en", "LANG_FRENCH", "French"},
      {"en", "(Uses strftime format: %Y=year, %m=month, %d=day, %H=hour, %M=min, %S=sec)",
       "(Available: {year}, {month}, {day}, {hour}, {minute}, {second})"},
  };
  for (const Case& c : cases) {
    SetLanguage(c.language);
    EXPECT_EQ(Tr(c.key), c.expected) << c.language << ": " << c.key;
    EXPECT_EQ(TrUtf8(std::string(c.key)), c.expected) << c.language << ": " << c.key;
  }
}

TEST_F(TranslationTest, FormatsAfterLookingUpTheFormat) {
  SetLanguage("fr");
  char text[128];
  std::snprintf(text, sizeof text, Tr("Downloading %d episodes, %d skipped").c_str(), 3, 1);
  EXPECT_STREQ(text, "Téléchargement de 3 épisodes, 1 ignorés");
  std::snprintf(text, sizeof text, Tr("Volume %d%%").c_str(), 80);
  EXPECT_STREQ(text, "Volume 80%");
}

TEST_F(TranslationTest, FallsBackToTheOtherLanguageThenToTheKey) {
  const std::string french_only = TestKey("only in French");
  const std::string english_only = TestKey("only in English");
  RegisterTranslation("fr", french_only.c_str(), "seulement en français");
  RegisterTranslation("en", english_only.c_str(), "English text");

  SetLanguage("en");
  EXPECT_EQ(Tr(french_only), "seulement en français");
  EXPECT_EQ(Tr(english_only), "English text");
  SetLanguage("fr");
  EXPECT_EQ(Tr(english_only), "English text");
  // A text without an entry is shown as written: the menu's "&Test YouTube playback" has none.
  EXPECT_EQ(Tr("&Test YouTube playback"), "&Test YouTube playback");
  EXPECT_EQ(Tr("Test YouTube playback"), "Tester la lecture YouTube");
}

TEST_F(TranslationTest, RegisteringAgainReplacesAndBadArgumentsAreIgnored) {
  const std::string key = TestKey("replaced");
  RegisterTranslation("fr", key.c_str(), "un");
  RegisterTranslation("fr", key.c_str(), "deux");
  SetLanguage("fr");
  EXPECT_EQ(Tr(key), "deux");

  const std::string ignored = TestKey("ignored");
  RegisterTranslation("de", ignored.c_str(), "Deutsch");
  RegisterTranslation("FR", ignored.c_str(), "majuscules");
  RegisterTranslation(nullptr, ignored.c_str(), "x");
  RegisterTranslation("fr", nullptr, "x");
  RegisterTranslation("fr", ignored.c_str(), nullptr);
  EXPECT_EQ(Tr(ignored), ignored);
  EXPECT_EQ(FindTranslation("fr", ignored), nullptr);
  EXPECT_EQ(FindTranslation("de", ignored), nullptr);
}

TEST_F(TranslationTest, KeysWithoutEntryAreLimitedTo511Utf16Units) {
  const std::string emoji = "\xF0\x9F\x8E\xB5";  // U+1F3B5, two UTF-16 units
  std::string two_unit_511;  // 255 pairs and one ASCII letter
  for (int i = 0; i < 255; ++i) two_unit_511 += emoji;
  two_unit_511 += "a";
  std::string two_unit_512;
  for (int i = 0; i < 256; ++i) two_unit_512 += emoji;

  struct Case {
    std::string key;
    bool returned;  // the key itself, else the empty string
  };
  const Case cases[] = {
      {"Not a key of the tables", true},
      {std::string(511, 'x'), true},
      {std::string(512, 'x'), false},
      {std::string(2000, 'x'), false},
      {"caf\xE9", false},           // Latin-1, not UTF-8
      {two_unit_511, true},
      {two_unit_512, false},
      {std::string(511, 'x').substr(0, 509) + "\xC3\xA9", true},  // é is one unit
      {"\xC3", false},              // cut-off sequence
      {"\xC0\xAF", false},          // overlong '/'
      {"\xED\xA0\x80", false},      // a surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\x80", false},              // stray continuation byte
  };
  for (const Case& c : cases) {
    for (const char* language : {"en", "fr"}) {
      SetLanguage(language);
      EXPECT_EQ(Tr(c.key), c.returned ? c.key : std::string())
          << language << ", key of " << c.key.size() << " bytes";
    }
  }
  EXPECT_EQ(Tr(static_cast<const char*>(nullptr)), "");
  EXPECT_EQ(TrUtf8(static_cast<const char*>(nullptr)), "");

  // A long key that has an entry is found: the limit holds only for misses.
  const std::string long_key = TestKey(std::string(600, 'y'));
  RegisterTranslation("fr", long_key.c_str(), "long");
  EXPECT_EQ(Tr(long_key), "long");
}

// ---- Language ----

TEST_F(TranslationTest, OnlyTheExactCodeFrSelectsFrench) {
  struct Case {
    const char* code;
    const char* expected;
  };
  const Case cases[] = {{"fr", "fr"}, {"en", "en"}, {"de", "en"}, {"FR", "en"},
                        {"fr_FR", "en"}, {"", "en"}, {"fra", "en"}};
  for (const Case& c : cases) {
    SetLanguage("fr");
    SetLanguage(c.code);
    EXPECT_STREQ(CurrentLanguage(), c.expected) << "code \"" << c.code << "\"";
    EXPECT_EQ(Tr("Playing"), std::string(c.expected) == "fr" ? "Lecture" : "Playing");
  }
  SetLanguage("fr");
  SetLanguage(static_cast<const char*>(nullptr));
  EXPECT_STREQ(CurrentLanguage(), "fr");
  SetLanguage(std::string("en"));
  EXPECT_STREQ(CurrentLanguage(), "en");
}

TEST(DetectUiLanguage, FirstSetVariableOfLcAllLcMessagesLangDecides) {
  struct Case {
    const char* lc_all;
    const char* lc_messages;
    const char* lang;
    const char* expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, "en"},
      {nullptr, nullptr, "fr_FR.UTF-8", "fr"},
      {nullptr, nullptr, "fr", "fr"},
      {nullptr, nullptr, "fr_CA.UTF-8@euro", "fr"},
      {nullptr, nullptr, "fr.UTF-8", "fr"},
      {nullptr, nullptr, "en_US.UTF-8", "en"},
      {nullptr, nullptr, "de_DE.UTF-8", "en"},
      {nullptr, nullptr, "C", "en"},
      {nullptr, nullptr, "POSIX", "en"},
      {nullptr, nullptr, "frr_DE.UTF-8", "en"},        // North Frisian, not French
      {"C.UTF-8", nullptr, "fr_FR.UTF-8", "en"},        // LC_ALL overrides everything
      {"fr_BE.UTF-8", "en_GB.UTF-8", "en_US.UTF-8", "fr"},
      {nullptr, "fr_CH.UTF-8", "en_US.UTF-8", "fr"},   // LC_MESSAGES overrides LANG
      {nullptr, "en_GB.UTF-8", "fr_FR.UTF-8", "en"},
      {"", "", "fr_FR.UTF-8", "fr"},                    // empty counts as not set
      {"", "en_US.UTF-8", "fr_FR.UTF-8", "en"},
      {"", "", "", "en"},
  };
  for (const Case& c : cases) {
    auto show = [](const char* v) { return v ? "\"" + std::string(v) + "\"" : std::string("unset"); };
    EXPECT_EQ(DetectUiLanguageFrom(c.lc_all, c.lc_messages, c.lang), c.expected)
        << "LC_ALL=" << show(c.lc_all) << " LC_MESSAGES=" << show(c.lc_messages)
        << " LANG=" << show(c.lang);
  }
}

TEST(DetectUiLanguage, ReadsTheEnvironment) {
  ScopedLocaleEnvironment environment;
  environment.Set(nullptr, "fr_FR.UTF-8", "en_US.UTF-8");
  EXPECT_EQ(DetectUiLanguage(), "fr");
  environment.Set("en_US.UTF-8", "fr_FR.UTF-8", "en_US.UTF-8");
  EXPECT_EQ(DetectUiLanguage(), "en");
}

TEST_F(TranslationTest, TheLanguageSettingIsKeptOrDetectedWhenEmpty) {
  ScopedLocaleEnvironment environment;
  environment.Set(nullptr, nullptr, "fr_FR.UTF-8");
  struct Case {
    const char* setting;
    const char* kept;
    const char* current;
  };
  const Case cases[] = {
      {"", "fr", "fr"},    // detected from the environment, then stored
      {"fr", "fr", "fr"},
      {"en", "en", "en"},  // the setting wins over a French environment
      {"de", "de", "en"},  // another code gives English and is written back unchanged
  };
  for (const Case& c : cases) {
    SetLanguage("en");
    EXPECT_EQ(ApplyLanguageSetting(c.setting), c.kept) << "setting \"" << c.setting << "\"";
    EXPECT_STREQ(CurrentLanguage(), c.current) << "setting \"" << c.setting << "\"";
  }
  environment.Set(nullptr, nullptr, "de_DE.UTF-8");
  EXPECT_EQ(ApplyLanguageSetting(""), "en");
}

// ---- Texts of controls and menu items ----

TEST_F(TranslationTest, ControlTextsAreReplacedOnlyByADifferentTranslation) {
  SetLanguage("fr");
  std::string out;
  EXPECT_TRUE(TranslateControlText("&Open...\tCtrl+O", kMenuTextUnits, out));
  EXPECT_EQ(out, "&Ouvrir...\tCtrl+O");
  // Translated texts are not keys: a second pass leaves them.
  EXPECT_FALSE(TranslateControlText(out, kMenuTextUnits, out));
  EXPECT_FALSE(TranslateControlText("Not a key", kControlTextUnits, out));
  EXPECT_FALSE(TranslateControlText("", kControlTextUnits, out));
  EXPECT_FALSE(TranslateControlText("OK", kControlTextUnits, out));  // the same in French

  // A text longer than the item's limit is never looked up.
  const std::string long_key = TestKey(std::string(300, 'm'));
  RegisterTranslation("fr", long_key.c_str(), "court");
  EXPECT_FALSE(TranslateControlText(long_key, kMenuTextUnits, out));
  EXPECT_TRUE(TranslateControlText(long_key, kControlTextUnits, out));
  EXPECT_EQ(out, "court");
}

TEST_F(TranslationTest, MenuKeysAreFoundFromTheTextBeforeTheTab) {
  EXPECT_EQ(MenuKeyWithShortcut("Seek &Backward"), "Seek &Backward\tLeft");
  EXPECT_EQ(MenuKeyWithShortcut("&Open..."), "&Open...\tCtrl+O");
  EXPECT_EQ(MenuKeyWithShortcut("&File"), "");  // a key without shortcut
  EXPECT_EQ(MenuKeyWithShortcut("Seek &Backward\tLeft"), "");
  EXPECT_EQ(MenuKeyWithShortcut("Reculer en &arrière"), "");
  EXPECT_EQ(MenuKeyWithShortcut(""), "");
}

// ---- The check of the built-in tables ----

// The printf conversions of a text, in order: "%d", "%.0f", "%%", ... A '%' that starts no
// valid conversion ("100%)", "%LOCALAPPDATA%") is plain text.
std::vector<std::string> Placeholders(const std::string& text) {
  std::vector<std::string> found;
  const std::string conversions = "diouxXeEfFgGaAcsp";
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    std::size_t j = i + 1;
    if (j < text.size() && text[j] == '%') {
      found.push_back("%%");
      i = j;
      continue;
    }
    while (j < text.size() && std::string("-+#0").find(text[j]) != std::string::npos) ++j;
    while (j < text.size() && (std::isdigit(static_cast<unsigned char>(text[j])) || text[j] == '*')) ++j;
    if (j < text.size() && text[j] == '.') {
      ++j;
      while (j < text.size() && (std::isdigit(static_cast<unsigned char>(text[j])) || text[j] == '*')) ++j;
    }
    for (const char* length : {"hh", "ll", "h", "l", "L", "z", "j", "t"}) {
      if (text.compare(j, std::string(length).size(), length) == 0) {
        j += std::string(length).size();
        break;
      }
    }
    if (j < text.size() && conversions.find(text[j]) != std::string::npos) {
      found.push_back(text.substr(i, j - i + 1));
      i = j;
    }
  }
  return found;
}

int Count(const std::string& text, char c) {
  int n = 0;
  for (char x : text) n += x == c;
  return n;
}

// Mnemonic marks: '&' not followed by '&' ("&&" shows one '&').
int Mnemonics(const std::string& text) {
  int n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (i + 1 < text.size() && text[i + 1] == '&') {
      ++i;
    } else {
      ++n;
    }
  }
  return n;
}

std::size_t LeadingSpaces(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? text.size() : first;
}
std::size_t TrailingSpaces(const std::string& text) {
  std::size_t last = text.find_last_not_of(' ');
  return last == std::string::npos ? text.size() : text.size() - 1 - last;
}
bool EndsWithColon(const std::string& text) {
  std::size_t last = text.find_last_not_of(" \n");
  return last != std::string::npos && text[last] == ':';
}

TEST(TranslationCheck, HelpersReadPlaceholdersAndMnemonics) {
  EXPECT_EQ(Placeholders("Volume %d%%"), (std::vector<std::string>{"%d", "%%"}));
  EXPECT_EQ(Placeholders("%.0f kbps, %d Hz, %s"), (std::vector<std::string>{"%.0f", "%d", "%s"}));
  EXPECT_EQ(Placeholders("&Tempo (-50% to +100%)"), std::vector<std::string>{});
  EXPECT_EQ(Placeholders("%LOCALAPPDATA%\\Sonderlane"), std::vector<std::string>{});
  EXPECT_EQ(Placeholders("%5.2lf and %-3s"), (std::vector<std::string>{"%5.2lf", "%-3s"}));
  EXPECT_EQ(Mnemonics("Save && &Quit"), 1);
  EXPECT_EQ(Mnemonics("&Open...\tCtrl+O"), 1);
}

TEST(TranslationCheck, BothTablesHoldTheSameKeys) {
  LoadTranslationTables();
  std::set<std::string> builtin;
  for (const BuiltinTranslation& entry : BuiltinTranslations()) {
    EXPECT_TRUE(builtin.insert(entry.key).second) << "registered twice: " << entry.key;
  }
  // The 534 texts of the interface, and the notice spoken when there is no sound device.
  EXPECT_EQ(builtin.size(), 535u);

  std::set<std::string> english, french;
  for (const std::string& key : TranslationKeys("en")) {
    if (!IsTestKey(key)) english.insert(key);
  }
  for (const std::string& key : TranslationKeys("fr")) {
    if (!IsTestKey(key)) french.insert(key);
  }
  EXPECT_EQ(english, builtin);
  EXPECT_EQ(french, builtin);
}

TEST(TranslationCheck, EveryPairKeepsPlaceholdersShortcutsMnemonicsAndSpacing) {
  LoadTranslationTables();
  for (const BuiltinTranslation& entry : BuiltinTranslations()) {
    const std::string* en = FindTranslation("en", entry.key);
    const std::string* fr = FindTranslation("fr", entry.key);
    ASSERT_NE(en, nullptr) << entry.key;
    ASSERT_NE(fr, nullptr) << entry.key;
    SCOPED_TRACE("key \"" + std::string(entry.key) + "\"\n  en \"" + *en + "\"\n  fr \"" + *fr + "\"");
    EXPECT_FALSE(fr->empty());
    EXPECT_EQ(Placeholders(*en), Placeholders(*fr));
    EXPECT_EQ(Count(*en, '\t'), Count(*fr, '\t'));
    EXPECT_EQ(Mnemonics(*en), Mnemonics(*fr));
    EXPECT_EQ(Count(*en, '\n'), Count(*fr, '\n'));
    EXPECT_EQ(LeadingSpaces(*en), LeadingSpaces(*fr));
    EXPECT_EQ(TrailingSpaces(*en), TrailingSpaces(*fr));
    EXPECT_EQ(EndsWithColon(*en), EndsWithColon(*fr));
    // The English text is the key, except for the names and the few texts that differ.
    if (entry.english == nullptr) {
      EXPECT_EQ(*en, entry.key);
    }
  }
}

TEST(TranslationCheck, FrenchPunctuationHasASpaceBefore) {
  LoadTranslationTables();
  for (const BuiltinTranslation& entry : BuiltinTranslations()) {
    const std::string fr = *FindTranslation("fr", entry.key);
    for (std::size_t i = 0; i < fr.size(); ++i) {
      char c = fr[i];
      bool ends_clause = i + 1 == fr.size() || fr[i + 1] == ' ' || fr[i + 1] == '\n';
      // ':' ending a clause (not "http://" or "mm:ss"), and every '?', ';' and '!'.
      if ((c == ':' && ends_clause) || c == '?' || c == ';' || c == '!') {
        EXPECT_TRUE(i > 0 && fr[i - 1] == ' ') << "no space before '" << c << "' in \"" << fr << "\"";
      }
    }
  }
}

TEST(TranslationCheck, TranslatingATranslatedTextAgainChangesNothing) {
  LoadTranslationTables();
  for (const char* language : {"en", "fr"}) {
    SetLanguage(language);
    for (const BuiltinTranslation& entry : BuiltinTranslations()) {
      const std::string once = Tr(entry.key);
      EXPECT_EQ(Tr(once), once) << language << ": \"" << entry.key << "\" gives \"" << once
                                << "\", itself a key with another text";
    }
  }
  SetLanguage("en");
}

}  // namespace
