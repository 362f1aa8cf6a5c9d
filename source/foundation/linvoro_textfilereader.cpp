#include "linvoro_textfilereader.h"

#include <algorithm>
#include <cstring>

#include "linvoro_platform.h"

namespace {

// UTF-16 length of well-formed UTF-8: every lead byte is one unit, a 4-byte
// sequence two.
int64_t Utf16Units(const std::string& s) {
  const size_t size = s.size();
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t i = 0;
  while (i + 8 <= size) {  // ASCII runs count one unit per byte
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ull) break;
    i += 8;
  }
  int64_t n = static_cast<int64_t>(i);
  for (; i < size; ++i) n += ((p[i] & 0xC0) != 0x80) + (p[i] >= 0xF0);
  return n;
}

}  // namespace

TTextFileReader::TTextFileReader(const std::string& FileName, int ACodePage, int32_t ABufferSize)
    : FCodePage(ACodePage) {
  FStream = std::make_unique<TLvFileStream>(FileName, fmOpenRead | fmShareDenyWrite);
  FSize = FStream->Size();
  FDecodePage = ACodePage == 0 ? SystemAnsiCodePage() : ACodePage;
  FBuf.resize(static_cast<size_t>(std::max<int32_t>(ABufferSize, 4)));
  FillBuf();
  if (FCodePage == 65001 || FCodePage == 1200) {
    while (FBufEnd - FBufPos < 3 && FillBuf()) {
    }
    const auto* b = reinterpret_cast<const unsigned char*>(FBuf.data()) + FBufPos;
    const size_t avail = FBufEnd - FBufPos;
    // Either mark decides the encoding: a UTF-16 mark cannot start UTF-8
    // text, and a UTF-8 mark in a file announced as UTF-16 means the
    // announcement was wrong.
    if (avail >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
      FBufPos += 3;
      FDecodePage = 65001;
    } else if (avail >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
      FBufPos += 2;
      FDecodePage = 1200;
    }
  }
  FWide = FDecodePage == 1200;
  ReadNext();
  FPos = 0;
}

TTextFileReader::~TTextFileReader() = default;

bool TTextFileReader::FillBuf() {
  if (FStreamDone) return false;
  const size_t keep = FBufEnd - FBufPos;
  if (keep && FBufPos) std::memmove(FBuf.data(), FBuf.data() + FBufPos, keep);
  FBufPos = 0;
  FBufEnd = keep;
  const int32_t n = FStream->Read(FBuf.data() + keep, static_cast<int32_t>(FBuf.size() - keep));
  if (n <= 0) {
    FStreamDone = true;
    return false;
  }
  FBufEnd += static_cast<size_t>(n);
  return true;
}

void TTextFileReader::ReadNext() {
  FRaw.clear();
  FString.clear();
  bool decoded = false;  // FString already holds the line
  if (!FWide) {
    for (;;) {
      if (FBufPos == FBufEnd && !FillBuf()) break;
      const char* base = FBuf.data();
      const char* p = base + FBufPos;
      const char* e = base + FBufEnd;
      const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(e - p)));
      const char* lim = lf ? lf : e;
      const auto* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(lim - p)));
      const char* q = cr ? cr : lim;
      if (q == e) {  // the line goes on in the next block
        FRaw.append(p, e);
        FBufPos = FBufEnd;
        continue;
      }
      // Decode now: the look-ahead for a LF below may move the block.
      if (FRaw.empty()) {
        AppendCodePageToUtf8(FString, std::string_view(p, static_cast<size_t>(q - p)), FDecodePage);
      } else {
        FRaw.append(p, q);
        AppendCodePageToUtf8(FString, FRaw, FDecodePage);
      }
      decoded = true;
      FBufPos = static_cast<size_t>(q - base) + 1;
      if (*q == '\r') {
        // CR LF split across two reads is still one line end.
        if (FBufPos == FBufEnd) FillBuf();
        if (FBufPos < FBufEnd && FBuf[FBufPos] == '\n') ++FBufPos;
      }
      break;
    }
  } else {
    for (;;) {
      if (FBufEnd - FBufPos < 2) {
        if (FillBuf()) continue;
        if (FBufPos < FBufEnd) {  // a dangling half unit at the end
          FRaw.push_back(FBuf[FBufPos]);
          FBufPos = FBufEnd;
        }
        break;
      }
      const auto* base = reinterpret_cast<const unsigned char*>(FBuf.data());
      const unsigned char* p = base + FBufPos;
      const unsigned char* e = base + FBufEnd;
      const unsigned char* q = p;
      while (q + 1 < e && !(q[1] == 0 && (q[0] == '\r' || q[0] == '\n'))) q += 2;
      FRaw.append(reinterpret_cast<const char*>(p), static_cast<size_t>(q - p));
      FBufPos = static_cast<size_t>(q - base);
      if (q + 1 >= e) continue;
      const unsigned char c = q[0];
      FBufPos += 2;
      if (c == '\r') {
        if (FBufEnd - FBufPos < 2) FillBuf();
        if (FBufEnd - FBufPos >= 2 && FBuf[FBufPos] == '\n' && FBuf[FBufPos + 1] == 0) FBufPos += 2;
      }
      break;
    }
  }
  // Learn now whether anything follows, so that EOF needs no read.
  if (FBufPos == FBufEnd) FillBuf();
  if (!decoded) AppendCodePageToUtf8(FString, FRaw, FDecodePage);
  FStringUnits = Utf16Units(FString);
}

std::string TTextFileReader::ReadLine() {
  FPos += FStringUnits + 2;
  std::string result = std::move(FString);
  ReadNext();
  return result;
}
