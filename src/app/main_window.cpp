#include "app/main_window.h"

#include <sys/stat.h>

#include <iostream>

#include "ui/message_box.h"
#include "ui/terminal_view.h"

namespace dk {

namespace {

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

std::string LogFileName(const std::string& targetDb) {
  const size_t slash = targetDb.find_last_of('/');
  const size_t dot = targetDb.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    return targetDb.substr(0, dot) + ".log";
  return targetDb + ".log";
}

TFormArcport5Main::TFormArcport5Main(TComponent* owner, std::vector<std::string> args)
    : TForm(owner), FArgs(std::move(args)) {
  Name = "FormArcport5Main";
  Caption = "Dokalon Konverter für V 5.0 Paradox-Archive";
  BorderStyle = bsToolWindow;
  ClientWidth = 688;
  ClientHeight = 391;
  Font.Name = "MS Sans Serif";
  Font.SetHeight(-13);

  LabelSrc = new TLabel(this);
  LabelSrc->Name = "LabelSrc";
  LabelSrc->AutoSize = false;
  LabelSrc->Left = 24;
  LabelSrc->Top = 16;
  LabelSrc->Width = 641;
  LabelSrc->Height = 19;

  LabelDst = new TLabel(this);
  LabelDst->Name = "LabelDst";
  LabelDst->AutoSize = false;
  LabelDst->Left = 16;
  LabelDst->Top = 44;
  LabelDst->Width = 649;
  LabelDst->Height = 19;

  ProgressBar = new TProgressBar(this);
  ProgressBar->Name = "ProgressBar";
  ProgressBar->Left = 16;
  ProgressBar->Top = 76;
  ProgressBar->Width = 649;
  ProgressBar->Height = 16;
  ProgressBar->SetMin(0);
  ProgressBar->SetMax(100);
  ProgressBar->Step = 1;

  LabelInfo = new TLabel(this);
  LabelInfo->Name = "LabelInfo";
  LabelInfo->AutoSize = false;
  LabelInfo->Left = 16;
  LabelInfo->Top = 104;
  LabelInfo->Width = 649;
  LabelInfo->Height = 19;

  MemoLog = new TMemo(this);
  MemoLog->Name = "MemoLog";
  MemoLog->Left = 16;
  MemoLog->Top = 136;
  MemoLog->Width = 649;
  MemoLog->Height = 185;

  FBdeQuerySrc = std::make_unique<TParadoxQuery>();
  BdeQuerySrc = FBdeQuerySrc.get();
  FAdoConnectionDst = std::make_unique<TConnection>();
  AdoConnectionDst = FAdoConnectionDst.get();
  FAdoQueryDst = std::make_unique<TQuery>();
  AdoQueryDst = FAdoQueryDst.get();
  AdoQueryDst->SetName("AdoQueryDst");
  AdoQueryDst->SetConnection(AdoConnectionDst);

  OnCreate = [this] { FormCreate(); };
  OnShow = [this] { FormShow(); };
  // The archive and its document-type partner, as designed: the partner is
  // there only because the archive requires one; it is never opened.
  DkArchiveDst = new TDkArchive(this);
  DkArchiveDst->Name = "DkArchiveDst";
  ApplDatabaseDummy = new TApplDatabase(this);
  ApplDatabaseDummy->Name = "ApplDatabaseDummy";
  DkArchiveDst->SetApplDatabase(ApplDatabaseDummy);
  DkArchiveDst->SyncCreateBackup = false;
  DkArchiveDst->SyncDataPriority = sdpMainDB;
  DkArchiveDst->SyncFilePriority = sfpUserDlg;

  DoCreate();
}

TFormArcport5Main::~TFormArcport5Main() {
  if (Application) Application->OnMessage = nullptr;
  DoDestroy();
}

void TFormArcport5Main::FormCreate() {
  FRunPending = true;
  Application->OnMessage = [this](TMessage& msg) { return AppMessage(msg); };
}

void TFormArcport5Main::FormShow() {
  Application->PostMessage(Handle(), WM_APP, kStartRunParam, 0);
}

bool TFormArcport5Main::AppMessage(TMessage& msg) {
  if (msg.Msg != WM_APP || msg.WParam != kStartRunParam) return false;
  if (FRunPending) RunConversion();
  Close();
  return true;
}

void TFormArcport5Main::RunConversion() {
  FRunPending = false;
  if (FArgs.size() < 2) {
    MessageDlg(
        "Dieses Programm wird vom Dokalon für die Datenübernahme aus Version 5.0 verwendet. Eine "
        "andere Verwendung ist nicht vorgesehen. Das Programm wird jetzt beendet.",
        mtInformation, mbOK);
    return;
  }
  SetSourceDir(FArgs[0]);
  FTargetDb = FArgs[1];
  if (!DirectoryExists(FSourceDir)) {
    MessageDlg("Das Quellverzeichnis \"" + FSourceDir + "\" ist nicht vorhanden.", mtError, mbOK);
    return;
  }
  if (!FileExists(FTargetDb)) {
    MessageDlg("Die Zieldatenbank \"" + FTargetDb + "\" ist nicht vorhanden.", mtError, mbOK);
    return;
  }
  LabelSrc->SetCaption(MinimizeName(FSourceDir, LabelSrc->WidthInChars()));
  LabelDst->SetCaption(MinimizeName(FTargetDb, LabelDst->WidthInChars()));

  FPrepared = false;
  try {
    ConvertArchive();
  } catch (...) {
    // A failure that escapes after the preparation still leaves the log.
    if (FPrepared) MemoLog->Lines().SaveToFile(LogFileName(FTargetDb));
    throw;
  }
  MemoLog->Lines().SaveToFile(LogFileName(FTargetDb));
}

void TFormArcport5Main::SetSourceDir(const std::string& dir) {
  FSourceDir = dir;
  if (FSourceDir.empty() || FSourceDir.back() != '/') FSourceDir += '/';
}

void TFormArcport5Main::AddLog(const std::string& text) {
  LabelInfo->SetCaption(text);
  MemoLog->Append(text);
  if (OnAddLog) OnAddLog(text);
}

int RunArcport5(int argc, char** argv) {
  try {
    TApplication app;
    app.Title = "DKL 5to6-Konverter";
    app.SetTerminalView(TTerminalView::ForStderr());
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    TFormArcport5Main form(nullptr, std::move(args));
    form.Show();
    app.Run();
  } catch (const std::exception& e) {
    std::cerr << "DKL 5to6-Konverter: " << e.what() << std::endl;
  }
  return 0;
}

}  // namespace dk
