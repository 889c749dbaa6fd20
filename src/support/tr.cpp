// Translation of the program's texts: the English and French tables keyed by the English text,
// the current language, and the lookup with its fallbacks.
#include "tr.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <unordered_map>

#include "translation_builtin.h"

namespace {

// Keys are compared byte for byte; lookups take a string_view without building a string.
struct KeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const noexcept {
    return std::hash<std::string_view>{}(key);
  }
};
using TranslationTable = std::unordered_map<std::string, std::string, KeyHash, std::equal_to<>>;

// Written only at start-up on the UI thread, before other threads exist; read-only afterwards.
TranslationTable& EnglishTable() {
  static TranslationTable table;
  return table;
}
TranslationTable& FrenchTable() {
  static TranslationTable table;
  return table;
}

// Menu keys by their text before the tab: "Seek &Backward" -> "Seek &Backward\tLeft". Filled
// with the tables; the first key registered with a given text keeps it.
TranslationTable& MenuKeys() {
  static TranslationTable keys;
  return keys;
}

// Written on the UI thread, read from any thread.
std::atomic<bool> g_french{false};

TranslationTable* TableFor(std::string_view language) {
  if (language == "en") return &EnglishTable();
  if (language == "fr") return &FrenchTable();
  return nullptr;
}

// The number of UTF-16 units `text` needs, or -1 when it is not valid UTF-8 (stray or missing
// continuation bytes, overlong forms, surrogates, values above U+10FFFF).
std::ptrdiff_t Utf16Length(std::string_view text) {
  std::ptrdiff_t units = 0;
  std::size_t i = 0;
  auto continuation = [&](std::size_t at, unsigned char low = 0x80, unsigned char high = 0xBF) {
    if (at >= text.size()) return false;
    auto byte = static_cast<unsigned char>(text[at]);
    return byte >= low && byte <= high;
  };
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      i += 1;
      units += 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      if (!continuation(i + 1)) return -1;
      i += 2;
      units += 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
      unsigned char high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
      if (!continuation(i + 1, low, high) || !continuation(i + 2)) return -1;
      i += 3;
      units += 1;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      unsigned char low = lead == 0xF0 ? 0x90 : 0x80;   // no overlong forms
      unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
      if (!continuation(i + 1, low, high) || !continuation(i + 2) || !continuation(i + 3)) {
        return -1;
      }
      i += 4;
      units += 2;  // a surrogate pair
    } else {
      return -1;
    }
  }
  return units;
}

bool IsFrenchLocale(std::string_view locale) {
  // The language is the part before the territory, codeset or modifier: "fr_CA.UTF-8@euro".
  std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
  return language.size() == 2 && (language[0] == 'f' || language[0] == 'F') &&
         (language[1] == 'r' || language[1] == 'R');
}

}  // namespace

// ---- Lookup ----

std::string Tr(std::string_view key) {
  bool french = g_french.load(std::memory_order_relaxed);
  const TranslationTable& current = french ? FrenchTable() : EnglishTable();
  if (auto it = current.find(key); it != current.end()) return it->second;
  const TranslationTable& other = french ? EnglishTable() : FrenchTable();
  if (auto it = other.find(key); it != other.end()) return it->second;
  // No entry: the key itself, within the limit a text of the program may have.
  std::ptrdiff_t units = Utf16Length(key);
  if (units < 0 || units > static_cast<std::ptrdiff_t>(kControlTextUnits)) return std::string();
  return std::string(key);
}

std::string Tr(const char* key) {
  if (key == nullptr) return std::string();
  return Tr(std::string_view(key));
}

// ---- Language ----

void SetLanguage(const char* code) {
  if (code == nullptr) return;
  SetLanguage(std::string_view(code));
}

void SetLanguage(std::string_view code) {
  g_french.store(code == "fr", std::memory_order_relaxed);
}

const char* CurrentLanguage() { return g_french.load(std::memory_order_relaxed) ? "fr" : "en"; }

std::string DetectUiLanguageFrom(const char* lc_all, const char* lc_messages, const char* lang) {
  for (const char* value : {lc_all, lc_messages, lang}) {
    if (value != nullptr && *value != '\0') return IsFrenchLocale(value) ? "fr" : "en";
  }
  return "en";
}

std::string DetectUiLanguage() {
  return DetectUiLanguageFrom(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                              std::getenv("LANG"));
}

std::string ApplyLanguageSetting(std::string_view setting) {
  std::string chosen = setting.empty() ? DetectUiLanguage() : std::string(setting);
  SetLanguage(chosen);
  return chosen;
}

// ---- Tables ----

void RegisterTranslation(const char* language, const char* key, const char* text) {
  if (language == nullptr || key == nullptr || text == nullptr) return;
  TranslationTable* table = TableFor(language);
  if (table == nullptr) return;
  table->insert_or_assign(std::string(key), std::string(text));
  std::string_view whole(key);
  if (std::size_t tab = whole.find('\t'); tab != std::string_view::npos && tab > 0) {
    MenuKeys().try_emplace(std::string(whole.substr(0, tab)), whole);
  }
}

void LoadTranslationTables() {
  for (const BuiltinTranslation& entry : BuiltinTranslations()) {
    RegisterTranslation("en", entry.key, entry.english != nullptr ? entry.english : entry.key);
    RegisterTranslation("fr", entry.key, entry.french);
  }
}

const std::string* FindTranslation(std::string_view language, std::string_view key) {
  const TranslationTable* table = TableFor(language);
  if (table == nullptr) return nullptr;
  auto it = table->find(key);
  return it == table->end() ? nullptr : &it->second;
}

std::vector<std::string> TranslationKeys(std::string_view language) {
  std::vector<std::string> keys;
  if (const TranslationTable* table = TableFor(language)) {
    keys.reserve(table->size());
    for (const auto& [key, text] : *table) keys.push_back(key);
  }
  return keys;
}

// ---- Texts of controls and menu items ----

bool TranslateControlText(std::string_view text, std::size_t max_units, std::string& translated) {
  if (text.empty() || text.size() > kControlTextBytes) return false;
  std::ptrdiff_t units = Utf16Length(text);
  if (units < 0 || static_cast<std::size_t>(units) > max_units) return false;
  std::string result = Tr(text);
  if (result == text) return false;
  translated = std::move(result);
  return true;
}

std::string MenuKeyWithShortcut(std::string_view text) {
  if (text.empty() || text.find('\t') != std::string_view::npos) return std::string();
  const TranslationTable& keys = MenuKeys();
  auto it = keys.find(text);
  return it == keys.end() ? std::string() : it->second;
}
