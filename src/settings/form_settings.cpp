#include "settings/form_settings.h"

#include <unicode/utf8.h>

#include "settings/configuration.h"
#include "settings/error_log.h"
#include "settings/font_text.h"
#include "settings/locations.h"
#include "settings/reg_tool.h"
#include "sys/registry.h"
#include "sys/text.h"

namespace dk {

void RestoreFormSettings(TForm& form) {
  if (Configuration && !Configuration->UseSystemFont) {
    // Applied to a copy first: a text that fails half-way must leave the
    // design font as it was.
    TFont font = form.Font;
    font.OnChange = nullptr;
    try {
      FontFromText(Configuration->FormFont, font);
      auto onChange = std::move(form.Font.OnChange);
      form.Font = font;
      form.Font.OnChange = std::move(onChange);
      form.Font.Changed();
    } catch (const std::exception&) {
      WriteErrorLog("Fehlerhafe Angabe für Formular-Schriftart");
    }
  }
  if (form.BorderStyle == bsSizeable) {
    TRegistry reg(TRootKey::CurrentUser);
    if (reg.OpenKeyReadOnly(ComponentSettingsKey + form.Name)) {
      form.Position = poDesigned;
      form.Left = RegReadInteger(reg, "FormLeft", form.Left);
      form.Top = RegReadInteger(reg, "FormTop", form.Top);
      form.Width = RegReadInteger(reg, "FormWidth", form.Width);
      form.Height = RegReadInteger(reg, "FormHeight", form.Height);
      form.FormStyle =
          RegReadBool(reg, "StayOnTop", form.FormStyle == fsStayOnTop) ? fsStayOnTop : fsNormal;
      reg.CloseKey();
    }
  }
}

void SaveFormSettings(TForm& form) {
  if (form.WindowState != wsNormal || form.BorderStyle != bsSizeable) return;
  TRegistry reg(TRootKey::CurrentUser);
  try {
    if (!reg.OpenKey(ComponentSettingsKey + form.Name, true)) {
      WriteErrorLog("Formularposition von " + form.Name + " konnte nicht gespeichert werden");
      return;
    }
    reg.WriteInteger("FormLeft", form.Left);
    reg.WriteInteger("FormTop", form.Top);
    reg.WriteInteger("FormWidth", form.Width);
    reg.WriteInteger("FormHeight", form.Height);
    reg.WriteBool("StayOnTop", form.FormStyle == fsStayOnTop);
  } catch (const std::exception& e) {
    WriteErrorLog(e.what());
  }
  reg.CloseKey();
}

std::string CapitalizeFirst(std::string_view text) {
  if (text.empty()) return {};
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  int32_t i = 0;
  UChar32 c;
  U8_NEXT(p, i, static_cast<int32_t>(text.size()), c);
  (void)c;
  const auto first = static_cast<size_t>(i);
  return AnsiUpperCase(text.substr(0, first)) + std::string(text.substr(first));
}

}  // namespace dk
