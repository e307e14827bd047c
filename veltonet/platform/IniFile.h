#pragma once

#include <string>

namespace veltonet {

// Reads one value of an ini file, comparing section and key names without regard to case.
// Missing file, section or key: the default (null reads as ""); a key with an empty value
// gives "". Surrounding blanks of the value are removed, then one pair of enclosing quotes
// (single or double), as the Windows profile functions do. The first matching key wins. A
// line too long for the parser (about 195 characters) reads as absent, never cut short.
std::string ReadIniString(const std::string& file, const char* section, const char* key,
                          const char* defaultValue);

}  // namespace veltonet
