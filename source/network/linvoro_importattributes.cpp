#include "linvoro_importattributes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "linvoro_charset.h"
#include "linvoro_csvfiles.h"
#include "linvoro_dbffiles.h"
#include "linvoro_giswriter_gpkg.h"
#include "linvoro_functions.h"
#include "linvoro_io.h"
#include "linvoro_platform.h"
#include "linvoro_roadnamefile.h"
#include "linvoro_textfilereader.h"
#include "linvoro_types.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

[[noreturn]] void AttributeOutOfRange() { throw EOutOfRange("Attribute value out of range"); }

}  // namespace

TImportAttributes::TImportAttributes() {
  const int cp = SystemAnsiCodePage();
  FCodePageCSV = cp > 0 && cp <= 65535 ? static_cast<uint16_t>(cp) : 1252;
}

void TImportAttributes::SetRoadNameFileIndex(int32_t value) {
  if (value < 1 || value > 99) throw Exception("Roadname file index should be 1..99");
  FRoadNameFileIndex = value;
}

void TImportAttributes::ExecuteAttribute(int32_t fieldindex, const std::string& fieldname,
                                         TFileKind fk) {
  FCancelled = false;
  CheckDirectory();
  const std::string path = fDirectory + "attribute.bin";
  {
    TLvBufferedStream out(new TLvFileStream(path, fmCreate), true);
    if (fk == fkCSV) {
      TCSVFiles csv(0);
      csv.Add(ffiles);
      csv.Open();
      SetProgressMaxValue(static_cast<double>(csv.Size()));
      int64_t v = 0;
      while (!csv.Eof() && !FCancelled) {
        csv.Read(fieldindex, v);
        if (v < 0 || v > 65535) AttributeOutOfRange();
        const uint16_t w = static_cast<uint16_t>(v);
        out.WriteBuffer(&w, 2);
        ProgressExecute(static_cast<double>(csv.Position()));
      }
    } else if (fk == fkGPKG) {
      int64_t n = 0;
      for (const std::string& f : ffiles) n += TGpkgLayerReader(f, FLayer).RecordCount();
      SetProgressMaxValue(static_cast<double>(n));
      int64_t r = 0;
      for (size_t i = 0; i < ffiles.size() && !FCancelled; ++i) {
        TGpkgLayerReader layer(ffiles[i], FLayer);
        const int32_t field = fieldname.empty() ? fieldindex : layer.FindField(fieldname);
        if (field < 0 || field >= layer.FieldCount())
          throw EFieldNameNotFound("Field " + (fieldname.empty() ? std::to_string(fieldindex) : fieldname) +
                                   " not found in layer " + FLayer + " of " + ffiles[i]);
        layer.ReadOnly(field);
        while (!FCancelled && layer.Next()) {
          const int64_t v = layer.Integer(field);
          if (v < 0 || v > 65535) AttributeOutOfRange();
          const uint16_t w = static_cast<uint16_t>(v);
          out.WriteBuffer(&w, 2);
          ProgressExecute(static_cast<double>(++r));
        }
      }
    } else {
      TDbfFiles dbf(FCodePageDbf);
      dbf.Add(ffiles);
      dbf.Open();
      int32_t field = fieldindex;
      if (!fieldname.empty()) {
        field = dbf.FindField(fieldname);
        if (field < 0) {
          char buf[512];
          std::snprintf(buf, sizeof buf, "Field %s not found", fieldname.c_str());
          throw EFieldNameNotFound(buf);
        }
      }
      if (field < 0 || field >= dbf.FieldCount()) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "Field %d not valid - should be 0..%d",
                      static_cast<int>(field), static_cast<int>(dbf.FieldCount() - 1));
        throw EInvalidFieldIndex(buf);
      }
      const int64_t n = dbf.RecordCount();
      SetProgressMaxValue(static_cast<double>(n));
      for (int64_t r = 1; r <= n; ++r) {
        const int64_t v = dbf.ReadInteger(field, r);
        if (v < 0 || v > 65535) AttributeOutOfRange();
        const uint16_t w = static_cast<uint16_t>(v);
        out.WriteBuffer(&w, 2);
        ProgressExecute(static_cast<double>(r));
        if (FCancelled) break;
      }
    }
    out.Flush();
  }
  if (FCancelled) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
  ProgressExecuteZero();
}

void TImportAttributes::ExecuteRoadname(int32_t fieldindex, const std::string& fieldname,
                                        TFileKind fk) {
  FCancelled = false;
  CheckDirectory();
  TRoadNameFile rn;
  rn.SetStopFlag(StopFlag());
  // Cancelling the name file cancels this operation too.
  rn.SetOnProgress([this](TProgress*, int32_t progress, bool& cancel) {
    if (eProgress) eProgress(this, progress, cancel);
    if (cancel) FCancelled = true;
  });
  if (fk == fkCSV) {
    int32_t field = fieldindex;
    if (!ffiles.empty()) {
      const std::filesystem::path mid(ffiles.front());
      if (Upper(mid.extension().string()) == ".MID") {
        // The MID file's code page and column names live in its MIF header.
        // Same base name; the extension's case may differ on a case-sensitive disk.
        std::string mif;
        for (const char* ext : {".mif", ".MIF", ".Mif"}) {
          std::filesystem::path p(mid);
          p.replace_extension(ext);
          if (std::filesystem::exists(p)) {
            mif = p.string();
            break;
          }
        }
        if (mif.empty())
          throw Exception("Corresponding MIF file is missing for MID file " + ffiles.front());
        TTextFileReader rd(mif, 0);
        std::string line;
        while (!rd.Eof()) {
          line = std::string(Trim(Upper(rd.ReadLine())));
          if (StartsWith(line, "CHARSET")) {
            std::string cs = line.size() > 9 ? line.substr(9) : std::string();
            const size_t q = cs.find('"');
            if (q != std::string::npos) cs.resize(q);
            FCodePageCSV = CharSetList().Charset2CodePage(cs);
          }
          if (StartsWith(line, "COLUMNS")) break;
        }
        if (!fieldname.empty()) {
          const std::string want = Upper(fieldname);
          int32_t idx = 0;
          bool found = false;
          while (!rd.Eof()) {
            line = std::string(Trim(Upper(rd.ReadLine())));
            if (StartsWith(line, "DATA")) break;
            if (StartsWith(line, want)) {
              found = true;
              break;
            }
            ++idx;
          }
          if (!found) throw Exception("Field " + want + " not found in " + mif);
          field = idx;
        }
      }
    }
    rn.Import1(ffiles, fDirectory, FCodePageCSV, FRoadNameFileIndex, field);
  } else if (fk == fkGPKG) {
    rn.Import3(ffiles, FLayer, fDirectory, FRoadNameFileIndex, fieldindex, fieldname);
  } else {
    rn.Import2(ffiles, fDirectory, FCodePageDbf, FRoadNameFileIndex, fieldindex, fieldname);
  }
}
