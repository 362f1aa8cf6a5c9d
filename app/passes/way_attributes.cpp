#include "way_attributes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "linvoro_functions.h"
#include "linvoro_platform.h"

namespace {

// Settings files can hold any number; an unknown choice behaves like the
// default one, so that the field list and the records always agree.
int32_t NameChoice(const TRunOptions& o) {
  return o.NameRef >= nrName && o.NameRef <= nrNameAndRef ? o.NameRef : nrNameAndRef;
}

// A whole text as a 32-bit integer after optional leading blanks (spaces
// and tabs).
bool TryParseBlankInt32(std::string_view text, int64_t& value) {
  const size_t first = text.find_first_not_of(" \t");
  int32_t v;
  if (first == std::string_view::npos || !TryParseInt32(text.substr(first), v)) return false;
  value = v;
  return true;
}

int32_t ClampToInt32(int64_t v) {
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(v);
}

// Number of characters (code points) of UTF-8 text.
size_t CharCount(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// Byte offset where the character after the first `chars` characters starts.
size_t ByteOffsetOfChar(std::string_view text, size_t chars) {
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (n == chars) return i;
      ++n;
    }
  }
  return text.size();
}

void TrimInPlace(std::string& s) {
  const std::string_view t = Trim(s);
  const size_t begin = static_cast<size_t>(t.data() - s.data());
  s.erase(begin + t.size());
  s.erase(0, begin);
}

// NumericPrefix with overflow reported: false when the leading number is too
// large for a double (NumericPrefix then gives 0). A number too small for a
// double is no failure; it reads as 0.
bool CheckedNumericPrefix(std::string_view text, double& value) {
  value = NumericPrefix(text);
  if (value != 0) return true;
  // Only a zero result can hide an overflow: look at the number's form.
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const size_t start = i;
  double probe = 0;
  const auto r = std::from_chars(text.data() + start, text.data() + text.size(), probe,
                                 std::chars_format::general);
  if (r.ec != std::errc::result_out_of_range) return true;
  // Decimal exponent of the first significant digit: positive means the
  // value was too large, negative that it was too small.
  int64_t exp10 = 0;
  bool found = false, afterPoint = false;
  int64_t intDigits = 0, fracPos = 0;
  size_t k = start;
  for (; k < text.size(); ++k) {
    const char c = text[k];
    if (c == '.' && !afterPoint) {
      afterPoint = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    if (afterPoint) {
      ++fracPos;
      if (!found && c != '0') {
        found = true;
        exp10 = -fracPos;
      }
    } else if (found || c != '0') {
      found = true;
      ++intDigits;
    }
  }
  if (!found) return true;
  if (intDigits > 0) exp10 = intDigits - 1;
  if (k < text.size() && (text[k] == 'e' || text[k] == 'E')) {
    ++k;
    bool negative = false;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) negative = text[k++] == '-';
    int64_t e = 0;
    for (; k < text.size() && text[k] >= '0' && text[k] <= '9'; ++k)
      if (e < 1000000000) e = e * 10 + (text[k] - '0');
    exp10 += negative ? -e : e;
  }
  return exp10 <= 0;
}

