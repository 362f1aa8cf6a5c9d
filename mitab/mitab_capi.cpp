// The mitab C interface over GDAL/OGR's "MapInfo File" driver.
//
// Text: callers hand over field names and values already in the table's
// code page. The driver would recode every value from UTF-8 into the
// encoding named at layer creation (one iconv conversion per value), so the
// table is written with the neutral charset, which stores bytes unchanged,
// and its .tab header is labelled with the real charset once the driver has
// written it on close.
//
// Styles: the driver takes MapInfo pens, brushes and symbols from OGR style
// strings whose ids name the MapInfo pattern or symbol number, so the
// numbers survive unchanged. A line whose pen is MapInfo's default gets no
// style string at all (the driver writes that pen anyway), which keeps style
// parsing off the road-table path.
//
// Features are reused: a destroyed feature goes back to its table and the
// next created one takes it with its OGR feature and line parts, so a
// record costs no allocations of ours.
#include "mitab_capi.h"

#include "mitab_filecache.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kLibVersion = 1007001;
constexpr uint32_t kTableMagic = 0x4D544254;    // "MTBT"
constexpr uint32_t kFeatureMagic = 0x4D544246;  // "MTBF"

thread_local std::string gLastError;
thread_local int gLastErrorNo = 0;

void SetError(const std::string& message, int no = CPLE_AppDefined) {
  gLastError = message;
  gLastErrorNo = no;
}

// Keeps the driver's messages out of the host's error stream while a call
// runs; they are kept as this thread's last error instead.
class TQuietErrors {
 public:
  TQuietErrors() {
    CPLErrorReset();
    CPLPushErrorHandler(CPLQuietErrorHandler);
  }
  ~TQuietErrors() { CPLPopErrorHandler(); }
  void Keep(const char* fallback) {
    const char* m = CPLGetLastErrorMsg();
    SetError(m && *m ? m : fallback, CPLGetLastErrorNo() ? CPLGetLastErrorNo() : CPLE_AppDefined);
  }
};

GDALDriver* TabDriver() {
  static GDALDriver* driver = [] {
    if (!GetGDALDriverManager()->GetDriverByName("MapInfo File")) RegisterOGRTAB();
    return GetGDALDriverManager()->GetDriverByName("MapInfo File");
  }();
  return driver;
}

struct TFeature;

struct TTable {
  uint32_t magic = kTableMagic;
  GDALDataset* ds = nullptr;
  OGRLayer* layer = nullptr;
  std::string tabPath;
  std::string charset;
  // Per mitab field index: its type and its OGR field index (-1 when the
  // driver refused the field; its values are dropped, the others stay in
  // their columns).
  std::vector<int> types;
  std::vector<int> ogrIndex;
  std::vector<TFeature*> live;     // created and not yet destroyed
  std::vector<TFeature*> spare;    // destroyed, ready for reuse
  std::string style;               // scratch
  std::string value;               // scratch
};

struct TFeature {
  uint32_t magic = kFeatureMagic;
  TTable* table = nullptr;        // nullptr once the table is closed
  OGRFeature* ogr = nullptr;
  int type = TABFC_NoGeom;
  // Parts: line parts or region rings, reused from record to record.
  std::vector<std::unique_ptr<OGRLineString>> parts;
  int numParts = 0;
  bool hasPoint = false;
  double px = 0, py = 0;
  bool hasPen = false, hasBrush = false, hasSymbol = false;
  int penWidth = 1, penPattern = 2, penColor = 0;
  int brushFg = 0, brushBg = 0, brushPattern = 1, brushTransparent = 0;
  int symbolNo = 35, symbolSize = 12, symbolColor = 0;

  ~TFeature() { OGRFeature::DestroyFeature(ogr); }

  void Reset(int featureType) {
    type = featureType;
    numParts = 0;
    hasPoint = hasPen = hasBrush = hasSymbol = false;
    if (ogr) {
      ogr->SetFID(OGRNullFID);
      for (int i = 0, n = ogr->GetFieldCount(); i < n; ++i) ogr->SetFieldNull(i);
      ogr->SetGeometryDirectly(nullptr);
      ogr->SetStyleString(nullptr);
    }
  }
};

TTable* AsTable(mitab_handle h) {
  TTable* t = static_cast<TTable*>(h);
  return t && t->magic == kTableMagic ? t : nullptr;
}

