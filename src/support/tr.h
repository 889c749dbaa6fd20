// Translation of the program's texts. Every text shown or spoken is written in English in the
// code and passes through Tr. Until the translation tables are loaded, Tr returns the English
// text itself.
#pragma once

#include <string>
#include <string_view>

std::string Tr(std::string_view english);
