#include "linvoro_externid.h"

#include <algorithm>
#include <filesystem>

#include "linvoro_platform.h"

namespace {

std::unique_ptr<TLvStream> OpenRead(const std::string& path) {
  if (!std::filesystem::is_regular_file(path)) throw EFileMissing("File is missing: " + FullPath(path));
  auto* f = new TLvFileStream(path, fmOpenRead | fmShareDenyWrite);
  auto s = std::make_unique<TLvBufferedStream>(f, true);
  s->SetBufferSize(4096);
  return s;
}

}  // namespace

void TExternalID::Open(int32_t Mode, int32_t LinkCount, TLvStream* S1, TLvStream* S2) {
  if (fIsOpen) return;
  if (Mode < 1 || Mode > 3) throw EOutOfRange("External id mode must be 1 to 3: " + std::to_string(Mode));
  FMode = Mode;
  FLinkCount = LinkCount;
  if (!S1) {
    FOwn1 = OpenRead(fDirectory + ExternalIDIndex1FileName);
    S1 = FOwn1.get();
  }
  if (!S2) {
    FOwn2 = OpenRead(fDirectory + ExternalIDIndex2FileName);
    S2 = FOwn2.get();
  }
  FS1 = S1;
  FS2 = S2;
  const int64_t size1 = S1->Size(), size2 = S2->Size();
  if (size1 % 12 != 0) {
    Close();
    throw Exception(std::string(ExternalIDIndex1FileName) + " has incorrect size");
  }
  if (size2 != int64_t(LinkCount) * 8) {
    Close();
    throw Exception(std::string(ExternalIDIndex2FileName) + " has incorrect size");
  }
  FCount1 = size1 / 12;
  if (Mode >= 2) {
    FIds2.assign(static_cast<size_t>(LinkCount) + 1, 0);
    S2->SetPosition(0);
    if (LinkCount > 0) S2->ReadBuffer(FIds2.data() + 1, size2);
  }
  if (Mode == 3) {
    FIds1.resize(static_cast<size_t>(FCount1));
    FLinks1.resize(static_cast<size_t>(FCount1));
    S1->SetPosition(0);
    for (int64_t i = 0; i < FCount1; ++i) {
      FIds1[i] = S1->ReadInt64();
      FLinks1[i] = S1->ReadInt32();
    }
  }
  fIsOpen = true;
}

void TExternalID::Close() {
  FOwn1.reset();
  FOwn2.reset();
  FS1 = FS2 = nullptr;
  FIds1.clear();
  FLinks1.clear();
  FIds2.clear();
  FCount1 = 0;
  fIsOpen = false;
}

int32_t TExternalID::Link(int64_t ID) {
  if (!fIsOpen) return 0;
  int32_t link = 0;
  if (FMode == 3) {
    auto it = std::lower_bound(FIds1.begin(), FIds1.end(), ID);
    if (it != FIds1.end() && *it == ID) link = FLinks1[it - FIds1.begin()];
  } else {
    int64_t lo = 0, hi = FCount1;
    while (lo < hi) {
      const int64_t mid = lo + (hi - lo) / 2;
      FS1->SetPosition(mid * 12);
      if (FS1->ReadInt64() < ID) lo = mid + 1; else hi = mid;
    }
    if (lo < FCount1) {
      FS1->SetPosition(lo * 12);
      if (FS1->ReadInt64() == ID) link = FS1->ReadInt32();
    }
  }
  return link >= 1 && link <= FLinkCount ? link : 0;
}

int64_t TExternalID::ID(int32_t link) {
  if (!fIsOpen || link < 1 || link > FLinkCount) return 0;
  if (FMode >= 2) return FIds2[link];
  FS2->SetPosition(int64_t(link - 1) * 8);
  return FS2->ReadInt64();
}
