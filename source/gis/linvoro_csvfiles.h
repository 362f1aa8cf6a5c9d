// Attribute lines of one or more comma-separated text files (in practice the
// .mid files of MIF road tables) read as one continuous sequence of records:
// line k of the sequence belongs to the k-th geometry of the table. Each Read
// call consumes the next line and returns one value from it.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "linvoro_giswriter.h"
#include "linvoro_textfilereader.h"
#include "linvoro_types.h"

// A table value as a decimal integer within [lo, hi]: optional leading
// blanks, an optional sign, digits and nothing after them. Anything else
// (the empty text included) raises EConvertError.
int64_t ConvertInteger(std::string_view text,
                       int64_t lo = std::numeric_limits<int64_t>::min(),
                       int64_t hi = std::numeric_limits<int64_t>::max());
// A table value as a decimal number with "." as separator, blanks around it
// allowed; anything else raises EConvertError.
double ConvertFloat(std::string_view text);

class TCSVFiles {
 public:
  // ACodePage 0 reads the text in the system's ANSI code page.
  explicit TCSVFiles(int ACodePage);
  ~TCSVFiles();
  TCSVFiles(const TCSVFiles&) = delete;
  TCSVFiles& operator=(const TCSVFiles&) = delete;

  void Add(const std::string& filename);
  void Add(const std::vector<std::string>& files);

  // Adds up the sizes of all files (a missing one raises EFOpenError) and
  // positions on the first line of the first file that has one.
  void Open();

  // True once every file has been read to its end.
  bool Eof() const { return fEof; }

  // The next line; empty after the last one.
  std::string ReadLine();
  // The next line split into its values.
  void ReadLine(std::vector<std::string>& values);

  // Each reads the next line and takes the value at fieldindex (from 0); a
  // line with fewer values gives "" or 0. Integer conversion of a blank or
  // malformed value, or of one outside the target type, raises EConvertError.
  void Read(int32_t fieldindex, std::string& value);
  void Read(int32_t fieldindex, int64_t& value);
  void Read(int32_t fieldindex, int16_t& value);
  void Read(int32_t fieldindex, int8_t& value);

  // Both levels from the next line: "Invalid fields for Z-levels defined"
  // when an index is not below the line's value count, EOutOfRange
  // "Z-levels of out range (-9..9)" when a level lies outside -9..9.
  void Read_Z(int32_t fieldindex1, int32_t fieldindex2, int32_t& z1, int32_t& z2);

  // Bytes read so far across all files, for progress display (an estimate:
  // the line reader counts characters and two per line end).
  int64_t Position() const;
  int64_t Size() const { return fTotalSize; }

 private:
  void NextFile();
  // Reads the next line into fLine and splits it into fValues.
  void ReadValues();

  std::vector<std::string> fFiles;
  int FCodePage = 0;
  int32_t fFileIndex = -1;
  std::unique_ptr<TTextFileReader> fFile;
  bool fEof = false;
  int64_t fFilesPosition = 0;
  int64_t fTotalSize = 0;
  std::string fLine;        // the line fValues points into
  TAttribSplitter fValues;  // reused by every Read
};
