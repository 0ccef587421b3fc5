#include "settings/reg_tool.h"

namespace dk {

std::string RegReadString(const TRegistry& reg, std::string_view name,
                          std::string_view defaultValue) {
  try {
    if (reg.ValueExists(name)) return reg.ReadString(name);
  } catch (...) {
  }
  return std::string(defaultValue);
}

bool RegReadBool(const TRegistry& reg, std::string_view name, bool defaultValue) {
  try {
    if (reg.ValueExists(name)) return reg.ReadBool(name);
  } catch (...) {
  }
  return defaultValue;
}

int RegReadInteger(const TRegistry& reg, std::string_view name, int defaultValue) {
  try {
    if (reg.ValueExists(name)) return reg.ReadInteger(name);
  } catch (...) {
  }
  return defaultValue;
}

}  // namespace dk
