// Text files in a chosen code page through a buffered file stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "linvoro_io.h"

class TTextFileWriter {
 public:
  // Creates (replaces) the file with mode 0xFF20. A UTF-8 byte-order mark is
  // written when BOM is set and Codepage is 65001; never for other pages.
  // Creation failures raise EFCreateError.
  TTextFileWriter(const std::string& filename, uint16_t Codepage, bool BOM);
  // Closes quietly; call Close() first to learn about write failures.
  ~TTextFileWriter();
  TTextFileWriter(const TTextFileWriter&) = delete;
  TTextFileWriter& operator=(const TTextFileWriter&) = delete;

  // UTF-8 text converted to the code page; unmappable characters become "?".
  // In UTF-8, malformed sequences become U+FFFD.
  void write(std::string_view s);
  // The same, adding to lost the characters that became "?".
  void write(std::string_view s, size_t& lost);
  // write(s), then CR LF.
  void writeln(std::string_view s);
  // Flushes and closes the file; raises EWriteError when the data could not
  // be written. Further writes after Close raise EWriteError.
  void Close();
  bool IsOpen() const { return f != nullptr; }
  uint16_t Codepage() const { return FCodepage; }

 private:
  std::unique_ptr<TLvBufferedStream> f;
  uint16_t FCodepage = 0;
  std::string FConv;
};
