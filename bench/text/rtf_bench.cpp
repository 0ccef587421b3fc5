// The RTF reader of the full-text index against `unrtf --text` on the same
// large RTF document, in the same run: wall time of each (best of several
// rounds) and whether both give the same words.
//
// Usage: rtf_bench [FILE.rtf] [ROUNDS]. Without a file, a document of about
// 1.5 MB of text (paragraphs with umlauts, Cyrillic and Greek words, tables)
// is written as flat ODF and saved as RTF by LibreOffice into
// $TMPDIR/dkl-rtf-bench/, once; later runs reuse it.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sys/rtf_reader.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string MakeDocument() {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path dir = fs::path(tmp && *tmp ? tmp : "/tmp") / "dkl-rtf-bench";
  const fs::path rtf = dir / "large.rtf";
  if (fs::exists(rtf)) return rtf.string();
  fs::create_directories(dir);
  std::ofstream out(dir / "large.fodt", std::ios::binary);
  out << R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.text">
<office:body><office:text>
)";
  const char* words[] = {"Angebot",    "Gartenbau", "Käsebrötchen", "Straße",
                         "Übergrößen", "Lieferung", "Rechnung",     "Привет",
                         "Καλημέρα",   "Zaunlatte", "Müllerei",     "Bestellung"};
  unsigned seed = 12345;
  for (int p = 0; p < 12000; ++p) {
    out << "<text:p>Absatz " << p << ":";
    for (int w = 0; w < 18; ++w) {
      seed = seed * 1103515245 + 12345;
      out << " " << words[(seed >> 16) % 12] << ((seed >> 8) % 7);
    }
    out << ".</text:p>\n";
    if (p % 500 == 499) {
      out << "<table:table><table:table-column table:number-columns-repeated=\"3\"/>";
      for (int r = 0; r < 5; ++r) {
        out << "<table:table-row>";
        for (int c = 0; c < 3; ++c)
          out << "<table:table-cell office:value-type=\"string\"><text:p>Zelle" << r << c
              << "</text:p></table:table-cell>";
        out << "</table:table-row>";
      }
      out << "</table:table>\n";
    }
  }
  out << "</office:text></office:body></office:document>\n";
  out.close();
  const std::string cmd = "soffice --headless --norestore -env:UserInstallation=file://" +
                          (dir / "profile").string() + " --convert-to rtf --outdir " +
                          dir.string() + " " + (dir / "large.fodt").string() + " >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0 || !fs::exists(rtf)) {
    std::cerr << "rtf_bench: LibreOffice could not write " << rtf << "\n";
    std::exit(1);
  }
  fs::remove_all(dir / "profile");
  return rtf.string();
}

// Words: runs of letters (ASCII letters and every non-ASCII byte), lower case
// for ASCII, at least two bytes long.
std::set<std::string> Words(const std::string& text) {
  std::set<std::string> words;
  std::string w;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalpha(c) || c >= 0x80) {
      w += static_cast<char>(std::tolower(c));
    } else {
      if (w.size() >= 2) words.insert(w);
      w.clear();
    }
  }
  if (w.size() >= 2) words.insert(w);
  return words;
}

// unrtf writes its text output in ISO-8859-1 and a "?" for every character
// outside it.
std::string Latin1ToUtf8(const std::string& bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Whether a UTF-8 word has only ISO-8859-1 characters (lead bytes C2, C3).
bool IsLatin1Word(const std::string& word) {
  for (char ch : word) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0xC4) return false;
  }
  return true;
}

// All words in order, ISO-8859-1 words only.
std::vector<std::string> WordSequence(const std::string& text) {
  std::vector<std::string> seq;
  std::string w;
  const auto flush = [&] {
    if (w.size() >= 2 && IsLatin1Word(w)) seq.push_back(w);
    w.clear();
  };
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalpha(c) || c >= 0x80)
      w += static_cast<char>(std::tolower(c));
    else
      flush();
  }
  flush();
  return seq;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string file = argc > 1 ? argv[1] : MakeDocument();
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const std::string rtf = ReadAll(file);
  std::printf("document: %s, %.2f MB of RTF\n", file.c_str(), rtf.size() / 1048576.0);

  using Clock = std::chrono::steady_clock;
  double ours = 1e9, theirs = 1e9;
  std::string ourText;
  const std::string unrtfOut = fs::temp_directory_path() / "dkl-rtf-bench-unrtf.txt";
  const std::string cmd = "unrtf --text '" + file + "' > " + unrtfOut + " 2>/dev/null";
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    // The reader's whole job includes reading the file, as unrtf must.
    ourText = dk::RtfToText(ReadAll(file));
    ours = std::min(ours, Seconds(Clock::now() - t0));
    t0 = Clock::now();
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "rtf_bench: unrtf failed (Debian package unrtf)\n");
      return 1;
    }
    theirs = std::min(theirs, Seconds(Clock::now() - t0));
  }
  std::string unrtfText = Latin1ToUtf8(ReadAll(unrtfOut));
  fs::remove(unrtfOut);
  // unrtf opens its text output with a comment block of its own.
  const size_t body = unrtfText.find("-----------------\n");
  if (body != std::string::npos) unrtfText.erase(0, body + 18);

  // Words unrtf cannot write (Cyrillic, Greek) are counted apart.
  std::set<std::string> a, beyond;
  for (const auto& w : Words(ourText)) (IsLatin1Word(w) ? a : beyond).insert(w);
  const auto b = Words(unrtfText);
  std::vector<std::string> onlyOurs, onlyTheirs;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(onlyOurs));
  std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(onlyTheirs));
  std::printf("RTF reader: %.3f s (%.1f MB/s)\n", ours, rtf.size() / 1048576.0 / ours);
  std::printf("unrtf --text: %.3f s (%.1f MB/s)\n", theirs, rtf.size() / 1048576.0 / theirs);
  std::printf("speed ratio (unrtf / reader): %.1f\n", theirs / ours);
  std::printf(
      "distinct ISO-8859-1 words: reader %zu, unrtf %zu; only reader %zu, only unrtf %zu\n"
      "words beyond ISO-8859-1 (unrtf writes \"?\"): reader %zu\n",
      a.size(), b.size(), onlyOurs.size(), onlyTheirs.size(), beyond.size());
  const auto seqA = WordSequence(ourText), seqB = WordSequence(unrtfText);
  std::printf("ISO-8859-1 words in document order: reader %zu, unrtf %zu, sequences %s\n",
              seqA.size(), seqB.size(), seqA == seqB ? "equal" : "differ");
  for (size_t i = 0; i < std::min<size_t>(10, onlyOurs.size()); ++i)
    std::printf("  only reader: %s\n", onlyOurs[i].c_str());
  for (size_t i = 0; i < std::min<size_t>(10, onlyTheirs.size()); ++i)
    std::printf("  only unrtf: %s\n", onlyTheirs[i].c_str());
  return 0;
}
