// Build-time generator: reads the Unicode Character Database's
// DerivedGeneralCategory.txt and writes the table behind quoted()'s idea of a
// printable character. Printable is every code point outside the general
// categories Other (Cc, Cf, Cs, Co, Cn) and Separator (Zs, Zl, Zp), plus the
// space. Code points the file does not list are unassigned (Cn).
//
//   gen_printable DerivedGeneralCategory.txt printable_table.inc

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kCodeSpace = 0x110000;

int fail(const std::string& why) {
  std::cerr << "gen_printable: " << why << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return fail("usage: gen_printable DerivedGeneralCategory.txt OUTPUT");
  std::ifstream in(argv[1]);
  if (!in) return fail(std::string("cannot read ") + argv[1]);

  const std::set<std::string> hidden{"Cc", "Cf", "Cs", "Co", "Cn", "Zs", "Zl", "Zp"};
  const std::regex version_line(R"(# DerivedGeneralCategory-(\d+\.\d+\.\d+)\.txt\s*)");
  const std::regex data_line(R"(([0-9A-F]{4,6})(?:\.\.([0-9A-F]{4,6}))?\s*;\s*([A-Z][a-z])\s*(?:#.*)?)");

  std::vector<bool> printable(kCodeSpace, false);
  std::vector<bool> listed(kCodeSpace, false);
  std::string version, line;
  size_t number = 0, entries = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::smatch m;
    if (number == 1) {
      if (!std::regex_match(line, m, version_line)) return fail("the first line does not name the file's Unicode version");
      version = m[1];
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    if (!std::regex_match(line, m, data_line)) return fail("line " + std::to_string(number) + " is not understood: " + line);
    const uint32_t first = std::stoul(m[1], nullptr, 16);
    const uint32_t last = m[2].matched ? std::stoul(m[2], nullptr, 16) : first;
    if (last < first || last >= kCodeSpace) return fail("line " + std::to_string(number) + " has a bad range");
    const bool shown = hidden.count(m[3]) == 0;
    for (uint32_t cp = first; cp <= last; ++cp) {
      if (listed[cp]) return fail("line " + std::to_string(number) + " lists a code point twice");
      listed[cp] = true;
      printable[cp] = shown;
    }
    ++entries;
  }
  // A truncated or foreign file must not quietly yield a table that hides everything.
  if (entries < 1000 || !printable['A'] || printable[0x200B]) return fail("the file does not look like the general categories");
  printable[' '] = true;

  // Code points where printability flips; [flips[2k], flips[2k+1]) are printable.
  std::vector<uint32_t> flips;
  bool state = false;
  for (uint32_t cp = 0; cp < kCodeSpace; ++cp)
    if (printable[cp] != state) {
      flips.push_back(cp);
      state = printable[cp];
    }
  if (state) flips.push_back(kCodeSpace);

  std::ofstream out(argv[2], std::ios::trunc);
  out << "// Generated at build time from DerivedGeneralCategory-" << version << ".txt (Unicode " << version
      << ") by gen_printable.cpp. Do not edit.\n"
      << "inline constexpr char kUnicodeVersion[] = \"" << version << "\";\n"
      << "// Ascending code points where printability flips: [kPrintableFlips[2k], kPrintableFlips[2k+1]) are printable.\n"
      << "inline constexpr uint32_t kPrintableFlips[] = {";
  for (size_t i = 0; i < flips.size(); ++i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X,", static_cast<unsigned>(flips[i]));
    out << (i % 10 == 0 ? "\n    " : " ") << buf;
  }
  out << "\n};\n";
  out.close();
  if (!out) return fail(std::string("cannot write ") + argv[2]);
  return 0;
}
