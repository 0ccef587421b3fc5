#include "sys/rtf_reader.h"

#include <map>
#include <memory>
#include <vector>

#include "sys/text.h"

namespace dk {

namespace {

// Destinations whose content is not document text. Ignorable destinations
// ({\* ...}) are skipped whatever their name.
bool IsSkippedDestination(std::string_view word) {
  static const char* const kWords[] = {
      "author",
      "buptim",
      "colortbl",
      "comment",
      "creatim",
      "doccomm",
      "field_dummy",
      "fonttbl",
      "footer",
      "footerf",
      "footerl",
      "footerr",
      "footnote",
      "header",
      "headerf",
      "headerl",
      "headerr",
      "info",
      "keywords",
      "listtable",
      "listoverridetable",
      "listtext",
      "nonshppict",
      "objdata",
      "operator",
      "pict",
      "pntext",
      "pntxta",
      "pntxtb",
      "printim",
      "revtbl",
      "revtim",
      "rsidtbl",
      "stylesheet",
      "subject",
      "title",
      "xe",
      "tc",
      "themedata",
      "colorschememapping",
      "latentstyles",
      "datastore",
      "fldinst",
      "filetbl",
      "userprops",
      "docvar",
      "generator",
      "xmlnstbl",
      "mmathPr",
      "bkmkstart",
      "bkmkend",
  };
  for (const char* w : kWords)
    if (word == w) return true;
  return false;
}

// Windows code page of a font charset; 0 when the document's code page holds.
int CharsetCodePage(int charset) {
  switch (charset) {
    case 0:
      return 1252;
    case 77:
      return 10000;
    case 128:
      return 932;
    case 129:
      return 949;
    case 134:
      return 936;
    case 136:
      return 950;
    case 161:
      return 1253;
    case 162:
      return 1254;
    case 163:
      return 1258;
    case 177:
      return 1255;
    case 178:
      return 1256;
    case 186:
      return 1257;
    case 204:
      return 1251;
    case 222:
      return 874;
    case 238:
      return 1250;
    case 255:
      return 437;
    default:
      return 0;
  }
}

struct TGroupState {
  bool Skip = false;
  bool FontTable = false;
  int Uc = 1;
  int CodePage = 0;  // 0: the document's
};

class TRtfReader {
 public:
  explicit TRtfReader(std::string_view rtf) : FIn(rtf) { FStack.push_back({}); }

  std::string Run() {
    FOut.reserve(FIn.size() / 2);
    while (FPos < FIn.size()) {
      const char c = FIn[FPos];
      switch (c) {
        case '{':
          ++FPos;
          Flush();
          FSkipCount = 0;
          FStack.push_back(FStack.back());
          break;
        case '}':
          ++FPos;
          Flush();
          FSkipCount = 0;
          if (FStack.size() > 1) FStack.pop_back();
          break;
        case '\\':
          ++FPos;
          ControlWord();
          break;
        case '\r':
        case '\n':
          ++FPos;
          break;
        default:
          PlainText();
          break;
      }
    }
    Flush();
    if (!FOut.empty() && FOut.back() != '\n') FOut += "\r\n";
    return std::move(FOut);
  }

 private:
  TGroupState& State() { return FStack.back(); }

  // A run of text bytes up to the next brace, backslash or line end.
  void PlainText() {
    size_t end = FPos;
    while (end < FIn.size()) {
      const char c = FIn[end];
      if (c == '\\' || c == '{' || c == '}' || c == '\r' || c == '\n') break;
      ++end;
    }
    std::string_view run = FIn.substr(FPos, end - FPos);
    FPos = end;
    if (FSkipCount > 0) {
      const size_t n = std::min<size_t>(FSkipCount, run.size());
      FSkipCount -= static_cast<int>(n);
      run.remove_prefix(n);
    }
    if (run.empty() || State().Skip) return;
    bool ascii = FPending.empty();
    for (size_t i = 0; ascii && i < run.size(); ++i)
      ascii = static_cast<unsigned char>(run[i]) < 0x80;
    if (ascii)
      FOut.append(run);
    else
      FPending.append(run);
  }

  void ControlWord() {
    if (FPos >= FIn.size()) return;
    const char c = FIn[FPos];
    if (!IsLetter(c)) {
      ++FPos;
      ControlSymbol(c);
      return;
    }
    const size_t start = FPos;
    while (FPos < FIn.size() && IsLetter(FIn[FPos])) ++FPos;
    const std::string_view word = FIn.substr(start, FPos - start);
    bool hasParam = false;
    int param = 0;
    bool negative = false;
    if (FPos < FIn.size() && FIn[FPos] == '-') {
      negative = true;
      ++FPos;
    }
    while (FPos < FIn.size() && FIn[FPos] >= '0' && FIn[FPos] <= '9') {
      hasParam = true;
      if (param < 100000000) param = param * 10 + (FIn[FPos] - '0');
      ++FPos;
    }
    if (negative) param = -param;
    if (FPos < FIn.size() && FIn[FPos] == ' ') ++FPos;
    Word(word, hasParam, param);
  }

