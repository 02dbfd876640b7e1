// Reading the description texts (FDL) that slots hand out for a plugged unit. The board's
// templates write them as key=value items separated by ';' or new lines, for example
// "modelName=DPS550AB6A;serialNum=GTVD1615001656".
#pragma once

#include <initializer_list>
#include <map>
#include <string>

namespace Host {

using Fdl = std::map<std::string, std::string>;

// Items without '=' (or ':' as a fallback separator) and items with an empty key are
// ignored; keys and values lose surrounding blanks; a later item replaces an earlier one.
Fdl parseFdl(const std::string& text);

// The value of the first of `keys` that the description holds, or "" when none does.
std::string fdlValue(const Fdl& fdl, std::initializer_list<const char*> keys);

}  // namespace Host
