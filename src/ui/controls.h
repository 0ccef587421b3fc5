// Forms and the components placed on them, as plain objects with the
// properties the system sets. What a visible form shows is drawn by the
// terminal view; a change only marks the view for a (throttled) redraw.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sys/string_list.h"
#include "ui/application.h"
#include "ui/component.h"

namespace dk {

enum TFontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = uint8_t;

enum TFontPitch { fpDefault = 0, fpVariable = 1, fpFixed = 2 };

using TColor = int32_t;

// A colour text as the system writes it: a colour name (clBlack,
// clWindowText, ...) or a number (decimal, or hexadecimal after "$" or "0x").
// Throws std::invalid_argument for anything else.
TColor StringToColor(const std::string& text);

class TFont {
 public:
  std::string Name = "MS Sans Serif";
  // Height in pixels (negative: character height) and size in points are two
  // views of one value at 120 pixels per inch.
  int Height() const { return FHeight; }
  void SetHeight(int height);
  int Size() const;
  void SetSize(int points);
  TFontStyles Style = 0;
  TFontPitch Pitch = fpDefault;
  TColor Color = -16777208;  // clWindowText
  int Charset = 1;           // DEFAULT_CHARSET

  // Change notification: while updates are suspended no OnChange fires;
  // EndUpdate signals one change.
  std::function<void()> OnChange;
  void BeginUpdate() { ++FUpdating; }
  void EndUpdate();
  void Changed();

 private:
  int FHeight = -13;
  int FUpdating = 0;
};

class TForm;

class TControl : public TComponent {
 public:
  TControl(TForm* owner);
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool Enabled = true;
  std::string Hint;
  int HelpContext = 0;
  TFont Font;

  bool Visible() const { return FVisible; }
  void SetVisible(bool visible);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  TForm* Form() const { return FForm; }

 protected:
  void Invalidate();

 private:
  TForm* FForm;
  bool FVisible = true;
};

class TLabel : public TControl {
 public:
  using TControl::TControl;
  bool AutoSize = true;
  const std::string& Caption() const { return FCaption; }
  void SetCaption(std::string caption);
  // Characters that fit the label's width in its font.
  int WidthInChars() const;

 private:
  std::string FCaption;
};

class TProgressBar : public TControl {
 public:
  using TControl::TControl;
  int Min() const { return FMin; }
  int Max() const { return FMax; }
  int Position() const { return FPosition; }
  int Step = 10;
  void SetMin(int v);
  void SetMax(int v);
  // Clamped to Min..Max.
  void SetPosition(int v);
  // Advances by Step; the bar stops at Max.
  void StepIt() { StepBy(Step); }
  void StepBy(int delta);
  // A line of detail drawn below the bar (what is being counted, the rate,
  // the time left); empty for none.
  const std::string& Detail() const { return FDetail; }
  void SetDetail(const std::string& text);

 private:
  int FMin = 0, FMax = 100, FPosition = 0;
  std::string FDetail;
};

class TMemo : public TControl {
 public:
  using TControl::TControl;
  const TStringList& Lines() const { return FLines; }
  void Append(const std::string& line);
  void Clear();

 private:
  TStringList FLines;
};

class TButton : public TControl {
 public:
  using TControl::TControl;
  std::string Caption;
  bool Cancel = false;  // answers Esc
  bool Default = false;
  bool TabStop = true;
  std::function<void()> OnClick;
  void Click() {
    if (OnClick && Enabled) OnClick();
  }
};

enum TBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
enum TFormStyle { fsNormal, fsStayOnTop };
enum TWindowState { wsNormal, wsMinimized, wsMaximized };
enum TPosition { poDesigned, poDefault, poScreenCenter, poMainFormCenter };

class TForm : public TComponent {
 public:
  explicit TForm(TComponent* owner);
  ~TForm() override;

  THandle Handle() const { return FHandle; }
  std::string Caption;
  int Left = 0, Top = 0, Width = 0, Height = 0;
  int ClientWidth = 0, ClientHeight = 0;
  TBorderStyle BorderStyle = bsSizeable;
  TFormStyle FormStyle = fsNormal;
  TWindowState WindowState = wsNormal;
  TPosition Position = poDesigned;
  TFont Font;

  std::function<void()> OnCreate;
  std::function<void()> OnShow;
  std::function<void()> OnClose;
  std::function<void()> OnDeactivate;
  std::function<void()> OnDestroy;

  // Fires OnCreate; the derived form's constructor calls it once its
  // components exist, as the system's form loading does.
  void DoCreate();
  bool Visible() const { return FVisible; }
  // Makes the form visible and fires OnShow (also when it was visible).
  void Show();
  // Hides the form and fires OnClose; closing the main form ends the loop.
  void Close();
  void Hide();
  // Asks the terminal view to draw the form now.
  void Repaint();
  void Update() { Repaint(); }

  // Handles a dispatched message; WM_CLOSE closes the form.
  virtual void WndProc(TMessage& msg);
  // Controls in creation order.
  std::vector<TControl*> Controls() const;
  // Called by the destructor of the most derived form before its members go.
  void DoDestroy();

 private:
  THandle FHandle;
  bool FVisible = false;
  bool FDestroyed = false;
};

// Shortens a path for a label `widthChars` characters wide: leading
// directories give way to "..." until the text fits; the file name is kept
// (and cut from the left only when it alone does not fit).
std::string MinimizeName(const std::string& path, int widthChars);

}  // namespace dk
