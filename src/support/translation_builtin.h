// The built-in entries of the two translation tables. The definition is generated at build time
// from src/support/translations/fr.po and en.po by scripts/compile_translations.py.
#pragma once

#include <span>

struct BuiltinTranslation {
  const char* key;      // the English text as the program writes it (or a BTN_/LANG_ name)
  const char* english;  // the English text when it differs from the key, else null
  const char* french;
};

// Every entry, in the order in which the tables are filled.
std::span<const BuiltinTranslation> BuiltinTranslations();
