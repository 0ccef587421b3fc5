// Registry value readers that never raise: a value that is missing, of the
// wrong type or unreadable for any other reason gives the default.
#pragma once

#include <string>
#include <string_view>

#include "sys/registry.h"

namespace dk {

// A string value (REG_SZ or REG_EXPAND_SZ).
std::string RegReadString(const TRegistry& reg, std::string_view name,
                          std::string_view defaultValue);
// A DWORD value; any number but 0 is true.
bool RegReadBool(const TRegistry& reg, std::string_view name, bool defaultValue);
// A DWORD value.
int RegReadInteger(const TRegistry& reg, std::string_view name, int defaultValue);

}  // namespace dk