TFeature* AsFeature(mitab_feature h) {
  TFeature* f = static_cast<TFeature*>(h);
  return f && f->magic == kFeatureMagic ? f : nullptr;
}

bool IsCharsetName(const std::string& s) {
  if (s.empty() || s.size() > 64) return false;
  for (unsigned char c : s)
    if (!(std::isalnum(c) || c == '_' || c == '-')) return false;
  return true;
}

// Replaces the neutral charset the driver wrote into the .tab header.
void LabelCharset(const std::string& tabPath, const std::string& charset) {
  if (!IsCharsetName(charset) || EQUAL(charset.c_str(), "Neutral")) return;
  FILE* f = std::fopen(tabPath.c_str(), "rb");
  if (!f) return;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) {
    text.append(buf, n);
    if (text.size() > (1u << 20)) break;  // a header is never that large
  }
  std::fclose(f);
  bool changed = false;
  for (const char* pattern : {"!charset Neutral", "Charset \"Neutral\""}) {
    const size_t p = text.find(pattern);
    if (p == std::string::npos) continue;
    const size_t at = text.find("Neutral", p);
    text.replace(at, 7, charset);
    changed = true;
  }
  if (!changed) return;
  f = std::fopen(tabPath.c_str(), "wb");
  if (!f) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

// Asks the driver for a table in UTF-8: a driver that knows the charset
// declares it in the .tab header, one that does not falls back to Neutral.
bool DriverWritesUtf8() {
  GDALDriver* driver = TabDriver();
  if (!driver) return false;
  TQuietErrors quiet;
  char dir[64];
  std::snprintf(dir, sizeof(dir), "/vsimem/mitab_charset_probe_%p", static_cast<void*>(&quiet));
  const std::string path = std::string(dir) + "/probe.tab";
  bool declared = false;
  if (GDALDataset* ds = driver->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr)) {
    CPLStringList options;
    options.SetNameValue("ENCODING", "UTF-8");
    if (OGRLayer* layer = ds->CreateLayer("probe", nullptr, wkbUnknown, options.List())) {
      OGRFieldDefn field("name", OFTString);
      field.SetWidth(10);
      layer->CreateField(&field);
    }
    GDALClose(ds);
    vsi_l_offset size = 0;
    const GByte* data = VSIGetMemFileBuffer(path.c_str(), &size, FALSE);
    if (data) {
      std::string text(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      declared = text.find("charset \"utf-8\"") != std::string::npos;
    }
  }
  VSIRmdirRecursive(dir);
  return declared;
}

bool AllDigits(const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// MapInfo's compact date and time texts (YYYYMMDD, HHMMSS[mmm],
// YYYYMMDDHHMMSS[mmm]) in the separated form OGR parses; other texts pass.
const char* DateTimeText(int type, const char* v, std::string& out) {
  const size_t n = std::strlen(v);
  auto date = [&](const char* p) {
    out.append(p, 4);
    out += '/';
    out.append(p + 4, 2);
    out += '/';
    out.append(p + 6, 2);
  };
  auto time = [&](const char* p, size_t len) {
    out.append(p, 2);
    out += ':';
    out.append(p + 2, 2);
    out += ':';
    out.append(p + 4, 2);
    if (len == 9) {
      out += '.';
      out.append(p + 6, 3);
    }
  };
  out.clear();
  if (!AllDigits(v, n)) return v;
  if (type == TABFT_Date && n == 8) {
    date(v);
  } else if (type == TABFT_Time && (n == 6 || n == 9)) {
    time(v, n);
  } else if (type == TABFT_DateTime && (n == 14 || n == 17)) {
    date(v);
    out += ' ';
    time(v + 8, n - 8);
  } else {
    return v;
  }
  return out.c_str();
}

// The driver formats a decimal value with the field's decimals and refuses
// the whole feature when the text is wider than the field. A value that
// cannot fit is held at the widest value of its sign that does, so that the
// record is kept.
void FitDecimal(OGRFeature* f, int index, const char* value, int width, int precision) {
  // Plain texts whose integer digits leave room even after rounding need no
  // formatting to know they fit.
  const char* p = value;
  int used = 0;
  if (*p == '-' || *p == '+') {
    used += *p == '-';
    ++p;
  }
  while (*p >= '0' && *p <= '9') {
    ++used;
    ++p;
  }
  if (*p == '.') {
    ++p;
    while (*p >= '0' && *p <= '9') ++p;
  }
  if (*p == 0 && used + (precision > 0 ? precision + 1 : 0) < width) {
    f->SetField(index, value);
    return;
  }
  double v = CPLAtof(value);
  if (!std::isfinite(v)) v = 0;
  char buf[512];
  const int len = std::snprintf(buf, sizeof(buf), "%.*f", precision, v);
  if (len > 0 && len <= width) {
    f->SetField(index, v);
    return;
  }
  // Widest text of that sign: nines in every place the width leaves.
  const int fraction = precision > 0 ? precision + 1 : 0;
  const int digits = width - fraction - (v < 0 ? 1 : 0);
  double limit = 0;
  if (digits >= 1) limit = std::pow(10.0, digits) - std::pow(10.0, -precision);
  f->SetField(index, v < 0 && limit > 0 ? -limit : limit);
}

void AppendColor(std::string& s, int rgb) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "#%06x", static_cast<unsigned>(rgb) & 0xFFFFFFu);
  s += buf;
}