  void ControlSymbol(char c) {
    switch (c) {
      case '\'': {
        if (FPos + 2 > FIn.size()) {
          FPos = FIn.size();
          return;
        }
        const int hi = HexValue(FIn[FPos]), lo = HexValue(FIn[FPos + 1]);
        FPos += 2;
        if (FSkipCount > 0) {
          --FSkipCount;
          return;
        }
        if (hi < 0 || lo < 0 || State().Skip) return;
        FPending += static_cast<char>(hi * 16 + lo);
        return;
      }
      case '*':
        State().Skip = true;
        return;
      case '\\':
      case '{':
      case '}':
        Text(std::string(1, c));
        return;
      case '~':
        Text("\u00a0");
        return;
      case '_':
        Text("-");
        return;
      case '\r':
      case '\n':
        Word("par", false, 0);
        return;
      default:  // \- optional hyphen, \: index subentry and unknown symbols
        if (FSkipCount > 0) --FSkipCount;
        return;
    }
  }

  void Word(std::string_view word, bool hasParam, int param) {
    TGroupState& s = State();
    if (s.FontTable) {
      if (word == "f") {
        FFontNumber = param;
      } else if (word == "fcharset") {
        const int cp = CharsetCodePage(param);
        if (cp) FFontCodePages[FFontNumber] = cp;
      } else if (word == "cpg" && param > 0) {
        FFontCodePages[FFontNumber] = param;
      }
      return;
    }
    if (word == "bin") {
      if (hasParam && param > 0) FPos = std::min(FIn.size(), FPos + static_cast<size_t>(param));
      return;
    }
    if (FSkipCount > 0) {
      --FSkipCount;
      return;
    }
    if (word == "u") {
      Unicode(param < 0 ? param + 65536 : param);
      FSkipCount = s.Uc;
      return;
    }
    if (word == "fonttbl") {
      s.Skip = true;
      s.FontTable = true;
      return;
    }
    if (IsSkippedDestination(word)) {
      s.Skip = true;
      return;
    }
    if (word == "uc") {
      s.Uc = hasParam && param >= 0 ? param : 1;
      return;
    }
    if (word == "f") {
      Flush();
      const auto it = FFontCodePages.find(param);
      s.CodePage = it == FFontCodePages.end() ? 0 : it->second;
      return;
    }
    if (word == "ansicpg") {
      if (param > 0) FDocCodePage = param;
      return;
    }
    if (word == "mac") {
      FDocCodePage = 10000;
      return;
    }
    if (word == "pc") {
      FDocCodePage = 437;
      return;
    }
    if (word == "pca") {
      FDocCodePage = 850;
      return;
    }
    if (s.Skip) return;
    if (word == "par" || word == "line" || word == "cell" || word == "nestcell") {
      Flush();
      FOut += "\r\n";
    } else if (word == "row" || word == "nestrow" || word == "sect" || word == "page") {
      Flush();
      if (!FOut.empty() && FOut.back() != '\n') FOut += "\r\n";
    } else if (word == "tab") {
      Text("\t");
    } else if (word == "emdash") {
      Text("\u2014");
    } else if (word == "endash") {
      Text("\u2013");
    } else if (word == "bullet") {
      Text("\u2022");
    } else if (word == "lquote") {
      Text("\u2018");
    } else if (word == "rquote") {
      Text("\u2019");
    } else if (word == "ldblquote") {
      Text("\u201c");
    } else if (word == "rdblquote") {
      Text("\u201d");
    } else if (word == "emspace" || word == "enspace" || word == "qmspace") {
      Text(" ");
    }
  }

  void Text(std::string_view text) {
    if (FSkipCount > 0) {
      --FSkipCount;
      return;
    }
    if (State().Skip) return;
    Flush();
    FOut.append(text);
  }

  void Unicode(int cp) {
    if (State().Skip) return;
    Flush();
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      FHighSurrogate = cp;
      return;
    }
    if (cp >= 0xDC00 && cp <= 0xDFFF) {
      if (FHighSurrogate)
        AppendUtf8(FOut, 0x10000 + ((FHighSurrogate - 0xD800) << 10) + (cp - 0xDC00));
      FHighSurrogate = 0;
      return;
    }
    FHighSurrogate = 0;
    AppendUtf8(FOut, static_cast<char32_t>(cp));
  }

  // Decodes the bytes gathered from \'hh and raw 8-bit text.
  void Flush() {
    if (FPending.empty()) return;
    const int number = State().CodePage ? State().CodePage : FDocCodePage;
    const TCodePage* cp = TCodePage::Shared(number);
    if (cp)
      cp->Decode(FPending, FOut);
    else
      FOut += Cp1252ToUtf8(FPending);
    FPending.clear();
  }

  static bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  std::string_view FIn;
  size_t FPos = 0;
  std::string FOut;
  std::string FPending;
  std::vector<TGroupState> FStack;
  int FSkipCount = 0;
  int FHighSurrogate = 0;
  int FDocCodePage = 1252;
  int FFontNumber = 0;
  std::map<int, int> FFontCodePages;
};

}  // namespace

std::string RtfToText(std::string_view rtf) {
  return TRtfReader(rtf).Run();
}

}  // namespace dk
