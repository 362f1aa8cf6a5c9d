// Readers of attribute tables: one dBASE file (.dbf) or the attribute file of
// a MapInfo TAB table (.dat, native or NativeX, described by its .tab), and
// several such files read as one table with continuous record numbers. The
// network builder reads the road table's attributes and optional z-level
// fields through them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "linvoro_giswriter.h"
#include "linvoro_io.h"
#include "linvoro_types.h"

enum class TDBFtype : uint8_t { dbf, dat, datx };

// A field as read from a table.
struct Tdbffield {
  std::string Name;  // upper case
  TGISField FieldType = gfChar;
  int32_t Width = 0;
  int32_t decimals = 0;
  // gfDecimal only: the largest and smallest value the width can hold.
  double Max = 0;
  double Min = 0;
  // Offset of the field inside a record (after the deletion byte and, in
  // NativeX tables, the null bits). 32-bit: NativeX records may be long.
  int32_t Pos = 0;
};

class TDbfFile {
 public:
  // ACodePage 0: taken from the table when it is opened. ABufferSize: the
  // bytes read at a time (see TLvBufferedStream).
  TDbfFile(const std::string& FileName, int ACodePage,
           int32_t ABufferSize = TLvBufferedStream::DefaultBufferSize);
  ~TDbfFile();
  TDbfFile(const TDbfFile&) = delete;
  TDbfFile& operator=(const TDbfFile&) = delete;

  // Reads the structure. A name that ends neither in .dbf nor in .dat stays
  // closed without an error. A damaged table raises: EFileMissing when a .dat
  // has no .tab, EConvertError when the .tab has no field count, EOutOfRange
  // when the header does not fit the file or the fields do not fit a record.
  void Open(bool ReadWrite = false);
  void Close();
  bool IsOpen() const { return fOpen; }

  // Index (from 0) of the first field whose name equals Fieldname in upper
  // case; -1 when absent or not open.
  int32_t FindField(std::string_view Fieldname) const;
  // The field's description; an empty one outside 0 .. FieldCount - 1.
  const Tdbffield& FieldInfo(int32_t FieldNum) const;

  // Values of record RecNum (from 1). Out-of-range field or record numbers
  // (or a table that is not open) give "" / 0; they never raise.
  std::string ReadString(int32_t FieldNum, int64_t RecNum);
  // gfInteger, gfSmallInt, gfInt64 binary; gfFloat a binary double rounded
  // (ties to even); gfDecimal the field text (rounded when it has decimals;
  // a blank or malformed text raises EConvertError). Other types raise
  // "Field type is not supported".
  int64_t ReadInteger(int32_t FieldNum, int64_t RecNum);
  // As ReadInteger, without rounding.
  double ReadFloat(int32_t FieldNum, int64_t RecNum);
  // Whether record RecNum carries the deletion mark "*".
  bool IsDeleted(int64_t RecNum);

  int32_t FieldCount() const { return fFieldCount; }
  int64_t RecordCount() const { return fRecordCount; }
  int CodePage() const { return fCodePage; }
  TDBFtype DBFtype() const { return fDBFtype; }
  const std::string& FileName() const { return fFilename; }

 private:
  void OpenDbf();
  void OpenDat(uint16_t mode);
  void ReadTab(const std::string& tabName, bool& nativeX, std::vector<Tdbffield>& fields);
  void CompleteFields();
  [[noreturn]] void Damaged(const std::string& what) const;
  // Reads the field's bytes of a record into fBuffer; false when the field or
  // record number is out of range.
  bool ReadField(int32_t FieldNum, int64_t RecNum);

  bool fOpen = false;
  TDBFtype fDBFtype = TDBFtype::dbf;
  std::unique_ptr<TLvBufferedStream> fBinFile;
  std::string fFilename;
  int64_t fStartOfData = 0;
  int64_t fRecordLength = 0;
  int32_t fFieldCount = 0;
  int64_t fRecordCount = 0;
  std::vector<uint8_t> fBuffer;  // one field, grown to the widest field read
  int32_t fFieldLength = 0;     // bytes of the field in fBuffer
  int fCodePage = 0;
  int fGivenCodePage = 0;
  int32_t fBufferSize = TLvBufferedStream::DefaultBufferSize;
  std::vector<Tdbffield> fFields;
};

class TDbfFiles {
 public:
  explicit TDbfFiles(int ACodePage);
  ~TDbfFiles();
  TDbfFiles(const TDbfFiles&) = delete;
  TDbfFiles& operator=(const TDbfFiles&) = delete;

  void Add(const std::string& FileName);
  void Add(const std::vector<std::string>& Files);

  // Opens every file read-only with the common code page. Files whose field
  // count, names or types differ from the first raise
  // EDifferentDBFFilesStructure.
  void Open();

  // Answered from the first file.
  int32_t FindField(std::string_view Fieldname) const;
  const Tdbffield& FieldInfo(int32_t FieldNum) const;

  // RecNum counts from 1 across all files in the order added; past the last
  // record "" / 0.
  std::string ReadString(int32_t FieldNum, int64_t RecNum);
  int64_t ReadInteger(int32_t FieldNum, int64_t RecNum);
  double ReadFloat(int32_t FieldNum, int64_t RecNum);

  // -1 until opened.
  int32_t FieldCount() const { return fFieldCount; }
  int64_t RecordCount() const { return fRecordCount; }

 private:
  // The file holding RecNum, with RecNum made local to it; nullptr past the end.
  TDbfFile* Locate(int64_t& RecNum);

  std::vector<std::unique_ptr<TDbfFile>> fDbf;
  std::vector<std::string> fFiles;
  std::vector<int64_t> fEnds;  // cumulative record counts
  int fCodePage = 0;
  int32_t fFieldCount = -1;
  int64_t fRecordCount = -1;
};