void AppendInt(std::string& s, long v) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "%ld", v);
  s += buf;
}

// The OGR style string of a feature's MapInfo styles; empty when the
// driver's defaults already say the same.
const std::string& StyleString(TFeature& f, std::string& s) {
  s.clear();
  const bool line = f.type == TABFC_Polyline || f.type == TABFC_Region;
  if (line && f.hasPen && !(f.penWidth == 1 && f.penPattern == 2 && f.penColor == 0)) {
    s += "PEN(w:";
    if (f.penWidth > 10) {
      char buf[32];
      std::snprintf(buf, sizeof(buf), "%gpt", (f.penWidth - 10) / 10.0);
      s += buf;
    } else {
      AppendInt(s, f.penWidth);
      s += "px";
    }
    s += ",c:";
    AppendColor(s, f.penColor);
    s += ",id:\"mapinfo-pen-";
    AppendInt(s, f.penPattern);
    s += "\")";
  }
  if (f.type == TABFC_Region && f.hasBrush) {
    if (!s.empty()) s += ';';
    s += "BRUSH(fc:";
    AppendColor(s, f.brushFg);
    s += ",bc:";
    AppendColor(s, f.brushBg);
    if (f.brushTransparent) s += "00";  // alpha 0: transparent background
    s += ",id:\"mapinfo-brush-";
    AppendInt(s, f.brushPattern);
    s += "\")";
  }
  if ((f.type == TABFC_Point || f.type == TABFC_FontPoint || f.type == TABFC_CustomPoint) &&
      f.hasSymbol) {
    if (!s.empty()) s += ';';
    s += "SYMBOL(id:\"mapinfo-sym-";
    AppendInt(s, f.symbolNo);
    s += "\",c:";
    AppendColor(s, f.symbolColor);
    s += ",s:";
    AppendInt(s, f.symbolSize);
    s += "pt)";
  }
  return s;
}

void CloseTable(TTable* t) {
  for (TFeature* f : t->live) f->table = nullptr;
  for (TFeature* f : t->spare) delete f;
  t->live.clear();
  t->spare.clear();
  if (t->ds) {
    TQuietErrors quiet;
    GDALClose(t->ds);
    t->ds = nullptr;
    // Pages that could not be written back (a full disk) surface here.
    if (CPLGetLastErrorType() == CE_Failure) quiet.Keep("mitab_c_close: table not completed");
    LabelCharset(t->tabPath, t->charset);
  }
  t->magic = 0;
  delete t;
}

}  // namespace

