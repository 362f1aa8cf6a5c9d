#include "linvoro_textfilewriter.h"

#include <cstdio>

#include "linvoro_platform.h"

TTextFileWriter::TTextFileWriter(const std::string& filename, uint16_t Codepage, bool BOM)
    : FCodepage(Codepage) {
  f = std::make_unique<TLvBufferedStream>(new TLvFileStream(filename, fmCreate | fmShareDenyWrite), true);
  if (BOM && FCodepage == 65001) {
    static const uint8_t mark[3] = {0xEF, 0xBB, 0xBF};
    f->WriteBuffer(mark, 3);
  }
}

TTextFileWriter::~TTextFileWriter() {
  if (!f) return;
  try {
    f->Flush();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TTextFileWriter: data lost on close: %s\n", e.what());
  }
  f.reset();  // nothing left to flush: closes quietly
}

void TTextFileWriter::write(std::string_view s) {
  size_t lost = 0;
  write(s, lost);
}

void TTextFileWriter::write(std::string_view s, size_t& lost) {
  if (s.empty()) return;
  if (!f) throw EWriteError("Stream write error");
  if (FCodepage == 65001 && IsValidUtf8(s)) {
    f->WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
  } else {
    FConv.clear();
    AppendUtf8ToCodePage(FConv, s, FCodepage, &lost);
    f->WriteBuffer(FConv.data(), static_cast<int64_t>(FConv.size()));
  }
}

void TTextFileWriter::writeln(std::string_view s) {
  write(s);
  if (!f) throw EWriteError("Stream write error");
  if (FCodepage == 1200) {
    static const char crlf16[4] = {'\r', 0, '\n', 0};
    f->WriteBuffer(crlf16, 4);
  } else {
    static const char crlf[2] = {'\r', '\n'};
    f->WriteBuffer(crlf, 2);
  }
}

void TTextFileWriter::Close() {
  if (!f) return;
  // Hand the stream over first, so that a failed flush leaves the writer
  // closed rather than retrying (and failing again) in the destructor.
  std::unique_ptr<TLvBufferedStream> s = std::move(f);
  try {
    s->Flush();
  } catch (...) {
    s->DiscardBuffer();  // reported to the caller; no second attempt on release
    throw;
  }
}