void AppendInt(std::string& out, int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace

bool ParseNumber(std::string_view text, double& value) {
  // Tag values are short; the stack buffer covers all but absurd ones.
  char local[128];
  std::string heap;
  char* buf = local;
  if (text.size() > sizeof local) {
    heap.resize(text.size());
    buf = heap.data();
  }
  size_t n = 0;
  for (char c : text)
    if ((c >= '0' && c <= '9') || c == '.') buf[n++] = c;
  double v = 0;
  if (!CheckedNumericPrefix(std::string_view(buf, n), v)) return false;
  value = v;
  return true;
}

std::vector<TRoadField> RoadFields(const TRunOptions& o, int64_t maxWayId, int64_t minWayId) {
  std::vector<TRoadField> f;
  const uint8_t nameLen = static_cast<uint8_t>(o.NameLength);
  const uint8_t refLen = static_cast<uint8_t>(o.RefLength);
  // Ten digits hold every way id of today's data; a table of longer ids gets
  // a field wide enough, so that no id is cut.
  uint8_t idLen = 10;
  for (int64_t v = maxWayId / 10000000000LL; v > 0; v /= 10) ++idLen;
  // A negative id (an object not uploaded yet) needs its sign as well.
  uint8_t negLen = 1;
  for (int64_t v = minWayId; v <= -10; v /= 10) ++negLen;
  if (minWayId < 0 && negLen + 1 > idLen) idLen = static_cast<uint8_t>(negLen + 1);
  f.push_back({"osm_id", gfChar, idLen, 0});
  switch (NameChoice(o)) {
    case nrNameRef:
      f.push_back({"name_ref", gfChar, static_cast<uint8_t>(o.NameLength + o.RefLength + 3), 0});
      break;
    case nrNameAndRef:
      f.push_back({"name", gfChar, nameLen, 0});
      f.push_back({"ref", gfChar, refLen, 0});
      break;
    default:
      f.push_back({"name", gfChar, nameLen, 0});
      break;
  }
  f.push_back({"type", gfChar, 25, 0});
  f.push_back({"attribute", gfSmallInt, 0, 0});
  if (o.Pedestrian) f.push_back({"Pedestrian", gfDecimal, 1, 0});
  if (o.Bicycle) f.push_back({"Bicycle", gfDecimal, 1, 0});
  if (o.Car) f.push_back({"Car", gfDecimal, 1, 0});
  static constexpr TRoadField optional[oiCount] = {
      {"Bridge", gfDecimal, 1, 0},    {"Lanes", gfDecimal, 3, 1},
      {"MaxHeight", gfDecimal, 4, 1}, {"MaxSpeed", gfSmallInt, 0, 0},
      {"MaxWeight", gfDecimal, 4, 1}, {"MaxWidth", gfDecimal, 4, 1},
      {"Toll", gfDecimal, 1, 0},      {"Tunnel", gfDecimal, 1, 0}};
  for (int i = 0; i < oiCount; ++i)
    if (o.Optional[i]) f.push_back(optional[i]);
  f.push_back({"duration", gfSmallInt, 0, 0});
  return f;
}

void AddRoadFields(TGISWriter& writer, const TRunOptions& options, int64_t maxWayId, int64_t minWayId) {
  const std::vector<TRoadField> fields = RoadFields(options, maxWayId, minWayId);
  writer.StartHeader(static_cast<int32_t>(fields.size()), otPline);
  for (const TRoadField& f : fields) writer.AddField(f.Name, f.FieldType, f.Width, f.Decimals);
}

// ---------------------------------------------------------------- TWayAttributes

TWayAttributes::TWayAttributes(const TRunOptions& options, const TIncludeLists& include,
                               TErrorSink& errors)
    : FOptions(options), FInclude(include), FErrors(errors) {
  FRecord.reserve(256);
  FPart.reserve(256);
  FLine.reserve(256);
}

void TWayAttributes::ResetWayState(int64_t wayId) {
  FWayId = wayId;
  FWayIdText.clear();
  AppendInt(FWayIdText, wayId);
  FType.clear();
  FName.clear();
  FRef.clear();
  FOneway = owNone;
  FRoundabout = false;
  FDestination = false;
  FBridge = FToll = FTunnel = 0;
  FDuration = 0;
  FMaxSpeed = 0;
  FLanes = FMaxHeight = FMaxWeight = FMaxWidth = 0;
  FAttribute = 0;
  FLevelBridge = FLevelTunnel = false;
  FLayer = 0;
  FRecord.clear();
}

std::string CleanTagValue(std::string_view v) {
  std::string out;
  out.reserve(v.size() + 8);
  for (char c : v) {
    // A road table holds one record per line in its MID file: a line break
    // inside a value would split the record.
    if (c == '\r' || c == '\n') c = ' ';
    if (c == '"') {
      out += "\"\"";
    } else if (c == ' ' && !out.empty() && out.back() == ' ') {
      // a run of spaces keeps its first
    } else {
      out += c;
    }
  }
  return out;
}

std::string_view TWayAttributes::Decoded(std::string_view v) {
  // Most values need nothing; only then is a copy made.
  if (v.find_first_of("\"\r\n") == std::string_view::npos && v.find("  ") == std::string_view::npos) return v;
  FDecoded = CleanTagValue(v);
  return FDecoded;
}

void TWayAttributes::Error(const char* kind, std::string_view value) {
  FLine.assign(kind);
  FLine += ',';
  FLine += FWayIdText;
  FLine += ',';
  FLine.append(value);
  FErrors.ErrorLine(FLine);
}

void TWayAttributes::HandleTag(std::string_view k, std::string_view v) {
  // Keys are tested by length first; tags the table ignores are never decoded.
  switch (k.size()) {
    case 3:
      if (k == "ref") FRef.assign(Decoded(v));
      return;
    case 4:
      if (k == "name") {
        FName.assign(Decoded(v));
      } else if (k == "toll") {
        FToll = FOptions.Optional[oiToll] && Decoded(v) == "yes" ? 1 : 0;
      }
      return;
    case 5:
      if (k == "route") {
        if (Decoded(v) == "ferry") FType.assign("ferry");
      } else if (k == "lanes") {
        if (FOptions.Optional[oiLanes]) SetNumber(Decoded(v), FLanes, "Lanes");
      } else if (k == "layer") {
        // "1;2" or "1.5" read as their leading whole number; what is no
        // number at all is the ground.
        const char* b = v.data();
        if (!v.empty() && *b == '+') ++b;
        int32_t layer = 0;
        if (std::from_chars(b, v.data() + v.size(), layer).ec != std::errc()) layer = 0;
        FLayer = layer;
      }
      return;
    case 6:
      if (k == "oneway") {
        const std::string_view d = Decoded(v);
        if (d == "reverse" || d == "-1")
          FOneway = owBackward;
        else if (d == "true" || d == "1" || d == "yes")
          FOneway = owForward;
      } else if (k == "access") {
        if (Decoded(v) == "destination") FDestination = true;
      } else if (k == "bridge") {
        FBridge = FOptions.Optional[oiBridge] && Decoded(v) == "yes" ? 1 : 0;
        // bridge=viaduct, =cantilever, ... lift the way as well.
        FLevelBridge = !v.empty() && v != "no";
      } else if (k == "tunnel") {
        FTunnel = FOptions.Optional[oiTunnel] && Decoded(v) == "yes" ? 1 : 0;
        FLevelTunnel = !v.empty() && v != "no";
      }
      return;
    case 7:
      if (k == "highway") FType.assign(Decoded(v));
      return;
    case 8:
      if (k == "junction") {
        if (Decoded(v) == "roundabout") FRoundabout = true;
      } else if (k == "duration") {
        SetDuration(Decoded(v));
      } else if (k == "maxspeed") {
        if (FOptions.Optional[oiMaxSpeed]) SetMaxSpeed(Decoded(v));
      } else if (k == "maxwidth") {
        if (FOptions.Optional[oiMaxWidth]) SetNumber(Decoded(v), FMaxWidth, "Maxwidth");
      }
      return;
    case 9:
      if (k == "maxheight") {
        if (FOptions.Optional[oiMaxHeight]) SetNumber(Decoded(v), FMaxHeight, "Maxheight");
      } else if (k == "maxweight") {
        if (FOptions.Optional[oiMaxWeight]) SetNumber(Decoded(v), FMaxWeight, "Maxweight");
      }
      return;
    case 13:
      if (k == "motor_vehicle") {
        if (Decoded(v) == "destination") FDestination = true;
      }
      return;
    case 14:
      if (k == "route_duration") SetDuration(Decoded(v));
      return;
    default:
      return;
  }
}

void TWayAttributes::SetNumber(std::string_view v, double& target, const char* kind) {
  double value = 0;
  if (ParseNumber(v, value))
    target = value;
  else
    Error(kind, v);
}

void TWayAttributes::SetDuration(std::string_view v) {
  int64_t minutes = 0;
  const size_t colon = v.find(':');
  bool ok;
  if (colon == std::string_view::npos) {
    ok = TryParseBlankInt32(v, minutes);
  } else {
    int64_t h = 0, m = 0;
    ok = TryParseBlankInt32(v.substr(0, colon), h) && TryParseBlankInt32(v.substr(colon + 1), m);
    minutes = h * 60 + m;
    // A duration beyond the 32-bit range is as unusable as a malformed one.
    ok = ok && minutes >= std::numeric_limits<int32_t>::min() &&
         minutes <= std::numeric_limits<int32_t>::max();
  }
  if (ok)
    FDuration = static_cast<int32_t>(minutes);
  else
    Error("Duration", v);
}

void TWayAttributes::SetMaxSpeed(std::string_view v) {
  FScratch.assign(v);
  for (char& c : FScratch)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  std::string_view text = FScratch;
  const size_t mph = text.find("mph");
  const bool hadMph = mph != std::string_view::npos;
  if (hadMph) text = Trim(text.substr(0, mph));
  double s = 0;
  if (!CheckedNumericPrefix(text, s)) {
    s = 0;
    Error("Maxspeed", text);
  }
  double value = s;
  if (FOptions.SpeedUnit == suMph && !hadMph)
    value = s / 1.609;
  else if (FOptions.SpeedUnit == suKmh && hadMph)
    value = s * 1.609;
  FMaxSpeed = ClampToInt32(Round(value));
}

void TWayAttributes::CheckNameLength(std::string_view text, uint32_t limit) {
  // Lengths count characters, in every encoding. A shapefile or TAB field
  // holds at most 254 bytes, though, which a name of fewer characters can
  // need where characters take several bytes: its writers cut there too,
  // and every cut is reported. Up to 127 bytes of UTF-8 are at most 254
  // bytes in any encoding.
  size_t cut = CharCount(text) > limit ? ByteOffsetOfChar(text, limit) : text.size();
  if (text.size() > 127) {
    const uint8_t format = FOptions.FF();
    if (format == gfSHP || (format == gfMITAB && TGISWriter::MITAB_supported()))
      cut = std::min(cut, CodePageCutPoint(text, FOptions.TableCodePage(), limit, 254));
  }
  if (cut == text.size()) return;
  FLine.assign("TooLongName,");
  FLine += FWayIdText;
  FLine += ',';
  FLine.append(text);
  FLine += ",   Part too long: ";
  FLine.append(text.substr(cut));
  FErrors.ErrorLine(FLine);
}

void TWayAttributes::AppendQuoted(std::string_view text) {
  FRecord += '"';
  FRecord.append(text);
  FRecord += '"';
}

void TWayAttributes::FinishWay(const int64_t* firstNode, const TJunctionList* junctions,
                               bool pedestrian, bool bicycle, bool car) {
  // 1. Attribute code. The parts are added, so they stay apart only while
  // road type codes are below 256.
  int32_t code = FInclude.TypeCode(FType);
  if (FDestination) code += acDestination;
  if (FOneway == owBackward)
    code += acOnewayBackward;
  else if (FOneway == owForward || FRoundabout)
    code += acOnewayForward;
  if (FRoundabout) code += acRoundabout;
  if (FType.find("ferry") != std::string::npos) code += acFerry;
  FAttribute = code;

  // 2. A motorway link without a ref takes the junction number of the node
  // it leaves from. The stored value is the tag's text, so it is cleaned
  // like every other tag value before it enters a quoted field.
  if (FType == "motorway_link" && FRef.empty() && firstNode != nullptr && junctions != nullptr) {
    const auto it = junctions->find(*firstNode);
    if (it != junctions->end()) {
      const std::string_view j = Decoded(it->second);
      if (FOptions.ExitText.empty()) {
        FRef.assign(j);
      } else {
        FRef.assign(FOptions.ExitText);
        FRef += ' ';
        FRef.append(j);
      }
    }
  }

  // 3. Trimmed name and ref.
  TrimInPlace(FName);
  TrimInPlace(FRef);

  // 4. The record text.
  FRecord.clear();
  AppendQuoted(FWayIdText);
  FRecord += ',';
  switch (NameChoice(FOptions)) {
    case nrName:
      CheckNameLength(FName, FOptions.NameLength);
      AppendQuoted(FName);
      break;
    case nrNameRef: {
      std::string_view value;
      if (FRef.empty()) {
        value = FName;
      } else if (FName.empty()) {
        value = FRef;
      } else {
        FCombined.assign(FName);
        FCombined += " (";
        FCombined += FRef;
        FCombined += ')';
        value = FCombined;
      }
      CheckNameLength(value, FOptions.NameLength + FOptions.RefLength + 3);
      AppendQuoted(value);
      break;
    }
    case nrNameUnlessRef:
      if (!FRef.empty()) {
        CheckNameLength(FRef, FOptions.RefLength);
        AppendQuoted(FRef);
      } else {
        CheckNameLength(FName, FOptions.NameLength);
        AppendQuoted(FName);
      }
      break;
    default:  // nrNameAndRef
      CheckNameLength(FName, FOptions.NameLength);
      CheckNameLength(FRef, FOptions.RefLength);
      AppendQuoted(FName);
      FRecord += ',';
      AppendQuoted(FRef);
      break;
  }
  FRecord += ',';
  AppendQuoted(FType);
  FRecord += ',';
  AppendInt(FRecord, FAttribute);

  if (FOptions.Pedestrian) FRecord += pedestrian ? ",1" : ",0";
  if (FOptions.Bicycle) FRecord += bicycle ? ",1" : ",0";
  if (FOptions.Car) FRecord += car ? ",1" : ",0";

  for (int i = 0; i < oiCount; ++i) {
    if (!FOptions.Optional[i]) continue;
    FRecord += ',';
    switch (i) {
      case oiBridge: FRecord += FBridge ? '1' : '0'; break;
      case oiLanes: AppendNumber(FRecord, FLanes); break;
      case oiMaxHeight: AppendNumber(FRecord, FMaxHeight); break;
      case oiMaxSpeed: AppendInt(FRecord, FMaxSpeed); break;
      case oiMaxWeight: AppendNumber(FRecord, FMaxWeight); break;
      case oiMaxWidth: AppendNumber(FRecord, FMaxWidth); break;
      case oiToll: FRecord += FToll ? '1' : '0'; break;
      case oiTunnel: FRecord += FTunnel ? '1' : '0'; break;
      default: break;
    }
  }
}

const std::string& TWayAttributes::PartRecord(int32_t duration) {
  FPart.assign(FRecord);
  FPart += ',';
  AppendInt(FPart, duration);
  return FPart;
}
