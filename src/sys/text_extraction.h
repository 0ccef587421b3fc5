// Plain text of document files for the full-text index: HTML, rich text in
// memory, PDF through the PDF converter program, word-processor and
// spreadsheet files through LibreOffice in headless mode, and mail (.msg)
// files through msgconvert. Every text produced is UTF-8.
//
// The office and mail converters never raise: they answer false, as a machine
// without the office programs would, and the caller reads the file unchanged.
// Each office conversion runs LibreOffice with a profile of its own in a
// fresh temporary directory (concurrent or hung instances otherwise block each
// other) and under a time limit; its temporary files are removed whatever
// happens. All functions keep nothing between calls except the settings below.
#pragma once

#include <string>

namespace dk {

// Drops markup, blank lines and the umlaut entities &auml; &ouml; &uuml; (any
// case) and &szlig; (exact case), which become ae, oe, ue and ss. Other
// entities stay. Each remaining line ends in CR LF.
std::string HtmlToText(const std::string& text);

// Replaces the rich text in `buffer` by its plain text, one line per
// paragraph, each line ending in CR LF.
void RtfStreamToText(std::string& buffer);

// Runs the PDF converter `program` on `source`, writing the text to `target`
// (DOS line ends), and waits for it. Raises the launcher's errors when the
// program cannot be started; a converter that fails leaves `target` as it was.
void RunPdfToText(const std::string& program, const std::string& source, const std::string& target);

// Word-processor documents (.doc, .rtf and what else the word processor
// opens) and spreadsheets (the first sheet, tab-separated) to UTF-8 text.
bool WordDocToText(const std::string& source, const std::string& target);
bool ExcelBookToText(const std::string& source, const std::string& target);
// Mail files: the plain-text body of the message, else its HTML body through
// HtmlToText.
bool OutlookMsgToText(const std::string& source, const std::string& target);

// The programs and time limits the converters use. Defaults: "soffice" and
// "msgconvert" from PATH; 120 s for an office or mail conversion, 600 s for a
// PDF. Tests point them elsewhere.
struct TConverterSettings {
  std::string OfficeProgram = "soffice";
  std::string MailProgram = "msgconvert";
  int OfficeTimeLimitMs = 120000;
  int PdfTimeLimitMs = 600000;
};
TConverterSettings& ConverterSettings();

// The full path of `program` (a path, or a name looked up on PATH) when it is
// an executable file; empty otherwise.
std::string FindProgram(const std::string& program);

}  // namespace dk
