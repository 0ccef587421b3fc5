// The settings every form of the product applies when it is created and
// stores when it is destroyed: its font from the configuration and, for a
// sizeable form, its position and size below
// HKEY_CURRENT_USER\ComponentSettingsKey + form name ("FormLeft", "FormTop",
// "FormWidth", "FormHeight", "StayOnTop", DWORD values). User-interface
// thread only.
#pragma once

#include <string>
#include <string_view>

#include "ui/controls.h"

namespace dk {

// Applies Configuration->FormFont unless the system font is used (an invalid
// font text is logged with "Fehlerhafe Angabe für Formular-Schriftart" and
// the design font stays), then, for a sizeable form, the stored position,
// size and stay-on-top state; missing values keep the designed ones. There is
// no menu and toolbar manager on this platform.
void RestoreFormSettings(TForm& form);

// Stores a sizeable form's position and size when its window state is
// normal; a minimized or maximized form stores nothing. Called from
// destruction handlers, so a hive that cannot be written is logged, not
// raised.
void SaveFormSettings(TForm& form);

// The text with its first character in upper case ("ärger" -> "Ärger").
std::string CapitalizeFirst(std::string_view text);

}  // namespace dk
