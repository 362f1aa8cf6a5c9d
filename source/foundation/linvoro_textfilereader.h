// Line reader over a text file in a given code page with one line of
// look-ahead, so that callers can ask EOF before reading and show progress
// as Position / Size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "linvoro_io.h"

// The reader's end-of-file test is named EOF, which the C library defines as
// a macro. <cstdio> is included above so that its guard is set, and the
// macro is retired for every unit that uses the reader; such code compares
// against std::char_traits<char>::eof() instead.
#ifdef EOF
#undef EOF
#endif

class TTextFileReader {
 public:
  static constexpr int32_t DefaultReadBufferSize = 65536;

  // ACodePage: 1200 UTF-16LE, 65001 UTF-8, 0 the system ANSI code page,
  // any other a Windows code page. A byte-order mark is honoured for 1200
  // and 65001 only. A missing file raises EFOpenError. ABufferSize is the
  // size of the read block; it changes nothing but the number of reads.
  TTextFileReader(const std::string& FileName, int ACodePage,
                  int32_t ABufferSize = DefaultReadBufferSize);
  ~TTextFileReader();
  TTextFileReader(const TTextFileReader&) = delete;
  TTextFileReader& operator=(const TTextFileReader&) = delete;

  // The next line in UTF-8, without its line end; "" at the end.
  std::string ReadLine();
  // True once the look-ahead is empty and every byte has been consumed.
  bool EOF() const { return FString.empty() && FBufPos >= FBufEnd; }
  bool Eof() const { return EOF(); }
  // Characters returned so far (UTF-16 units of each line + 2 per line).
  int64_t Position() const { return FPos; }
  // File size in bytes.
  int64_t Size() const { return FSize; }
  int CodePage() const { return FCodePage; }

 private:
  bool FillBuf();
  void ReadNext();
  void DecodeLine(std::string& raw);

  std::unique_ptr<TLvFileStream> FStream;
  std::string FString;
  int64_t FSize = 0;
  int64_t FPos = 0;
  int FCodePage = 0;
  int FDecodePage = 0;  // what the bytes are decoded from, after the BOM check
  bool FWide = false;   // UTF-16LE: line ends are 2-byte units
  std::vector<char> FBuf;
  size_t FBufPos = 0;
  size_t FBufEnd = 0;
  bool FStreamDone = false;
  std::string FRaw;
  int64_t FStringUnits = 0;  // UTF-16 length of FString
};
