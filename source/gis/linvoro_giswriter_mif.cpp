// MIF/MID writer. The text of both files is gathered in UTF-8 and handed to
// the code-page text writers in blocks, so that a record costs a few string
// appends instead of a conversion and a buffered write per line.
#include <algorithm>
#include <charconv>
#include <cstdio>

#include "linvoro_charset.h"
#include "linvoro_functions.h"
#include "linvoro_giswriter.h"
#include "linvoro_platform.h"
#include "linvoro_textfilewriter.h"

namespace {

void AppendInt(std::string& s, int64_t v) {
  char buf[24];
  s.append(buf, std::to_chars(buf, buf + sizeof(buf), v).ptr);
}

const TMIPen kDefaultPen;
const TMIBrush kDefaultBrush;
const TMISymbol kDefaultSymbol;

}  // namespace

TGISWriterMIF::TGISWriterMIF() {
  FMifText.reserve(kFlushSize + 4096);
  FMidText.reserve(kFlushSize + 4096);
}

TGISWriterMIF::~TGISWriterMIF() {
  // Not closed: what was gathered still belongs in the files, which the
  // text writers then flush quietly on their way out.
  try {
    if (FilesOpen()) FlushText();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TGISWriterMIF: data lost on release: %s\n", e.what());
  }
}

TGISWriterMIF8::TGISWriterMIF8() { FCodepage = 65001; }

void TGISWriterMIF::AddField(const std::string& FieldName, TGISField Field, uint8_t Width,
                             uint8_t decimals) {
  if (Width == 255) Width = 254;
  TGISWriter::AddField(FieldName, Field, Width, decimals);
  if (FWrittenFields == 1) {
    fields.clear();
    fVersion = 300;
  }
  std::string line = "  ";
  line += FieldName;
  switch (Field) {
    case gfInteger: line += " Integer"; break;
    case gfSmallInt: line += " Smallint"; break;
    case gfDecimal:
      line += " Decimal(";
      AppendInt(line, Width);
      line += ',';
      AppendInt(line, decimals);
      line += ')';
      break;
    case gfFloat: line += " Float"; break;
    case gfDate: line += " Date"; break;
    case gfLogical: line += " Logical"; break;
    case gfTime: line += " Time"; break;
    case gfDateTime: line += " DateTime"; break;
    case gfInt64: line += " LargeInt"; break;
    default:  // gfChar and any unknown type code
      line += " Char(";
      AppendInt(line, Width);
      line += ')';
      break;
  }
  fields.push_back(std::move(line));
  if (Field == gfTime || Field == gfDateTime || Field == gfInt64) fVersion = 900;
  if (FWrittenFields == FNumFields) WriteHeader();
}

void TGISWriterMIF::WriteHeader() {
  if (FCodepage == 65001 || FCodepage == 1200) fVersion = 1520;
  FOutMIF = std::make_unique<TTextFileWriter>(FFileName + ".mif", FCodepage, true);
  // The MIF header names the rows' charset. A byte-order mark in front of
  // the first row would be read by GDAL as part of that row's first value.
  FOutMID = std::make_unique<TTextFileWriter>(FFileName + ".mid", FCodepage, false);
  FMifText.clear();
  FMidText.clear();
  std::string& s = FMifText;
  s += "Version ";
  AppendInt(s, fVersion);
  s += "\r\n";
  const std::string charset = CharSetList().CodePage2Charset(FCodepage);
  if (!charset.empty()) {
    s += "CharSet \"";
    s += charset;
    s += "\"\r\n";
  }
  s += "Delimiter \",\"\r\n";
  if (!FCoordSys.empty() && FObjectTypes != otNone) {
    s += FCoordSys;
    s += "\r\n";
  }
  s += "Columns ";
  AppendInt(s, FNumFields);
  s += "\r\n";
  for (const std::string& f : fields) {
    s += f;
    s += "\r\n";
  }
  s += "Data\r\n";
  FlushIfFull();
}

void TGISWriterMIF::FlushText() {
  FOutMIF->write(FMifText);
  FMifText.clear();
  WriteMid(*FOutMID);
}

void TGISWriterMIF::WriteMid(TTextFileWriter& mid) {
  size_t lost = 0;
  mid.write(FMidText, lost);
  if (lost) {
    // Rare: look at the block's rows one by one for the values concerned.
    TAttribSplitter values;
    size_t at = 0;
    while (at < FMidText.size()) {
      size_t end = FMidText.find("\r\n", at);
      if (end == std::string::npos) end = FMidText.size();
      values.Split(std::string_view(FMidText).substr(at, end - at));
      for (const std::string_view v : values.Values()) {
        const bool ascii =
            std::all_of(v.begin(), v.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii) continue;  // numbers and plain names lose nothing
        size_t n = 0;
        Utf8ToCodePage(v, FCodepage, &n);
        if (n) LostText(v);
      }
      at = end + 2;
    }
  }
  FMidText.clear();
}

void TGISWriterMIF::AppendPoint(double x, double y) {
  AppendNumber(FMifText, x);
  FMifText += ' ';
  AppendNumber(FMifText, y);
  FMifText += "\r\n";
}

