#include "ui/controls.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "sys/text.h"
#include "ui/terminal_view.h"

namespace dk {

namespace {

struct TColorName {
  const char* Name;
  TColor Value;
};

constexpr TColor SystemColor(int index) {
  return static_cast<TColor>(0xFF000000u | index);
}

const TColorName kColors[] = {
    {"clBlack", 0x000000},
    {"clMaroon", 0x000080},
    {"clGreen", 0x008000},
    {"clOlive", 0x008080},
    {"clNavy", 0x800000},
    {"clPurple", 0x800080},
    {"clTeal", 0x808000},
    {"clGray", 0x808080},
    {"clSilver", 0xC0C0C0},
    {"clRed", 0x0000FF},
    {"clLime", 0x00FF00},
    {"clYellow", 0x00FFFF},
    {"clBlue", 0xFF0000},
    {"clFuchsia", 0xFF00FF},
    {"clAqua", 0xFFFF00},
    {"clWhite", 0xFFFFFF},
    {"clMoneyGreen", 0xC0DCC0},
    {"clSkyBlue", 0xF0CAA6},
    {"clCream", 0xF0FBFF},
    {"clMedGray", 0xA4A0A0},
    {"clNone", 0x1FFFFFFF},
    {"clDefault", 0x20000000},
    {"clScrollBar", SystemColor(0)},
    {"clBackground", SystemColor(1)},
    {"clActiveCaption", SystemColor(2)},
    {"clInactiveCaption", SystemColor(3)},
    {"clMenu", SystemColor(4)},
    {"clWindow", SystemColor(5)},
    {"clWindowFrame", SystemColor(6)},
    {"clMenuText", SystemColor(7)},
    {"clWindowText", SystemColor(8)},
    {"clCaptionText", SystemColor(9)},
    {"clActiveBorder", SystemColor(10)},
    {"clInactiveBorder", SystemColor(11)},
    {"clAppWorkSpace", SystemColor(12)},
    {"clHighlight", SystemColor(13)},
    {"clHighlightText", SystemColor(14)},
    {"clBtnFace", SystemColor(15)},
    {"clBtnShadow", SystemColor(16)},
    {"clGrayText", SystemColor(17)},
    {"clBtnText", SystemColor(18)},
    {"clInactiveCaptionText", SystemColor(19)},
    {"clBtnHighlight", SystemColor(20)},
    {"cl3DDkShadow", SystemColor(21)},
    {"cl3DLight", SystemColor(22)},
    {"clInfoText", SystemColor(23)},
    {"clInfoBk", SystemColor(24)},
};

}  // namespace

TColor StringToColor(const std::string& text) {
  const std::string t = Trim(text);
  for (const auto& c : kColors)
    if (SameText(t, c.Name)) return c.Value;
  std::string digits = t;
  bool negative = false;
  if (!digits.empty() && digits[0] == '-') {
    negative = true;
    digits.erase(0, 1);
  }
  int base = 10;
  if (!digits.empty() && digits[0] == '$') {
    base = 16;
    digits.erase(0, 1);
  } else if (digits.size() > 1 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.erase(0, 2);
  }
  if (digits.empty() || digits.size() > 10)
    throw std::invalid_argument("'" + t + "' ist kein gültiger Farbwert");
  char* end = nullptr;
  const unsigned long long v = std::strtoull(digits.c_str(), &end, base);
  if (*end != '\0' || v > 0xFFFFFFFFull)
    throw std::invalid_argument("'" + t + "' ist kein gültiger Farbwert");
  const auto value = static_cast<TColor>(static_cast<uint32_t>(v));
  return negative ? -value : value;
}

void TFont::SetHeight(int height) {
  FHeight = height;
  Changed();
}

// Points at 120 pixels per inch: height = -size * 120 / 72.
int TFont::Size() const {
  return -FHeight * 72 / 120;
}

void TFont::SetSize(int points) {
  FHeight = -(points * 120 + 36) / 72;
  Changed();
}

void TFont::EndUpdate() {
  if (FUpdating > 0) --FUpdating;
  if (FUpdating == 0) Changed();
}

void TFont::Changed() {
  if (FUpdating == 0 && OnChange) OnChange();
}

TControl::TControl(TForm* owner) : TComponent(owner), FForm(owner) {}

void TControl::SetVisible(bool visible) {
  if (FVisible == visible) return;
  FVisible = visible;
  Invalidate();
}

void TControl::Invalidate() {
  if (FForm && FForm->Visible() && Application) Application->Invalidate();
}

void TLabel::SetCaption(std::string caption) {
  FCaption = std::move(caption);
  Invalidate();
}

// The average character of a proportional font is about half its height wide.
int TLabel::WidthInChars() const {
  const int avg = std::max(1, (std::abs(Font.Height()) + 1) / 2);
  return std::max(1, Width / avg);
}

void TProgressBar::SetMin(int v) {
  FMin = v;
  if (FMax < FMin) FMax = FMin;
  SetPosition(FPosition);
}

void TProgressBar::SetMax(int v) {
  FMax = v;
  if (FMin > FMax) FMin = FMax;
  SetPosition(FPosition);
}

void TProgressBar::SetPosition(int v) {
  const int clamped = std::clamp(v, FMin, FMax);
  if (clamped == FPosition) return;
  FPosition = clamped;
  Invalidate();
}

void TProgressBar::StepBy(int delta) {
  const long long next = static_cast<long long>(FPosition) + delta;
  SetPosition(static_cast<int>(std::clamp<long long>(next, FMin, FMax)));
}

void TProgressBar::SetDetail(const std::string& text) {
  if (text == FDetail) return;
  FDetail = text;
  Invalidate();
}

void TMemo::Append(const std::string& line) {
  FLines.Add(line);
  Invalidate();
}

void TMemo::Clear() {
  FLines.Clear();
  Invalidate();
}

TForm::TForm(TComponent* owner) : TComponent(owner) {
  if (!Application) throw std::logic_error("Forms need the application object");
  FHandle = Application->NextHandle();
  Application->RegisterForm(this);
}

TForm::~TForm() {
  DoDestroy();
}

void TForm::DoDestroy() {
  if (FDestroyed) return;
  FDestroyed = true;
  if (OnDestroy) OnDestroy();
  if (Application) Application->UnregisterForm(this);
  DestroyComponents();
}

void TForm::DoCreate() {
  if (OnCreate) OnCreate();
}

void TForm::Show() {
  FVisible = true;
  if (Application) Application->Invalidate();
  if (OnShow) OnShow();
}

void TForm::Hide() {
  FVisible = false;
  if (Application) Application->Invalidate();
}

void TForm::Close() {
  if (OnClose) OnClose();
  Hide();
  if (Application && Application->MainForm() == this) Application->Terminate();
}

void TForm::Repaint() {
  if (Application && Application->TerminalView()) {
    Application->TerminalView()->Invalidate();
    Application->TerminalView()->Refresh(false);
  }
}

void TForm::WndProc(TMessage& msg) {
  if (msg.Msg == WM_CLOSE) Close();
}

std::vector<TControl*> TForm::Controls() const {
  std::vector<TControl*> result;
  for (TComponent* c : Components())
    if (auto* ctl = dynamic_cast<TControl*>(c)) result.push_back(ctl);
  return result;
}

std::string MinimizeName(const std::string& path, int widthChars) {
  if (widthChars <= 0) return std::string();
  if (static_cast<int>(Utf8Length(path)) <= widthChars) return path;
  // Keep the root ("/", "C:\" or "\\server\share\"-like prefix is not special
  // here) and drop leading directories one by one behind "...".
  const char sep = path.find('/') != std::string::npos ? '/' : '\\';
  std::string rest = path;
  std::string head;
  if (!rest.empty() && rest[0] == sep) {
    head = std::string(1, sep);
    rest.erase(0, 1);
  }
  while (true) {
    const size_t cut = rest.find(sep);
    if (cut == std::string::npos) break;
    rest.erase(0, cut + 1);
    const std::string candidate = head + "..." + sep + rest;
    if (static_cast<int>(Utf8Length(candidate)) <= widthChars) return candidate;
  }
  // The file name alone is too long: keep its end.
  std::string name = "..." + std::string(1, sep) + rest;
  if (static_cast<int>(Utf8Length(name)) <= widthChars) return name;
  const size_t keep = static_cast<size_t>(std::max(0, widthChars - 3));
  const size_t len = Utf8Length(rest);
  std::string tail = rest;
  // Drop characters from the front until `keep` remain.
  for (size_t drop = len > keep ? len - keep : 0; drop > 0; --drop) {
    size_t i = 1;
    while (i < tail.size() && (static_cast<unsigned char>(tail[i]) & 0xC0) == 0x80) ++i;
    tail.erase(0, i);
  }
  return widthChars >= 3 ? "..." + tail : Utf8Left(tail, static_cast<size_t>(widthChars));
}

}  // namespace dk
