// MIF/MID road tables for the network import.
#include <charconv>
#include <memory>
#include <string>
#include <string_view>

#include "linvoro_charset.h"
#include "linvoro_csvfiles.h"
#include "linvoro_functions.h"
#include "linvoro_import.h"
#include "linvoro_textfilereader.h"

namespace {

std::string LowerCopy(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

bool Contains(const std::string& s, const char* word) { return s.find(word) != std::string::npos; }

bool HasObjectWord(const std::string& s) {
  static constexpr const char* Words[] = {"LINE", "POINT",   "REGION",    "ARC",       "NONE",
                                          "TEXT", "RECT",    "ELLIPSE",   "COLLECTION"};
  for (const char* w : Words)
    if (Contains(s, w)) return true;
  return false;
}

// The digits right at the start of s; 0 when s does not begin with one.
// Counts beyond the 32-bit range stay at its maximum (far too many
// vertices either way).
int32_t LeadingCount(std::string_view s) {
  int64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    n = n * 10 + (c - '0');
    if (n > INT32_MAX) return INT32_MAX;
  }
  return static_cast<int32_t>(n);
}

int32_t StrictInt(std::string_view text) {
  const std::string_view s = Trim(text);
  std::string_view digits = s;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int32_t v = 0;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (s.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size())
    throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  return v;
}

// Unit of a MapInfo coordinate-system clause (upper-cased text).
TCoordinateUnit ClauseUnit(const std::string& clause) {
  const size_t q1 = clause.find('"');
  if (q1 == std::string::npos) return cuDeg;
  const size_t q2 = clause.find('"', q1 + 1);
  const std::string name =
      LowerCopy(std::string_view(clause).substr(q1 + 1, q2 == std::string::npos ? std::string::npos
                                                                                 : q2 - q1 - 1));
  static constexpr struct {
    const char* name;
    TCoordinateUnit unit;
  } Units[] = {{"mm", cuMm},       {"cm", cuCm},        {"m", cuM},         {"km", cuKm},
               {"mi", cuMiles},    {"in", cuInch},      {"ft", cuFt},       {"yd", cuYard},
               {"survey ft", cuSurveyft}, {"nmi", cuNmi}, {"link", cuLink}, {"chain", cuChain},
               {"rod", cuRod}};
  for (const auto& u : Units)
    if (name == u.name) return u.unit;
  return cuM;
}

}  // namespace

