#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "linvoro_io.h"
#include "linvoro_platform.h"
#include "temp_dir_test.h"

namespace fs = std::filesystem;

namespace {

class IoTest : public TTempDirTest {
 protected:
  IoTest() : TTempDirTest("lvio_") {}
};

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s += static_cast<char>(c);
  return s;
}

}  // namespace

// ------------------------------------------------------------ typed values

// Every typed write lays its bytes down little-endian, and reads them back,
// whatever stream carries them.
TEST_F(IoTest, TypedValuesAreLittleEndianOnEveryStream) {
  auto writeAll = [](TLvStream& s) {
    s.WriteByte(0xAB);
    s.WriteUInt16(0x1234);
    s.WriteInt16(-2);
    s.WriteUInt32(0xDEADBEEF);
    s.WriteInt32(-123456789);
    s.WriteInt64(-0x0102030405060708LL);
    s.WriteDouble(1.5);
    s.WriteSingle(-0.25f);
  };
  const std::string expected =
      Bytes({0xAB, 0x34, 0x12, 0xFE, 0xFF, 0xEF, 0xBE, 0xAD, 0xDE, 0xEB, 0x32, 0xA4, 0xF8, 0xF8, 0xF8, 0xF9, 0xFA,
             0xFB, 0xFC, 0xFD, 0xFE, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0, 0, 0x80, 0xBE});
  auto readAll = [](TLvStream& s) {
    EXPECT_EQ(s.ReadByte(), 0xAB);
    EXPECT_EQ(s.ReadUInt16(), 0x1234);
    EXPECT_EQ(s.ReadInt16(), -2);
    EXPECT_EQ(s.ReadUInt32(), 0xDEADBEEFu);
    EXPECT_EQ(s.ReadInt32(), -123456789);
    EXPECT_EQ(s.ReadInt64(), -0x0102030405060708LL);
    EXPECT_EQ(s.ReadDouble(), 1.5);
    EXPECT_EQ(s.ReadSingle(), -0.25f);
  };

  {  // memory
    TLvMemoryStream m;
    writeAll(m);
    ASSERT_EQ(m.Size(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(std::string(static_cast<char*>(m.Memory()), expected.size()), expected);
    m.SetPosition(0);
    readAll(m);
  }
  {  // plain file
    {
      TLvFileStream f(Path("plain.bin"), fmCreate);
      writeAll(f);
    }
    EXPECT_EQ(Slurp(Path("plain.bin")), expected);
    TLvFileStream f(Path("plain.bin"), fmOpenRead);
    readAll(f);
  }
  {  // buffered file
    {
      TLvBufferedStream b(new TLvFileStream(Path("buf.bin"), fmCreate), true);
      writeAll(b);
    }
    EXPECT_EQ(Slurp(Path("buf.bin")), expected);
    TLvBufferedStream b(new TLvFileStream(Path("buf.bin"), fmOpenRead | fmShareDenyWrite), true);
    readAll(b);
  }
}

TEST_F(IoTest, ShortTypedReadsZeroFillAndDoNotRaise) {
  const std::string data = Bytes({0x11, 0x22, 0x33});
  Put(Path("three.bin"), data);
  TLvBufferedStream b(new TLvFileStream(Path("three.bin"), fmOpenRead), true);
  b.SetPosition(1);
  EXPECT_EQ(b.ReadInt32(), 0x3322);
  EXPECT_EQ(b.ReadInt64(), 0);
  EXPECT_EQ(b.ReadByte(), 0);

  TLvMemoryStream m;
  m.WriteBuffer(data.data(), 3);
  m.SetPosition(0);
  EXPECT_EQ(m.ReadUInt32(), 0x332211u);
  EXPECT_EQ(m.ReadDouble(), 0.0);
}

TEST_F(IoTest, ReadBufferAndWriteBufferRaiseWhenShort) {
  TLvMemoryStream m;
  m.WriteInt32(7);
  m.SetPosition(0);
  char buf[8];
  try {
    m.ReadBuffer(buf, 5);
    FAIL() << "no read error";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Stream read error");
  }

  Put(Path("ro.bin"), "abc");
  TLvFileStream ro(Path("ro.bin"), fmOpenRead);
  EXPECT_EQ(ro.Write("x", 1), 0);  // read-only access is honoured
  try {
    ro.WriteBuffer("x", 1);
    FAIL() << "no write error";
  } catch (const EWriteError& e) {
    EXPECT_EQ(e.Message(), "Stream write error");
  }
  EXPECT_EQ(Slurp(Path("ro.bin")), "abc");
}

TEST_F(IoTest, ReadStringDecodesAnsiAndKeepsZeros) {
  TLvMemoryStream m;
  const std::string raw = Utf8ToCodePage("Zürich", 0) + std::string("\0x", 2);
  m.WriteBuffer(raw.data(), static_cast<int64_t>(raw.size()));
  m.SetPosition(0);
  EXPECT_EQ(m.ReadString(static_cast<int64_t>(raw.size())), std::string("Zürich\0x", 9));
  m.SetPosition(0);
  EXPECT_THROW(m.ReadString(static_cast<int64_t>(raw.size()) + 1), EReadError);
  EXPECT_EQ(m.ReadString(0), "");
}

// ------------------------------------------------------------ file streams

TEST_F(IoTest, FileModesHonourAccess) {
  Put(Path("f.bin"), "0123456789");
  {
    TLvFileStream rw(Path("f.bin"), fmOpenReadWrite | fmShareDenyWrite);
    EXPECT_EQ(rw.Size(), 10);
    rw.SetPosition(2);
    rw.WriteBuffer("ab", 2);
    char c;
    rw.ReadBuffer(&c, 1);
    EXPECT_EQ(c, '4');
  }
  EXPECT_EQ(Slurp(Path("f.bin")), "01ab456789");
  {
    TLvFileStream rw(Path("f.bin"), fmOpenReadWrite);
    rw.SetSize(4);  // truncates and leaves the position at the new end
    EXPECT_EQ(rw.Position(), 4);
    rw.SetSize(6);  // extends with zeros
  }
  EXPECT_EQ(Slurp(Path("f.bin")), std::string("01ab\0\0", 6));
  {
    TLvFileStream created(Path("f.bin"), fmCreate | fmShareDenyWrite);  // truncates
    EXPECT_EQ(created.Size(), 0);
    created.WriteBuffer("xy", 2);
    created.SetPosition(0);
    char two[2];
    created.ReadBuffer(two, 2);  // a created file is readable too
    EXPECT_EQ(std::string(two, 2), "xy");
  }
  EXPECT_EQ(Slurp(Path("f.bin")), "xy");
  {
    TLvFileStream wo(Path("f.bin"), fmOpenWrite);
    char c;
    EXPECT_EQ(wo.Read(&c, 1), 0);  // write-only access is honoured
  }
  TLvFileStream ro(Path("f.bin"), fmOpenRead);
  EXPECT_EQ(ro.FileName(), Path("f.bin"));
  EXPECT_EQ(ro.Seek(-1, soBeginning), -1);
  EXPECT_EQ(ro.Seek(0, 7), -1);
}

TEST_F(IoTest, OpenAndCreateErrorsNameTheAbsoluteFileAndTheCause) {
  const std::string cwd = fs::current_path().string();
  fs::current_path(dir);
  struct Case {
    std::string name;
    uint16_t mode;
    bool create;
    std::string expected;
  };
  const Case cases[] = {
      {"missing.bin", fmOpenRead | fmShareDenyWrite, false,
       "Cannot open file \"" + dir + "missing.bin\". No such file or directory"},
      {"missing.bin", fmOpenReadWrite, false, "Cannot open file \"" + dir + "missing.bin\". No such file or directory"},
      {"nodir/x.bin", fmCreate, true, "Cannot create file \"" + dir + "nodir/x.bin\". No such file or directory"},
      {".", fmOpenRead, false, "Cannot open file \"" + dir + "\". Is a directory"},
  };
  for (const Case& c : cases) {
    try {
      TLvFileStream f(c.name, c.mode);
      ADD_FAILURE() << "opened " << c.name;
    } catch (const EFCreateError& e) {
      EXPECT_TRUE(c.create) << c.name;
      EXPECT_EQ(e.Message(), c.expected);
    } catch (const EFOpenError& e) {
      EXPECT_FALSE(c.create) << c.name;
      EXPECT_EQ(e.Message(), c.expected);
    }
  }
  fs::current_path(cwd);
}

TEST_F(IoTest, HandleStreamDoesNotOwnItsHandle) {
  Put(Path("h.bin"), "hello");
  TLvFileStream f(Path("h.bin"), fmOpenRead);
  {
    TLvHandleStream h(f.Handle());
    EXPECT_EQ(h.Size(), 5);
  }
  char c;
  EXPECT_EQ(f.Read(&c, 1), 1);  // still open
  EXPECT_EQ(c, 'h');
}

TEST_F(IoTest, WriteErrorsSurfaceThroughFlush) {
  // /dev/full accepts the open and fails every write with "no space".
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TLvBufferedStream b(new TLvFileStream("/dev/full", fmOpenWrite), true);
  for (int i = 0; i < 100; ++i) b.WriteInt32(i);  // stays in the buffer
  EXPECT_THROW(b.Flush(), EWriteError);
  // The destructor retries quietly instead of throwing.
}

// A failed write on the writing thread is raised by the next call that
// waits (Flush, a read, a size change) or writes, never lost.
TEST_F(IoTest, WriteBehindFailuresReachTheWriter) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  {
    TLvBufferedStream b(new TLvWriteBehindStream(new TLvFileStream("/dev/full", fmOpenWrite), true), true);
    for (int i = 0; i < 100; ++i) b.WriteInt32(i);
    EXPECT_THROW(b.Flush(), EWriteError);
  }
  {
    TLvWriteBehindStream w(new TLvFileStream("/dev/full", fmOpenWrite), true);
    const std::vector<uint8_t> chunk(1 << 16, 7);
    bool raised = false;
    // The writes run ahead of the failure at most by what may wait.
    for (size_t done = 0; done <= 2 * TLvWriteBehindStream::MaxPending && !raised; done += chunk.size()) {
      try {
        w.WriteBuffer(chunk.data(), static_cast<int64_t>(chunk.size()));
      } catch (const EWriteError&) {
        raised = true;
      }
    }
    if (!raised) {
      EXPECT_THROW(w.Sync(), EWriteError);
    }
  }
}

// ------------------------------------------------------------ memory stream

TEST_F(IoTest, MemoryStreamGrowsInBlocksAndClears) {
  TLvMemoryStream m;
  m.WriteByte(1);
  EXPECT_EQ(m.Capacity(), 8192);
  EXPECT_EQ(m.Size(), 1);
  m.SetPosition(8192);
  m.WriteByte(2);
  EXPECT_EQ(m.Capacity(), 16384);
  EXPECT_EQ(m.Size(), 8193);
  m.SetSize(10);  // the position lay beyond the new end
  EXPECT_EQ(m.Position(), 10);
  EXPECT_EQ(m.Capacity(), 8192);
  m.Clear();
  EXPECT_EQ(m.Size(), 0);
  EXPECT_EQ(m.Position(), 0);
  EXPECT_EQ(m.Capacity(), 0);
  EXPECT_EQ(m.Memory(), nullptr);
}

TEST_F(IoTest, MemoryStreamRejectsNegativePositionsAndCounts) {
  TLvMemoryStream m;
  m.WriteInt32(42);
  char buf[4];
  EXPECT_EQ(m.Seek(-3, soCurrent), 1);
  EXPECT_EQ(m.Seek(-5, soBeginning), -5);  // no clamping
  EXPECT_EQ(m.Read(buf, 4), 0);
  EXPECT_EQ(m.Write(buf, 4), 0);
  m.SetPosition(0);
  EXPECT_EQ(m.Read(buf, -1), 0);
  EXPECT_EQ(m.Write(buf, -1), 0);
  EXPECT_EQ(m.Seek(2, soEnd), 6);
  EXPECT_EQ(m.Read(buf, 1), 0);
  EXPECT_EQ(m.Size(), 4);
}

TEST_F(IoTest, MemoryStreamLoadsAndSaves) {
  {
    TLvMemoryStream one;
    one.WriteByte(0x5A);
    TLvMemoryStream m;
    m.LoadFromStream(one);
    ASSERT_EQ(m.Size(), 1);
    EXPECT_EQ(*static_cast<uint8_t*>(m.Memory()), 0x5A);
    EXPECT_EQ(m.Position(), 0);
  }
  std::string content(20000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  Put(Path("in.bin"), content);
  TLvMemoryStream m;
  m.LoadFromFile(Path("in.bin"));
  ASSERT_EQ(m.Size(), 20000);
  EXPECT_EQ(std::memcmp(m.Memory(), content.data(), content.size()), 0);
  m.SaveToFile(Path("out.bin"));
  EXPECT_EQ(Slurp(Path("out.bin")), content);

  TLvMemoryStream target;
  target.WriteBuffer("head", 4);
  m.SaveToStream(target);  // at the target's current position
  EXPECT_EQ(target.Size(), 20004);
  EXPECT_THROW(m.LoadFromFile(Path("none.bin")), EFOpenError);
}

TEST_F(IoTest, DecoratorWithoutInnerStreamIsInert) {
  TLvStreamDecorator d(nullptr, true);
  char c = 0;
  EXPECT_EQ(d.Read(&c, 1), 0);
  EXPECT_EQ(d.Write(&c, 1), 0);
  EXPECT_EQ(d.Seek(0, soCurrent), -1);
  EXPECT_NO_THROW(d.SetSize(5));
}

TEST_F(IoTest, DecoratorForwardsAndOwns) {
  auto* m = new TLvMemoryStream;
  TLvStreamDecorator d(m, true);
  d.WriteInt32(5);
  EXPECT_EQ(m->Size(), 4);
  EXPECT_EQ(d.Position(), 4);
  d.SetPosition(0);
  EXPECT_EQ(d.ReadInt32(), 5);
  // m is released with d (the sanitizer build reports a leak otherwise).
}

// ------------------------------------------------------------ buffered stream

TEST_F(IoTest, BufferedWriteBehindTheEndLeavesZeroGap) {
  {
    TLvBufferedStream b(new TLvFileStream(Path("gap.bin"), fmCreate), true);
    b.SetPosition(10);
    b.WriteBuffer("abc", 3);
  }
  EXPECT_EQ(Slurp(Path("gap.bin")), std::string(10, '\0') + "abc");
}

TEST_F(IoTest, BufferedSizeCountsUnflushedBytes) {
  TLvBufferedStream b(new TLvFileStream(Path("size.bin"), fmCreate), true);
  const std::string hundred(100, 'x');
  b.WriteBuffer(hundred.data(), 100);
  EXPECT_EQ(b.Size(), 100);
  EXPECT_EQ(b.Position(), 100);
  EXPECT_EQ(fs::file_size(Path("size.bin")), 0u);  // still in the buffer
  b.Flush();
  EXPECT_EQ(fs::file_size(Path("size.bin")), 100u);
}

TEST_F(IoTest, BufferedSeekAndReadEdges) {
  Put(Path("e.bin"), "0123456789");
  TLvBufferedStream b(new TLvFileStream(Path("e.bin"), fmOpenRead), true);
  b.SetPosition(4);
  EXPECT_EQ(b.Seek(-5, soBeginning), -1);
  EXPECT_EQ(b.Seek(-5, soCurrent), -1);
  EXPECT_EQ(b.Seek(-11, soEnd), -1);
  EXPECT_EQ(b.Seek(0, 3), -1);
  EXPECT_EQ(b.Position(), 4);
  EXPECT_EQ(b.Seek(-1, soEnd), 9);
  char c;
  EXPECT_EQ(b.Read(&c, 1), 1);
  EXPECT_EQ(c, '9');
  EXPECT_EQ(b.Read(&c, 1), 0);  // past the end
  EXPECT_THROW(b.ReadBuffer(&c, 1), EReadError);
  EXPECT_EQ(b.Seek(100, soBeginning), 100);  // beyond the end is allowed
  EXPECT_EQ(b.Read(&c, 1), 0);
  EXPECT_EQ(b.Size(), 10);  // looking behind the end does not grow the stream
  char all[16];
  b.SetPosition(0);
  EXPECT_EQ(b.Read(all, 16), 10);
}

TEST_F(IoTest, BufferedOverExistingFileKeepsUntouchedBytes) {
  std::string content(3000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  Put(Path("x.bin"), content);
  {
    TLvBufferedStream b(new TLvFileStream(Path("x.bin"), fmOpenReadWrite), true);
    b.SetBufferSize(1024);
    b.SetPosition(1500);
    b.WriteUInt16(0x2A2A);  // another window: flushes nothing, loads 1500..
    b.SetPosition(10);
    EXPECT_EQ(b.ReadByte(), 'k');
    b.SetPosition(2999);
    b.WriteBuffer("XYZ", 3);  // crosses the end of the file
  }
  content[1500] = content[1501] = '*';
  content.replace(2999, 1, "XYZ");
  EXPECT_EQ(Slurp(Path("x.bin")), content);
}

TEST_F(IoTest, BufferedSetSizeTruncatesBufferedData) {
  TLvBufferedStream b(new TLvFileStream(Path("t.bin"), fmCreate), true);
  const std::string data(50, 'q');
  b.WriteBuffer(data.data(), 50);
  b.SetSize(20);
  EXPECT_EQ(b.Position(), 20);
  EXPECT_EQ(b.Size(), 20);
  b.WriteBuffer("END", 3);
  b.Flush();
  EXPECT_EQ(Slurp(Path("t.bin")), std::string(20, 'q') + "END");
}

TEST_F(IoTest, BufferedStreamStartsAtTheInnerPosition) {
  Put(Path("p.bin"), "abcdef");
  auto* f = new TLvFileStream(Path("p.bin"), fmOpenRead);
  f->SetPosition(3);
  TLvBufferedStream b(f, true);
  EXPECT_EQ(b.Position(), 3);
  EXPECT_EQ(b.ReadByte(), 'd');
}

// Random seeks, writes and reads over small windows, checked against a plain
// byte model of the file (a gap behind the end reads as zeros).
// Over a plain file, and over one whose writes go to the disk on a thread of
// their own (reads and sizes must see every write made before them).
TEST_F(IoTest, BufferedStreamMatchesAByteModel) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 40; ++round) {
    const std::string file = Path("model.bin");
    std::string model;
    {
      TLvStream* inner = new TLvFileStream(file, fmCreate);
      if (round % 2) inner = new TLvWriteBehindStream(inner, true);
      TLvBufferedStream b(inner, true);
      b.SetBufferSize(1 + static_cast<int32_t>(rng() % 97));
      int64_t pos = 0;
      for (int op = 0; op < 400; ++op) {
        const unsigned kind = rng() % 10;
        if (kind < 2) {
          // Anywhere, or close to the end where windows hang over it.
          pos = rng() % 2 ? rng() % (model.size() + 40)
                          : std::max<int64_t>(0, static_cast<int64_t>(model.size()) - 20 + rng() % 60);
          ASSERT_EQ(b.Seek(pos, soBeginning), pos);
        } else if (kind < 6) {
          std::string chunk(rng() % 300, '\0');
          for (char& c : chunk) c = static_cast<char>('A' + rng() % 26);
          if (rng() % 2 || chunk.size() != 4) {
            b.WriteBuffer(chunk.data(), static_cast<int64_t>(chunk.size()));
          } else {
            int32_t v;
            std::memcpy(&v, chunk.data(), 4);
            b.WriteInt32(v);
          }
          if (chunk.empty()) continue;
          if (model.size() < pos + chunk.size()) model.resize(pos + chunk.size(), '\0');
          model.replace(pos, chunk.size(), chunk);
          pos += static_cast<int64_t>(chunk.size());
        } else if (kind < 9) {
          std::string got(rng() % 300, '\0');
          const int32_t n = b.Read(got.data(), static_cast<int32_t>(got.size()));
          const int64_t avail = std::max<int64_t>(0, static_cast<int64_t>(model.size()) - pos);
          ASSERT_EQ(n, std::min<int64_t>(avail, got.size())) << "round " << round << " op " << op;
          ASSERT_EQ(got.substr(0, n), model.substr(std::min<size_t>(pos, model.size()), n));
          pos += n;
        } else {
          if (pos < static_cast<int64_t>(model.size()) && rng() % 2) {
            ASSERT_EQ(b.ReadByte(), static_cast<uint8_t>(model[pos++]));
          }
        }
        ASSERT_EQ(b.Position(), pos);
        ASSERT_EQ(b.Size(), static_cast<int64_t>(model.size())) << "round " << round << " op " << op;
      }
      b.Flush();
    }
    ASSERT_EQ(Slurp(file), model) << "round " << round;
  }
}

TEST_F(IoTest, BufferedTypedRunsCrossWindowBoundaries) {
  const std::string file = Path("run.bin");
  constexpr int N = 700000;  // 2.8 MB: several 1 MiB windows, values split at edges
  {
    TLvBufferedStream b(new TLvFileStream(file, fmCreate), true);
    b.WriteByte(1);  // misalign every window edge
    for (int i = 0; i < N; ++i) b.WriteInt32(i * 3 - 5);
    for (int i = 0; i < N / 4; ++i) b.WriteDouble(i * 0.5);
    b.Flush();
  }
  EXPECT_EQ(fs::file_size(file), 1u + 4u * N + 8u * (N / 4));
  TLvBufferedStream b(new TLvFileStream(file, fmOpenRead | fmShareDenyWrite), true);
  EXPECT_EQ(b.ReadByte(), 1);
  for (int i = 0; i < N; ++i) ASSERT_EQ(b.ReadInt32(), i * 3 - 5) << i;
  for (int i = 0; i < N / 4; ++i) ASSERT_EQ(b.ReadDouble(), i * 0.5) << i;
  EXPECT_EQ(b.ReadInt32(), 0);
}