void TGISWriterMIF::AppendPenLine() {
  if (FCompactMIF || FPen == kDefaultPen) return;
  std::string& s = FMifText;
  s += "    Pen(";
  AppendInt(s, FPen.Width);
  s += ',';
  AppendInt(s, FPen.pattern);
  s += ',';
  AppendInt(s, MIColor(FPen.Color));
  s += ")\r\n";
}

void TGISWriterMIF::AppendMid(std::string_view Attrib) {
  FMidText += Attrib;
  FMidText += "\r\n";
}

void TGISWriterMIF::WriteObject(int32_t NumParts, std::string_view Attrib) {
  TGISWriter::WriteObject(NumParts, Attrib);
  if (!FilesOpen()) return;
  if (NumParts == 0 || FObjectTypes == otNone) FMifText += "None\r\n";
  AppendMid(Attrib);
  ++FWrittenRecords;
  FlushIfFull();
}

void TGISWriterMIF::WriteSection(int32_t Index, const TFloatPointArrayEx& SegList) {
  TGISWriter::WriteSection(Index, SegList);
  // An attribute-only table has written "None" already; its sections have
  // no place in the file.
  if (!FilesOpen() || FObjectTypes == otNone) return;
  const int32_t n = SegList.Count;
  const TFloatPoint* p = SegList.Pnt.data();
  const bool first = FWrittenParts == 1;
  const bool last = FWrittenParts == FNumParts;
  std::string& s = FMifText;
  switch (FObjectTypes) {
    case otPoint:
      // A point record holds one point: the first of its first section.
      if (first) {
        s += "Point ";
        AppendPoint(p[0].x, p[0].y);
      }
      if (last && !FCompactMIF && !(FSymbol == kDefaultSymbol)) {
        s += "    Symbol(";
        AppendInt(s, FSymbol.Shape);
        s += ',';
        AppendInt(s, MIColor(FSymbol.Color));
        s += ',';
        AppendInt(s, FSymbol.Size);
        s += ")\r\n";
      }
      break;
    case otRegion:
      if (first) {
        s += "Region ";
        AppendInt(s, FNumParts);
        s += "\r\n";
      }
      AppendInt(s, n);
      s += "\r\n";
      for (int32_t i = 0; i < n; ++i) AppendPoint(p[i].x, p[i].y);
      if (last && !FCompactMIF) {
        if (!(FBrush == kDefaultBrush)) {
          s += "    Brush(";
          AppendInt(s, FBrush.pattern);
          s += ',';
          AppendInt(s, MIColor(FBrush.fg_color));
          s += ',';
          AppendInt(s, MIColor(FBrush.bg_color));
          s += ")\r\n";
        }
        AppendPenLine();
      }
      break;
    default:  // otPline
      if (first && FNumParts == 1 && n == 2) {
        s += "Line ";
        AppendNumber(s, p[0].x);
        s += ' ';
        AppendNumber(s, p[0].y);
        s += ' ';
        AppendPoint(p[1].x, p[1].y);
      } else {
        if (first) {
          if (FNumParts >= 2) {
            s += "Pline multiple ";
            AppendInt(s, FNumParts);
            s += "\r\n";
          } else {
            s += "Pline ";
          }
        }
        AppendInt(s, n);
        s += "\r\n";
        for (int32_t i = 0; i < n; ++i) AppendPoint(p[i].x, p[i].y);
      }
      if (last) AppendPenLine();
      break;
  }
  FlushIfFull();
}

void TGISWriterMIF::AddLine(double X1, double Y1, double X2, double Y2, std::string_view Attrib) {
  if (FObjectTypes != otPline) return;
  CheckRecordStart();
  if (!FilesOpen()) return;
  std::string& s = FMifText;
  s += "Line ";
  AppendNumber(s, X1);
  s += ' ';
  AppendNumber(s, Y1);
  s += ' ';
  AppendPoint(X2, Y2);
  AppendPenLine();
  AppendMid(Attrib);
  ++FWrittenRecords;
  FlushIfFull();
}

void TGISWriterMIF::AddLine2(const TFloatPoint& P1, const TFloatPoint& P2, std::string_view Attrib) {
  AddLine(P1.x, P1.y, P2.x, P2.y, Attrib);
}

void TGISWriterMIF::AddPoint(double X, double Y, std::string_view Attrib) {
  if (FObjectTypes != otPoint) return;
  CheckRecordStart();
  if (!FilesOpen()) return;
  FNumParts = 1;
  FWrittenParts = 0;
  FPoint1.Pnt[0] = TFloatPoint{X, Y};
  WriteSection(0, FPoint1);
  AppendMid(Attrib);
  ++FWrittenRecords;
  FlushIfFull();
}

void TGISWriterMIF::Close() {
  TGISWriter::Close();
  if (!FilesOpen()) return;
  std::unique_ptr<TTextFileWriter> mif = std::move(FOutMIF);
  std::unique_ptr<TTextFileWriter> mid = std::move(FOutMID);
  mif->write(FMifText);
  WriteMid(*mid);
  FMifText.clear();
  mif->Close();
  mid->Close();
}

void TGISWriterMIF::Drop() {
  Close();
  DeleteFileIfExists(FFileName + ".mif");
  DeleteFileIfExists(FFileName + ".mid");
}
