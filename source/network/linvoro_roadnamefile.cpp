#include "linvoro_roadnamefile.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "linvoro_csvfiles.h"
#include "linvoro_dbffiles.h"
#include "linvoro_functions.h"
#include "linvoro_giswriter_gpkg.h"
#include "linvoro_platform.h"
#include "linvoro_stringtree.h"
#include "linvoro_types.h"

namespace {

std::string NN(int32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", static_cast<int>(n));
  return buf;
}

std::string Dir(const std::string& d) {
  if (d.empty() || d.back() == '/') return d;
  return d + '/';
}

std::string TrimBlank(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

void RemoveFile(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

// roadnameNN.bin: every name in sorted order as UTF-16LE, zero-padded or cut
// to the width of the longest name. False, the file left incomplete, when
// stopped() turned true.
template <class TStopped>
bool WriteNames(TStringTree& tree, const std::string& path, TStopped&& stopped) {
  tree.CreateID();
  std::vector<int32_t> order(tree.Count());
  for (int32_t i = 1; i <= tree.Count(); ++i) order[tree.GetItem(i).id] = i;
  const size_t width = 2 * static_cast<size_t>(tree.MaxLength());
  TLvBufferedStream out(new TLvFileStream(path, fmCreate), true);
  std::string rec;
  for (size_t k = 0; k < order.size(); ++k) {
    if (k % 4096 == 0 && stopped()) return false;
    rec = Utf8ToCodePage(tree.GetItem(order[k]).key, 1200);
    rec.resize(width, '\0');
    out.WriteBuffer(rec.data(), static_cast<int64_t>(rec.size()));
  }
  out.Flush();
  return true;
}

}  // namespace

TRoadNameFile::~TRoadNameFile() { Close(); }

std::string TRoadNameFile::NameFileName(int32_t FileNumber) {
  return "roadname" + NN(FileNumber) + ".bin";
}
std::string TRoadNameFile::NumberFileName(int32_t FileNumber) {
  return "roadnumber" + NN(FileNumber) + ".bin";
}

void TRoadNameFile::Import1(const std::vector<std::string>& Files, const std::string& Directory,
                            int CodePage, int32_t FileNumber, int32_t FieldIndex) {
  if (Files.empty()) throw EFileMissing("Cannot find input file to import.");
  FCancelled = false;
  const std::string nameFile = Dir(Directory) + NameFileName(FileNumber);
  const std::string numberFile = Dir(Directory) + NumberFileName(FileNumber);
  TStringTree tree;
  std::vector<int32_t> nodes;
  std::string value;
  int64_t size = 0;
  {
    TCSVFiles csv(CodePage);
    csv.Add(Files);
    csv.Open();
    size = csv.Size();
    SetProgressMaxValue(static_cast<double>(size));
    SetProgressStart(0);
    SetProgressStop(40);
    while (!csv.Eof() && !FCancelled) {
      csv.Read(FieldIndex, value);
      if (value.empty()) value.push_back(' ');
      nodes.push_back(tree.Add(value));
      ProgressExecute(static_cast<double>(csv.Position()));
    }
  }
  if (!FCancelled) {
    if (!WriteNames(tree, nameFile, [this] { return StopRaised(); })) FCancelled = true;
    SetProgressStart(41);
    SetProgressStop(100);
    WriteNumbers(tree, nodes, numberFile, static_cast<double>(size));
    if (FCancelled) {
      RemoveFile(nameFile);
      RemoveFile(numberFile);
    }
  }
  SetProgressStart(0);
  SetProgressStop(100);
  ProgressExecuteZero();
}

void TRoadNameFile::Import2(const std::vector<std::string>& Files, const std::string& Directory,
                            int CodePage, int32_t FileNumber, int32_t FieldIndex,
                            const std::string& FieldName) {
  if (Files.empty()) throw EFileMissing("Cannot find input file to import.");
  FCancelled = false;
  TDbfFiles dbf(CodePage);
  dbf.Add(Files);
  dbf.Open();
  if (FieldIndex < -1 || FieldIndex > dbf.FieldCount())
    throw EInvalidFieldIndex("FieldIndex out of bound");
  int32_t field = FieldIndex;
  if (!FieldName.empty()) {
    field = dbf.FindField(FieldName);
    if (field < 0) throw EFieldNameNotFound("Field Name not found");
  }
  // -1 and FieldCount pass the bound check above but name no field.
  if (field < 0 || field >= dbf.FieldCount() || dbf.FieldInfo(field).FieldType != gfChar)
    throw EInvalidFieldType("Invalid field type");
  ImportValues(
      dbf.RecordCount(), [&](int64_t r, std::string& value) { value = dbf.ReadString(field, r); }, Directory,
      FileNumber);
}

void TRoadNameFile::Import3(const std::vector<std::string>& Files, const std::string& Layer,
                            const std::string& Directory, int32_t FileNumber, int32_t FieldIndex,
                            const std::string& FieldName) {
  if (Files.empty()) throw EFileMissing("Cannot find input file to import.");
  FCancelled = false;
  std::vector<std::unique_ptr<TGpkgLayerReader>> layers;
  int64_t n = 0;
  int32_t field = FieldIndex;
  for (const std::string& f : Files) {
    layers.push_back(std::make_unique<TGpkgLayerReader>(f, Layer));
    TGpkgLayerReader& l = *layers.back();
    int32_t k = FieldName.empty() ? FieldIndex : l.FindField(FieldName);
    if (!FieldName.empty() && k < 0) throw EFieldNameNotFound("Field Name not found");
    if (k < 0 || k >= l.FieldCount() || !l.FieldIsText(k)) throw EInvalidFieldType("Invalid field type");
    if (layers.size() > 1 && k != field) throw EDifferentDBFFilesStructure("The layers differ in their fields");
    field = k;
    l.ReadOnly(k);
    n += l.RecordCount();
  }
  size_t current = 0;
  ImportValues(
      n,
      [&](int64_t r, std::string& value) {
        if (r == 1) {
          current = 0;
          for (auto& l : layers) l->Rewind();
        }
        while (current < layers.size() && !layers[current]->Next()) ++current;
        value = current < layers.size() ? std::string(Trim(layers[current]->Text(field))) : std::string();
      },
      Directory, FileNumber);
}

void TRoadNameFile::ImportValues(int64_t n, const std::function<void(int64_t, std::string&)>& read,
                                 const std::string& Directory, int32_t FileNumber) {
  const std::string nameFile = Dir(Directory) + NameFileName(FileNumber);
  const std::string numberFile = Dir(Directory) + NumberFileName(FileNumber);
  TStringTree tree;
  std::vector<int32_t> nodes;
  std::string value;
  SetProgressMaxValue(static_cast<double>(n));
  SetProgressStart(0);
  SetProgressStop(40);
  for (int64_t r = 1; r <= n && !FCancelled; ++r) {
    read(r, value);
    if (value.empty()) value.push_back(' ');
    nodes.push_back(tree.Add(value));
    ProgressExecute(static_cast<double>(r));
  }
  if (!FCancelled) {
    if (!WriteNames(tree, nameFile, [this] { return StopRaised(); })) FCancelled = true;
    SetProgressStart(41);
    SetProgressStop(100);
    WriteNumbers(tree, nodes, numberFile, static_cast<double>(n));
    if (FCancelled) {
      RemoveFile(nameFile);
      RemoveFile(numberFile);
    }
  }
  SetProgressStart(0);
  SetProgressStop(100);
  ProgressExecuteZero();
}

void TRoadNameFile::WriteNumbers(const TStringTree& tree, const std::vector<int32_t>& nodes,
                                 const std::string& numberFile, double progressMax) {
  // Progress runs on over the same scale as the reading did.
  const double step = nodes.empty() ? 0 : progressMax / static_cast<double>(nodes.size());
  TLvBufferedStream out(new TLvFileStream(numberFile, fmCreate), true);
  if (FCancelled) return;
  for (size_t r = 0; r < nodes.size() && !FCancelled; ++r) {
    const int32_t id = tree.GetItem(nodes[r]).id + 1;
    out.WriteBuffer(&id, 4);
    ProgressExecute(step * static_cast<double>(r + 1));
  }
  out.Flush();
}

void TRoadNameFile::Load(const std::string& Directory, bool Cache, int32_t /*StartKey*/,
                         int32_t FileNumber, int32_t LinkCount) {
  Close();
  const std::string numberFile = Dir(Directory) + NumberFileName(FileNumber);
  const std::string nameFile = Dir(Directory) + NameFileName(FileNumber);
  if (!std::filesystem::exists(numberFile)) throw EFileMissing(numberFile + " does not exist");
  if (!std::filesystem::exists(nameFile)) throw EFileMissing(nameFile + " does not exist");
  {
    TLvFileStream num(numberFile, fmOpenRead | fmShareDenyWrite);
    const int64_t size = num.Size();
    if (LinkCount < 0 || size != int64_t(LinkCount) * 4)
      throw EInvalidParameter(
          "LinkCount parameter value and links in the roadname file is different");
    FRoadNumberArray.resize(static_cast<size_t>(LinkCount));
    if (LinkCount > 0) num.ReadBuffer(FRoadNumberArray.data(), size);
  }
  FMaxRoadNameID = 0;
  for (int32_t v : FRoadNumberArray) FMaxRoadNameID = std::max(FMaxRoadNameID, v);
  std::unique_ptr<TLvStream> names(new TLvFileStream(nameFile, fmOpenRead | fmShareDenyWrite));
  if (Cache) {
    auto mem = std::make_unique<TLvMemoryStream>();
    mem->LoadFromStream(*names);
    names = std::move(mem);
  }
  const int64_t nameSize = names->Size();
  FMaxRoadNameLength =
      FMaxRoadNameID > 0 ? static_cast<int32_t>(nameSize / FMaxRoadNameID) : 0;
  FRoadNameFile = std::move(names);
  FOpen = true;
  FMaxRoadNameLengthUTF8 = 0;
  // Without name records every name is empty; the scan below would only
  // count up to the largest id of the number file, which may be 2^31 - 1.
  if (FMaxRoadNameLength <= 0) return;
  // In blocks of whole records: a read per name costs a seek and a read
  // each, seconds for a country's million way ids.
  const int64_t width = FMaxRoadNameLength;
  const int64_t perBlock = std::max<int64_t>(1, (int64_t(4) << 20) / width);
  std::string block, rec;
  FRoadNameFile->SetPosition(0);
  for (int64_t first = 0; first < FMaxRoadNameID; first += perBlock) {
    const int64_t n = std::min<int64_t>(perBlock, FMaxRoadNameID - first);
    block.resize(static_cast<size_t>(n * width));
    FRoadNameFile->ReadBuffer(block.data(), n * width);
    for (int64_t i = 0; i < n; ++i) {
      rec.assign(block, static_cast<size_t>(i * width), static_cast<size_t>(width));
      FMaxRoadNameLengthUTF8 = std::max(
          FMaxRoadNameLengthUTF8, static_cast<int32_t>(TrimBlank(CodePageToUtf8(rec, 1200)).size()));
    }
  }
}

void TRoadNameFile::Close() {
  std::lock_guard<std::mutex> lock(FCS);
  FRoadNameFile.reset();
  FRoadNumberArray.clear();
  FRoadNumberArray.shrink_to_fit();
  FMaxRoadNameID = 0;
  FMaxRoadNameLength = 0;
  FMaxRoadNameLengthUTF8 = 0;
  FOpen = false;
}

void TRoadNameFile::CacheNames() {
  std::lock_guard<std::mutex> lock(FCS);
  if (!FRoadNameFile || dynamic_cast<TLvMemoryStream*>(FRoadNameFile.get())) return;
  auto mem = std::make_unique<TLvMemoryStream>();
  mem->LoadFromStream(*FRoadNameFile);
  FRoadNameFile = std::move(mem);
}

int64_t TRoadNameFile::NameFileSize() {
  std::lock_guard<std::mutex> lock(FCS);
  return FRoadNameFile ? FRoadNameFile->Size() : 0;
}

std::string TRoadNameFile::RoadName2(int32_t ARoadNameID) {
  std::string rec;
  {
    std::lock_guard<std::mutex> lock(FCS);
    // An id the number file never uses would read past the name records.
    if (!FRoadNameFile || ARoadNameID < 1 || ARoadNameID > FMaxRoadNameID ||
        FMaxRoadNameLength <= 0)
      return std::string();
    rec.resize(static_cast<size_t>(FMaxRoadNameLength));
    FRoadNameFile->SetPosition(int64_t(ARoadNameID - 1) * FMaxRoadNameLength);
    FRoadNameFile->ReadBuffer(rec.data(), FMaxRoadNameLength);
  }
  return TrimBlank(CodePageToUtf8(rec, 1200));
}

int32_t TRoadNameFile::RoadNameID1(int32_t LinkID) const {
  if (LinkID < 1 || LinkID > static_cast<int32_t>(FRoadNumberArray.size())) return 0;
  return FRoadNumberArray[static_cast<size_t>(LinkID - 1)];
}

std::string TRoadNameFile::RoadName1(int32_t LinkID) { return RoadName2(RoadNameID1(LinkID)); }
