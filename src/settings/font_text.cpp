#include "settings/font_text.h"

#include "sys/ini_file.h"
#include "sys/text.h"

namespace dk {

std::string NextToken(std::string_view text, int& pos, std::string_view delimiters) {
  const auto start = static_cast<size_t>(pos < 1 ? 0 : pos - 1);
  if (start >= text.size()) {
    pos = static_cast<int>(text.size()) + 1;
    return {};
  }
  const size_t end = text.find_first_of(delimiters, start);
  if (end == std::string_view::npos) {
    pos = static_cast<int>(text.size()) + 1;
    return std::string(text.substr(start));
  }
  pos = static_cast<int>(end) + 2;
  return std::string(text.substr(start, end - start));
}

TFontStyles StyleFromText(std::string_view field) {
  const std::string s = AnsiUpperCase(field);
  TFontStyles style = 0;
  if (s.find('B') != std::string::npos) style |= fsBold;
  if (s.find('I') != std::string::npos) style |= fsItalic;
  if (s.find('U') != std::string::npos) style |= fsUnderline;
  if (s.find('S') != std::string::npos) style |= fsStrikeOut;
  return style;
}

void FontFromText(std::string_view text, TFont& font) {
  font.BeginUpdate();
  struct TEndUpdate {
    TFont& Font;
    ~TEndUpdate() { Font.EndUpdate(); }
  } endUpdate{font};

  int pos = 1;
  int field = 0;
  while (pos <= static_cast<int>(text.size())) {
    const std::string token = Trim(NextToken(text, pos, ",;"));
    switch (++field) {
      case 1:
        if (!token.empty()) font.Name = token;
        break;
      case 2:
        // Not re-set when it is no number: points and pixels round differently.
        if (auto size = ParseIniInteger(token)) font.SetSize(*size);
        break;
      case 3:
        font.Style = StyleFromText(token);
        break;
      case 4: {
        const int pitch = ParseIniInteger(token).value_or(font.Pitch);
        if (pitch >= fpDefault && pitch <= fpFixed) font.Pitch = static_cast<TFontPitch>(pitch);
        break;
      }
      case 5:
        font.Color = StringToColor(token);
        break;
      case 6:
        font.Charset = ParseIniInteger(token).value_or(font.Charset);
        break;
      default:
        break;  // further fields are ignored
    }
  }
}

}  // namespace dk