void TImport::ReadMIFTables() {
  fCoordSys = "CoordSys Earth Projection 1, 0";
  int codepage = 1252;
  int64_t totalSize = 0;
  std::vector<int64_t> sizes;

  // Header scan: character set, coordinate system, sizes.
  for (size_t i = 0; i < fFiles.size(); ++i) {
    TTextFileReader r(fFiles[i], 0);
    sizes.push_back(r.Size());
    totalSize += r.Size();
    while (!r.EOF()) {
      std::string line = r.ReadLine();
      UpperInPlace(line);
      if (i == 0 && Contains(line, "CHARSET")) {
        std::string_view name = line.size() > 7 ? Trim(std::string_view(line).substr(7)) : "";
        name = name.size() >= 2 ? name.substr(1, name.size() - 2) : std::string_view();
        const uint16_t cp = CharSetList().Charset2CodePage(name);
        codepage = cp != 0 ? cp : 1252;
      }
      if (Contains(line, "COORDSYS")) {
        if (i == 0) {
          fCoordSys = line;
        } else if (fFailOnDifferentCoordSys) {
          std::string mine = fCoordSys;
          UpperInPlace(mine);
          if (line != mine) throw Exception("Different Coordsys in input tables");
        }
        break;
      }
    }
  }

  fZLevels = fZfromField >= 0 && fZtoField >= 0;
  std::unique_ptr<TCSVFiles> mid;
  if (fZLevels) {
    mid = std::make_unique<TCSVFiles>(codepage);
    for (const std::string& f : fFiles) {
      std::string m = f;
      m.replace(m.size() - 4, 4, f.compare(f.size() - 4, 4, ".MIF") == 0 ? ".MID" : ".mid");
      mid->Add(m);
    }
    mid->Open();
  }

  if (fCoordinateUnit == cuUnknown) fCoordinateUnit = ClauseUnit(fCoordSys);
  SettleUnit();
  SetProgressMaxValue(static_cast<double>(totalSize > 0 ? totalSize : 1));

  int64_t before = 0;
  for (size_t i = 0; i < fFiles.size() && !FCancelled; ++i) {
    const int32_t fileindex = static_cast<int32_t>(i);
    TTextFileReader r(fFiles[i], 0);
    fLinkCountFile = 0;
    while (!r.EOF()) {
      std::string line = r.ReadLine();
      UpperInPlace(line);
      if (Trim(line) == "DATA") break;
    }
    while (!r.EOF()) {
      std::string line = r.ReadLine();
      UpperInPlace(line);
      while (!r.EOF() && !HasObjectWord(line)) {
        line = r.ReadLine();
        UpperInPlace(line);
      }
      // On the last line only a line object counts.
      if (r.EOF() && !Contains(line, "LINE")) break;
      if (Contains(line, "COLLECTION"))
        throw Exception("Collections are not supported in MIF translator");

      ++fLinkCount;
      ++fLinkCountFile;
      if (fZLevels) mid->Read_Z(fZfromField, fZtoField, fZFrom, fZTo);
      WriteShapeIndex();
      // Every 32nd object: often enough for every percent of any table
      // large enough to take noticeable time.
      if ((fLinkCount & 31) == 0) ProgressExecute(static_cast<double>(before + r.Position()));

      if (Contains(line, "PLINE") && !Contains(line, "MULTIPLE")) {
        // The count stands on the PLINE line itself, right after its first
        // blank.
        const size_t blank = line.find(' ');
        const int32_t n =
            blank == std::string::npos ? 0 : LeadingCount(std::string_view(line).substr(blank + 1));
        if (n == 1 && !r.EOF()) r.ReadLine();
        if (n < 2) {
          AddImportError(fileindex, fLinkCountFile, fLinkCount, ecZeroOrOneVertices, n);
        } else if (n > 65535) {
          AddImportError(fileindex, fLinkCountFile, fLinkCount, ecTooManyVertices, n);
        } else {
          ReserveVertices(n);
          for (int32_t j = 0; j < n; ++j) {
            if (r.EOF())
              throw Exception("Unexpected end of file in " + fFiles[i] + " (object " +
                              std::to_string(fLinkCountFile) + ")");
            const std::string v = r.ReadLine();
            const std::string_view t = Trim(v);
            const size_t sp = t.find(' ');
            fVertices[j].x = NumericPrefix(t.substr(0, sp));
            fVertices[j].y = sp == std::string_view::npos ? 0 : NumericPrefix(Trim(t.substr(sp + 1)));
          }
          fNumPoints = n;
          FinishObject(fileindex);
        }
      } else if (Contains(line, "MULTIPLE")) {
        const size_t p = line.find("MULTIPLE") + 8;
        fNumSections = StrictInt(std::string_view(line).substr(p, 7));
        AddImportError(fileindex, fLinkCountFile, fLinkCount, ecMultiSection, fNumSections);
      } else if (Contains(line, "LINE")) {
        // LINE x1 y1 x2 y2: each number is the text after the previous
        // blank, up to the next one.
        double c[4] = {0, 0, 0, 0};
        size_t p = line.find(' ');
        for (int j = 0; j < 4 && p != std::string::npos; ++j) {
          size_t s = p + 1;
          while (s < line.size() && static_cast<unsigned char>(line[s]) <= ' ') ++s;
          p = line.find(' ', s);
          c[j] = NumericPrefix(std::string_view(line).substr(s, p == std::string::npos ? std::string::npos : p - s));
        }
        ReserveVertices(2);
        fVertices[0] = {c[0], c[1]};
        fVertices[1] = {c[2], c[3]};
        fNumPoints = 2;
        FinishObject(fileindex);
      } else if (Contains(line, "NONE")) {
        AddImportError(fileindex, fLinkCountFile, fLinkCount, ecNotGeoCoded, 0);
      } else {
        AddImportError(fileindex, fLinkCountFile, fLinkCount, ecNotPolyLine, 0);
      }
      if (FCancelled) break;
    }
    before += sizes[i];
  }
  WriteShapeIndex();
}
