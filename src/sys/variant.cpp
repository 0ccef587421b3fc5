#include "sys/variant.h"

#include <charconv>
#include <cmath>

namespace dk {

TVariant TVariant::Bytes(std::string bytes) {
  TVariant v;
  v.FValue = TBytesBox{std::move(bytes)};
  return v;
}

void TVariant::SetText(std::string_view v) {
  if (auto* s = std::get_if<std::string>(&FValue))
    s->assign(v.data(), v.size());
  else
    FValue = std::string(v);
}

void TVariant::SetBytes(std::string_view v) {
  if (auto* b = std::get_if<TBytesBox>(&FValue))
    b->Data.assign(v.data(), v.size());
  else
    FValue = TBytesBox{std::string(v)};
}

std::string FloatToText(double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
  if (v == std::floor(v) && std::fabs(v) < 1e15) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(v));
    return std::string(buf, r.ptr);
  }
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  for (char& c : s)
    if (c == 'e') c = 'E';
  return s;
}

std::string TVariant::ToString() const {
  switch (Type()) {
    case TVarType::Null:
      return {};
    case TVarType::Integer:
      return std::to_string(Integer());
    case TVarType::Float:
      return FloatToText(Float());
    case TVarType::Boolean:
      return Boolean() ? "True" : "False";
    case TVarType::Text:
      return Text();
    case TVarType::Bytes:
      return BytesData();
    case TVarType::DateTime:
      return DateTime().IsoTextDateOnlyAtMidnight();
  }
  return {};
}

}  // namespace dk
