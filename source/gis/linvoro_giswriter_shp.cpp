// Shapefile writer. Each shape record is assembled in memory (its header,
// box and point count are only known after the last section) and then
// written in one piece; the file headers get their lengths and the table's
// box on Close.
#include <bit>
#include <cstring>
#include <exception>

#include "linvoro_giswriter.h"
#include "linvoro_io.h"
#include "linvoro_textfilewriter.h"

namespace {

static_assert(sizeof(TFloatPoint) == 16, "points are copied as x, y double pairs");

inline void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline void PutLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline void PutLEDouble(uint8_t* p, double v) {
  uint64_t u;
  std::memcpy(&u, &v, 8);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

void PutBox(uint8_t* p, double xmin, double ymin, double xmax, double ymax) {
  PutLEDouble(p, xmin);
  PutLEDouble(p + 8, ymin);
  PutLEDouble(p + 16, xmax);
  PutLEDouble(p + 24, ymax);
}

void WriteTextFile(const std::string& path, const std::string& text) {
  TTextFileWriter w(path, 1252, false);
  w.write(text);
  w.Close();
}

// Patches file length (in 16-bit words) and box into a shape file header,
// then flushes and closes the stream.
void FinishShapeFile(std::unique_ptr<TLvBufferedStream> f, int64_t bytes, const double box[4]) {
  uint8_t len[4];
  PutBE32(len, static_cast<uint32_t>(bytes / 2));
  f->Seek(24, soBeginning);
  f->WriteBuffer(len, 4);
  uint8_t b[32];
  PutBox(b, box[0], box[1], box[2], box[3]);
  f->Seek(36, soBeginning);
  f->WriteBuffer(b, 32);
  f->Flush();
}

}  // namespace

TGISWriterSHP::TGISWriterSHP() = default;

TGISWriterSHP::~TGISWriterSHP() = default;

int32_t TGISWriterSHP::ShapeType() const {
  switch (FObjectTypes) {
    case otPline: return 3;
    case otRegion: return 5;
    case otPoint: return 1;
    default: return 0;
  }
}

void TGISWriterSHP::StartHeader(int32_t NumFields, TObjectTypes ObjectTypes) {
  TGISWriterDBF::StartHeader(NumFields, ObjectTypes);
  FShapeRecords = 0;
  FSHPOffset = 100;
  FRecordOpen = false;
  FSHPopen = false;
  if (FObjectTypes == otNone) return;
  if (!FPRJ.empty()) WriteTextFile(FFileName + ".prj", FPRJ);
  // Readers take UTF-8 by that name; the other pages by their number.
  if (FCodepage != 0)
    WriteTextFile(FFileName + ".cpg", FCodepage == 65001 ? std::string("UTF-8") : std::to_string(FCodepage));

  uint8_t h[100] = {};
  PutBE32(h, 9994);
  PutLE32(h + 28, 1000);
  PutLE32(h + 32, static_cast<uint32_t>(ShapeType()));
  FOutSHP.reset();
  FOutSHX.reset();
  FOutSHP = CreateWriteBehindFile(FFileName + ".shp");
  FOutSHP->WriteBuffer(h, 100);
  FOutSHX = CreateWriteBehindFile(FFileName + ".shx");
  FOutSHX->WriteBuffer(h, 100);
  if (FRec.size() < 4096) FRec.resize(4096);
  FSHPopen = true;
}

void TGISWriterSHP::WriteObject(int32_t NumParts, std::string_view Attrib) {
  FDeferRecord = FSHPopen;
  TGISWriterDBF::WriteObject(NumParts, Attrib);
  if (!FSHPopen) return;
  FRecordOpen = true;
  ++FShapeRecords;
  uint8_t* r = FRec.data();
  PutBE32(r, FShapeRecords);
  if (NumParts == 0) {  // Null shape
    PutLE32(r + 8, 0);
    FRecLen = 12;
    FContentLength = 4;
    CompleteRecord();
    return;
  }
  const int32_t type = ShapeType();
  PutLE32(r + 8, static_cast<uint32_t>(type));
  FNumPoints = 0;
  FXMinO = GISBoxLimit;
  FYMinO = GISBoxLimit;
  FXMaxO = -GISBoxLimit;
  FYMaxO = -GISBoxLimit;
  if (type == 1) {
    FRecLen = 28;
    std::memset(r + 12, 0, 16);
  } else {
    const size_t head = 52 + 4 * static_cast<size_t>(NumParts);
    if (FRec.size() < head + 1024) {
      FRec.resize(head + 4096);
      r = FRec.data();
    }
    PutLE32(r + 44, static_cast<uint32_t>(NumParts));
    std::memset(r + 52, 0, head - 52);
    FRecLen = head;
  }
}

void TGISWriterSHP::WriteSection(int32_t Index, const TFloatPointArrayEx& SegList) {
  TGISWriter::WriteSection(Index, SegList);
  if (!FRecordOpen) return;
  const int32_t n = SegList.Count;
  const TFloatPoint* p = SegList.Pnt.data();
  double xmin = FXMinO, ymin = FYMinO, xmax = FXMaxO, ymax = FYMaxO;
  if (ShapeType() == 1) {
    // A point record holds one point: the first of its first section.
    if (FNumPoints == 0) {
      PutLEDouble(FRec.data() + 12, p[0].x);
      PutLEDouble(FRec.data() + 20, p[0].y);
      xmin = xmax = p[0].x;
      ymin = ymax = p[0].y;
      FNumPoints = 1;
    }
  } else {
    PutLE32(FRec.data() + 48 + 4 * static_cast<size_t>(FWrittenParts),
            static_cast<uint32_t>(FNumPoints));
    const size_t bytes = 16 * static_cast<size_t>(n);
    if (FRecLen + bytes > FRec.size()) FRec.resize(std::max(FRec.size() * 2, FRecLen + bytes));
    uint8_t* dst = FRec.data() + FRecLen;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(dst, p, bytes);
    } else {
      for (int32_t i = 0; i < n; ++i) {
        PutLEDouble(dst + 16 * i, p[i].x);
        PutLEDouble(dst + 16 * i + 8, p[i].y);
      }
    }
    for (int32_t i = 0; i < n; ++i) {
      const double x = p[i].x, y = p[i].y;
      if (x < xmin) xmin = x;
      if (x > xmax) xmax = x;
      if (y < ymin) ymin = y;
      if (y > ymax) ymax = y;
    }
    FRecLen += bytes;
    FNumPoints += n;
  }
  FXMinO = xmin;
  FYMinO = ymin;
  FXMaxO = xmax;
  FYMaxO = ymax;
  if (FWrittenParts < FNumParts) return;