extern "C" {

int mitab_c_getlibversion(void) { return kLibVersion; }

const char* mitab_c_getlasterrormsg(void) { return gLastError.c_str(); }

int mitab_c_getlasterrorno(void) { return gLastErrorNo; }

mitab_handle mitab_c_create(const char* filename, const char* mif_or_tab,
                            const char* mif_projectiondef, double north, double south,
                            double east, double west) {
  try {
    SetError("", 0);
    if (!filename || !*filename) {
      SetError("mitab_c_create: no file name");
      return nullptr;
    }
    if (mif_or_tab && !EQUAL(mif_or_tab, "tab")) {
      SetError("mitab_c_create: only TAB tables can be created");
      return nullptr;
    }
    GDALDriver* driver = TabDriver();
    if (!driver) {
      SetError("mitab_c_create: GDAL has no MapInfo File driver");
      return nullptr;
    }
    TQuietErrors quiet;
    OGRSpatialReference srs;
    bool haveSrs = false;
    if (mif_projectiondef && *mif_projectiondef) {
      if (srs.importFromMICoordSys(mif_projectiondef) != OGRERR_NONE) {
        quiet.Keep("mitab_c_create: unknown coordinate system");
        return nullptr;
      }
      srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
      haveSrs = true;
    }
    auto table = std::make_unique<TTable>();
    table->tabPath = filename;
    std::error_code ec;
    const std::string cached = CacheFilePrefix() + std::filesystem::absolute(filename, ec).string();
    if (ec) {
      SetError("mitab_c_create: " + ec.message());
      return nullptr;
    }
    table->ds = driver->Create(cached.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    if (!table->ds) {
      quiet.Keep("mitab_c_create: cannot create the table");
      return nullptr;
    }
    CPLStringList options;
    if (north != 0 || south != 0 || east != 0 || west != 0) {
      char bounds[128];
      CPLsnprintf(bounds, sizeof(bounds), "%.17g,%.17g,%.17g,%.17g", west, south, east, north);
      options.SetNameValue("BOUNDS", bounds);
    }
    const std::string layerName = CPLGetBasename(filename);
    table->layer = table->ds->CreateLayer(layerName.c_str(), haveSrs ? &srs : nullptr, wkbUnknown,
                                          options.List());
    if (!table->layer) {
      quiet.Keep("mitab_c_create: cannot create the table");
      GDALClose(table->ds);
      table->ds = nullptr;
      driver->QuietDelete(cached.c_str());
      return nullptr;
    }
    return table.release();
  } catch (const std::exception& e) {
    SetError(e.what());
    return nullptr;
  }
}

int mitab_c_charset_supported(const char* charset) {
  try {
    if (!charset || !IsCharsetName(charset) || EQUAL(charset, "UTF-16")) return 0;
    if (!EQUAL(charset, "UTF-8")) return 1;
    static const bool utf8 = DriverWritesUtf8();
    return utf8 ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int mitab_c_set_charset(mitab_handle handle, const char* charset) {
  TTable* t = AsTable(handle);
  if (!t) return 0;
  t->charset = charset ? charset : "";
  return 1;
}

int mitab_c_add_field(mitab_handle handle, const char* field_name, int field_type, int width,
                      int precision, int /*indexed*/, int /*unique*/) {
  TTable* t = AsTable(handle);
  if (!t || !t->layer || !field_name) return -1;
  if (!t->live.empty() || !t->spare.empty()) {
    SetError("mitab_c_add_field: fields must be added before the first feature");
    return -1;
  }
  OGRFieldType ogrType;
  width = std::max(width, 0);
  precision = std::max(precision, 0);
  switch (field_type) {
    case TABFT_Char:
      ogrType = OFTString;
      if (width == 0 || width > 254) width = 254;
      precision = 0;
      break;
    case TABFT_Integer:
    case TABFT_SmallInt:  // the driver writes no SmallInt; Integer holds every value
      ogrType = OFTInteger;
      width = precision = 0;
      break;
    case TABFT_Decimal:
      ogrType = OFTReal;
      // The driver keeps two places for sign and digit ahead of the
      // decimals and would cut the decimals to make room; a wider field
      // keeps every value.
      if (precision > 16) precision = 16;
      if (width - precision < 2) width = precision + 2;
      if (width > 20) width = 20;
      break;
    case TABFT_Float:
      ogrType = OFTReal;
      width = precision = 0;
      break;
    case TABFT_Date: ogrType = OFTDate; width = precision = 0; break;
    case TABFT_Time: ogrType = OFTTime; width = precision = 0; break;
    case TABFT_DateTime: ogrType = OFTDateTime; width = precision = 0; break;
    case TABFT_Logical:
      // Written as one character T or F, which is how logicals read back.
      ogrType = OFTString;
      width = 1;
      precision = 0;
      break;
    default:
      SetError("mitab_c_add_field: unknown field type " + std::to_string(field_type));
      t->types.push_back(field_type);
      t->ogrIndex.push_back(-1);
      return -1;
  }
  OGRFieldDefn defn(field_name, ogrType);
  defn.SetWidth(width);
  defn.SetPrecision(precision);
  TQuietErrors quiet;
  const int before = t->layer->GetLayerDefn()->GetFieldCount();
  const bool added = t->layer->CreateField(&defn, TRUE) == OGRERR_NONE &&
                     t->layer->GetLayerDefn()->GetFieldCount() == before + 1;
  if (!added) quiet.Keep("mitab_c_add_field: field not added");
  t->types.push_back(field_type);
  t->ogrIndex.push_back(added ? before : -1);
  return added ? static_cast<int>(t->types.size()) - 1 : -1;
}

mitab_feature mitab_c_create_feature(mitab_handle handle, int feature_type) {
  TTable* t = AsTable(handle);
  if (!t || !t->layer) return nullptr;
  switch (feature_type) {
    case TABFC_NoGeom:
    case TABFC_Point:
    case TABFC_FontPoint:
    case TABFC_CustomPoint:
    case TABFC_Polyline:
    case TABFC_Region:
      break;
    default:
      SetError("mitab_c_create_feature: feature type " + std::to_string(feature_type) +
               " is not supported");
      return nullptr;
  }
  try {
    TFeature* f;
    if (!t->spare.empty()) {
      f = t->spare.back();
      t->spare.pop_back();
    } else {
      auto nf = std::make_unique<TFeature>();
      nf->ogr = OGRFeature::CreateFeature(t->layer->GetLayerDefn());
      if (!nf->ogr) return nullptr;
      f = nf.release();
    }
    f->table = t;
    f->Reset(feature_type);
    t->live.push_back(f);
    return f;
  } catch (const std::exception& e) {
    SetError(e.what());
    return nullptr;
  }
}

void mitab_c_set_field(mitab_feature feature, int field_index, const char* value) {
  TFeature* f = AsFeature(feature);
  if (!f || !f->table || !value || field_index < 0 ||
      field_index >= static_cast<int>(f->table->types.size()))
    return;
  const int type = f->table->types[field_index];
  field_index = f->table->ogrIndex[field_index];
  if (field_index < 0) return;
  switch (type) {
    case TABFT_Logical:
      f->ogr->SetField(field_index, value[0] && std::strchr("TtYy1", value[0]) ? "T" : "F");
      break;
    case TABFT_Decimal: {
      const OGRFieldDefn* d = f->ogr->GetFieldDefnRef(field_index);
      FitDecimal(f->ogr, field_index, value, d->GetWidth(), d->GetPrecision());
      break;
    }
    case TABFT_Date:
    case TABFT_Time:
    case TABFT_DateTime:
      if (!*value) {
        f->ogr->SetFieldNull(field_index);
        break;
      }
      f->ogr->SetField(field_index, DateTimeText(type, value, f->table->value));
      break;
    default:
      f->ogr->SetField(field_index, value);
      break;
  }
}

void mitab_c_set_points(mitab_feature feature, int part, int vertex_count, double* x, double* y) {
  TFeature* f = AsFeature(feature);
  if (!f || vertex_count <= 0 || !x || !y) return;
  switch (f->type) {
    case TABFC_Point:
    case TABFC_FontPoint:
    case TABFC_CustomPoint:
      f->hasPoint = true;
      f->px = x[0];
      f->py = y[0];
      return;
    case TABFC_Polyline:
    case TABFC_Region:
      break;
    default:
      return;
  }
  if (part < 0 || part > f->numParts) part = f->numParts;
  if (part == f->numParts) {
    if (static_cast<int>(f->parts.size()) <= part) {
      if (f->type == TABFC_Region)
        f->parts.emplace_back(std::make_unique<OGRLinearRing>());
      else
        f->parts.emplace_back(std::make_unique<OGRLineString>());
    }
    ++f->numParts;
  }
  std::unique_ptr<OGRLineString>& p = f->parts[part];
  // Rings and lines are kept apart: a feature reused for another kind
  // gets parts of the right class.
  const bool wantRing = f->type == TABFC_Region;
  if (wantRing != (dynamic_cast<OGRLinearRing*>(p.get()) != nullptr)) {
    if (wantRing)
      p = std::make_unique<OGRLinearRing>();
    else
      p = std::make_unique<OGRLineString>();
  }
  if (vertex_count == 1 && !wantRing) {
    // The driver refuses a line of one point, and with it the whole record;
    // a line that starts and ends there keeps both.
    const double px[2] = {x[0], x[0]}, py[2] = {y[0], y[0]};
    p->setPoints(2, px, py);
    return;
  }
  p->setPoints(vertex_count, x, y);
}

void mitab_c_set_pen(mitab_feature feature, int width, int pattern, int color) {
  TFeature* f = AsFeature(feature);
  if (!f) return;
  f->hasPen = true;
  f->penWidth = width;
  f->penPattern = pattern;
  f->penColor = color;
}

void mitab_c_set_brush(mitab_feature feature, int fg_color, int bg_color, int pattern,
                       int transparent) {
  TFeature* f = AsFeature(feature);
  if (!f) return;
  f->hasBrush = true;
  f->brushFg = fg_color;
  f->brushBg = bg_color;
  f->brushPattern = pattern;
  f->brushTransparent = transparent;
}

void mitab_c_set_symbol(mitab_feature feature, int symbol_no, int symbol_size, int symbol_color) {
  TFeature* f = AsFeature(feature);
  if (!f) return;
  f->hasSymbol = true;
  f->symbolNo = symbol_no;
  f->symbolSize = symbol_size;
  f->symbolColor = symbol_color;
}

int mitab_c_write_feature(mitab_handle handle, mitab_feature feature) {
  TTable* t = AsTable(handle);
  TFeature* f = AsFeature(feature);
  if (!t || !f || f->table != t || !t->layer) return 0;
  OGRFeature* ogr = f->ogr;
  // Line parts stay owned by the feature: a single part is lent to the OGR
  // feature and taken back after writing; several parts are copied.
  OGRLineString* lent = nullptr;
  switch (f->type) {
    case TABFC_Point:
    case TABFC_FontPoint:
    case TABFC_CustomPoint:
      if (f->hasPoint) ogr->SetGeometryDirectly(new OGRPoint(f->px, f->py));
      break;
    case TABFC_Polyline:
      if (f->numParts == 1) {
        lent = f->parts[0].get();
        ogr->SetGeometryDirectly(lent);
      } else if (f->numParts > 1) {
        auto* multi = new OGRMultiLineString();
        for (int i = 0; i < f->numParts; ++i) multi->addGeometry(f->parts[i].get());
        ogr->SetGeometryDirectly(multi);
      }
      break;
    case TABFC_Region:
      if (f->numParts > 0) {
        // One polygon holding every ring in order: the driver writes the
        // rings of a region as one flat list, in this order.
        auto* polygon = new OGRPolygon();
        for (int i = 0; i < f->numParts; ++i)
          polygon->addRing(static_cast<OGRLinearRing*>(f->parts[i].get()));
        ogr->SetGeometryDirectly(polygon);
      }
      break;
    default:
      break;
  }
  const std::string& style = StyleString(*f, t->style);
  ogr->SetStyleString(style.empty() ? nullptr : style.c_str());
  ogr->SetFID(OGRNullFID);
  const OGRErr err = t->layer->CreateFeature(ogr);
  if (lent) {
    OGRGeometry* back = ogr->StealGeometry();
    (void)back;  // that is f->parts[0]
  } else {
    ogr->SetGeometryDirectly(nullptr);
  }
  if (err != OGRERR_NONE) {
    const char* m = CPLGetLastErrorMsg();
    SetError(m && *m ? m : "mitab_c_write_feature: feature not written");
    return 0;
  }
  return 1;
}

void mitab_c_destroy_feature(mitab_feature feature) {
  TFeature* f = AsFeature(feature);
  if (!f) return;
  TTable* t = f->table;
  if (t) {
    auto it = std::find(t->live.begin(), t->live.end(), f);
    if (it != t->live.end()) t->live.erase(it);
    if (t->spare.empty()) {
      f->table = nullptr;
      t->spare.push_back(f);
      return;
    }
  }
  f->magic = 0;
  delete f;
}

void mitab_c_close(mitab_handle handle) {
  TTable* t = AsTable(handle);
  if (!t) return;
  SetError("", 0);
  CloseTable(t);
}

}  // extern "C"
