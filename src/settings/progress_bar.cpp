#include "settings/progress_bar.h"

#include "settings/form_settings.h"
#include "ui/message_box.h"

namespace dk {

TFormProgressBar::TFormProgressBar(TComponent* owner) : TForm(owner) {
  Name = "FormProgressBar";
  Caption = "Bitte warten...";
  BorderStyle = bsDialog;
  ClientWidth = 425;
  ClientHeight = 75;
  Width = ClientWidth;
  Height = ClientHeight;
  Position = poScreenCenter;
  Font.Name = "MS Sans Serif";
  Font.SetHeight(-13);

  ProgressBar = new TProgressBar(this);
  ProgressBar->Name = "ProgressBar";
  ProgressBar->Left = 16;
  ProgressBar->Top = 28;
  ProgressBar->Width = 401;
  ProgressBar->Height = 17;
  ProgressBar->SetMin(0);
  ProgressBar->SetMax(100);
  ProgressBar->Step = 1;
  ProgressBar->Hint = "Fortschritt der Bearbeitung";
  ProgressBar->HelpContext = 107;

  LabelBottom = new TLabel(this);
  LabelBottom->Name = "LabelBottom";
  LabelBottom->Left = 16;
  LabelBottom->Top = 56;
  LabelBottom->Width = 393;
  LabelBottom->Height = 18;
  LabelBottom->AutoSize = false;
  LabelBottom->Hide();

  LabelTop = new TLabel(this);
  LabelTop->Name = "LabelTop";
  LabelTop->Left = 16;
  LabelTop->Top = 2;
  LabelTop->Width = 393;
  LabelTop->Height = 18;
  LabelTop->AutoSize = false;
  LabelTop->Hide();

  BtnCancel = new TButton(this);
  BtnCancel->Name = "BtnCancel";
  BtnCancel->Left = 336;
  BtnCancel->Top = 24;
  BtnCancel->Width = 81;
  BtnCancel->Height = 25;
  BtnCancel->Caption = "Abbrechen";
  BtnCancel->Cancel = true;
  BtnCancel->TabStop = false;
  BtnCancel->Hide();
  BtnCancel->OnClick = [this] { BtnCancelClick(); };

  OnCreate = [this] { FormCreate(); };
  OnShow = [this] { FormShow(); };
  OnClose = [this] { FormClose(); };
  OnDeactivate = [this] { FormDeactivate(); };
  OnDestroy = [this] { FormDestroy(); };
  DoCreate();
}

TFormProgressBar::~TFormProgressBar() {
  DoDestroy();  // the handlers reach into this window's members
}

void TFormProgressBar::FormCreate() {
  RestoreFormSettings(*this);
  FBarWidth = ProgressBar->Width;
  BtnCancel->Hide();
}

void TFormProgressBar::FormShow() {
  FCancelled = false;
  ProgressBar->SetPosition(0);
  BtnCancel->Enabled = true;
  if (BtnCancel->Visible())
    ProgressBar->Width = BtnCancel->Left - ProgressBar->Left - 6;  // ends 6 pixels before it
  else
    ProgressBar->Width = FBarWidth;
}

void TFormProgressBar::FormClose() {
  LabelTop->SetCaption("");
  LabelTop->Hide();
  LabelBottom->SetCaption("");
  LabelBottom->Hide();
  BtnCancel->Hide();
  Caption = CapitalizeFirst("bitte warten");
}

void TFormProgressBar::FormDeactivate() {
  // Stays in front of the program's other windows while it is shown; a
  // failure to come back is of no consequence.
  try {
    if (Visible()) Repaint();
  } catch (...) {
  }
}

void TFormProgressBar::FormDestroy() {
  SaveFormSettings(*this);
}

void TFormProgressBar::BtnCancelClick() {
  FCancelled = MessageDlg("Möchten Sie wirklich abbrechen?", mtConfirmation, mbYes | mbNo) == mrYes;
}

void TFormProgressBar::SetStatusText(const std::string& text) {
  LabelTop->SetCaption(text);
  Repaint();
}

void TFormProgressBar::SetFileName(const std::string& fileName) {
  LabelBottom->SetCaption(MinimizeName(fileName, LabelBottom->WidthInChars()));
  Repaint();
}

}  // namespace dk