  if (FXMinO < FXMinG) FXMinG = FXMinO;
  if (FYMinO < FYMinG) FYMinG = FYMinO;
  if (FXMaxO > FXMaxG) FXMaxG = FXMaxO;
  if (FYMaxO > FYMaxG) FYMaxG = FYMaxO;
  if (ShapeType() == 1) {
    FContentLength = 20;
  } else {
    PutBox(FRec.data() + 12, FXMinO, FYMinO, FXMaxO, FYMaxO);
    PutLE32(FRec.data() + 48, static_cast<uint32_t>(FNumPoints));
    FContentLength = static_cast<int32_t>(FRecLen - 8);
  }
  CompleteRecord();
}

void TGISWriterSHP::CompleteRecord() {
  // A record goes into the three files or into none: every limit is
  // checked before anything of it is written. The .shx always stays
  // smaller than the .shp (8 bytes a record against at least 12).
  std::string full = FOutDBF ? DbfFullMessage() : std::string();
  const int64_t limit = SizeLimit(ShapefileSizeLimit);
  if (full.empty() && FSHPOffset + 8 + FContentLength > limit)
    full = TableFullMessage(FileName().substr(FileName().rfind('/') + 1) + ".shp", limit, "bytes",
                            "the most a shapefile's 32-bit offsets address for every reader");
  if (!full.empty()) {
    FRecordOpen = false;
    --FShapeRecords;
    FullStop(full);
  }
  if (FOutDBF) PutDbfRecord();
  PutBE32(FRec.data() + 4, static_cast<uint32_t>(FContentLength / 2));
  FOutSHP->WriteBuffer(FRec.data(), static_cast<int64_t>(FRecLen));
  uint8_t idx[8];
  PutBE32(idx, static_cast<uint32_t>(FSHPOffset / 2));
  PutBE32(idx + 4, static_cast<uint32_t>(FContentLength / 2));
  FOutSHX->WriteBuffer(idx, 8);
  FSHPOffset += 8 + FContentLength;
  FRecordOpen = false;
}

void TGISWriterSHP::FinishIncompleteRecord() {
  if (!FRecordOpen) return;
  PutLE32(FRec.data() + 8, 0);
  FRecLen = 12;
  FContentLength = 4;
  CompleteRecord();
  FNumParts = FWrittenParts;
}

void TGISWriterSHP::AddPoint(double X, double Y, std::string_view Attrib) {
  if (FObjectTypes != otPoint) return;
  CheckRecordStart();
  WriteObject(1, Attrib);
  FPoint1.Pnt[0] = TFloatPoint{X, Y};
  AddSection(0, FPoint1);
}

void TGISWriterSHP::Close() {
  std::exception_ptr failure;
  // A record still waiting for sections first, while its row can still be
  // written beside it.
  if (FSHPopen) {
    try {
      FinishIncompleteRecord();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  try {
    TGISWriterDBF::Close();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (FSHPopen) {
    FSHPopen = false;
    const double box[4] = {FXMinG, FYMinG, FXMaxG, FYMaxG};
    try {
      FinishShapeFile(std::move(FOutSHP), FSHPOffset, box);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    try {
      FinishShapeFile(std::move(FOutSHX), 100 + 8 * static_cast<int64_t>(FShapeRecords), box);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

void TGISWriterSHP::Drop() {
  TGISWriterDBF::Drop();
  DeleteFileIfExists(FFileName + ".shp");
  DeleteFileIfExists(FFileName + ".shx");
  DeleteFileIfExists(FFileName + ".prj");
  DeleteFileIfExists(FFileName + ".cpg");
}
