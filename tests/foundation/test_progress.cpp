#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "linvoro_filebase.h"
#include "linvoro_platform.h"
#include "linvoro_progress.h"
#include "linvoro_types.h"

namespace fs = std::filesystem;

namespace {

// A progress object on a hand-driven clock, so the 2-second throttle can be
// checked without sleeping.
template <class Base>
class Clocked : public Base {
 public:
  uint32_t now = 1000;
  std::vector<int32_t> calls;

  void Record() {
    if constexpr (std::is_base_of_v<TProgressCancel, Base>)
      this->SetOnProgress([this](TProgress* sender, int32_t p, bool&) {
        EXPECT_EQ(sender, this);
        calls.push_back(p);
      });
    else
      this->SetOnProgress([this](TProgress* sender, int32_t p) {
        EXPECT_EQ(sender, this);
        calls.push_back(p);
      });
  }

 protected:
  uint32_t Tick() const override { return now; }
};

template <class T>
class ProgressBoth : public ::testing::Test {};
using ProgressTypes = ::testing::Types<TProgress, TProgressCancel>;
TYPED_TEST_SUITE(ProgressBoth, ProgressTypes);

}  // namespace

TYPED_TEST(ProgressBoth, DefaultsAndHandler) {
  Clocked<TypeParam> p;
  EXPECT_EQ(p.ProgressMaxValue(), 100);
  EXPECT_EQ(p.ProgressStart(), 0);
  EXPECT_EQ(p.ProgressStop(), 100);
  EXPECT_EQ(p.Timelimit(), 0u);
  EXPECT_FALSE(p.EventAssigned());
  p.ProgressExecute(50);  // no handler: nothing happens
  p.ProgressExecuteZero();
  p.Record();
  EXPECT_TRUE(p.EventAssigned());
}

TYPED_TEST(ProgressBoth, MapsValuesOntoTheSubRange) {
  Clocked<TypeParam> p;
  p.Record();
  p.SetProgressStart(20);
  p.SetProgressStop(60);
  p.SetProgressMaxValue(200);
  for (double v : {0.0, 50.0, 100.0, 200.0}) p.ProgressExecute(v);
  EXPECT_EQ(p.calls, (std::vector<int32_t>{20, 30, 40, 60}));
}

TYPED_TEST(ProgressBoth, HalfPercentGoesToEven) {
  Clocked<TypeParam> p;
  p.Record();
  p.SetProgressMaxValue(200);
  p.ProgressExecute(5);  // 2.5 %
  p.ProgressExecute(7);  // 3.5 %
  EXPECT_EQ(p.calls, (std::vector<int32_t>{2, 4}));
}

TYPED_TEST(ProgressBoth, SamePercentRepeatsOnlyAfterTwoSeconds) {
  Clocked<TypeParam> p;
  p.Record();
  p.ProgressExecute(10);
  p.now += 1500;
  p.ProgressExecute(10.2);  // still 10 %
  p.now += 500;             // exactly 2000 ms after the first call
  p.ProgressExecute(10);
  EXPECT_EQ(p.calls.size(), 1u);
  p.now += 1;
  p.ProgressExecute(10);
  EXPECT_EQ(p.calls, (std::vector<int32_t>{10, 10}));
  p.ProgressExecute(11);  // a new percent is never held back
  EXPECT_EQ(p.calls.back(), 11);
}

TYPED_TEST(ProgressBoth, ThrottleSurvivesTickWrap) {
  Clocked<TypeParam> p;
  p.Record();
  p.now = 0xFFFFFF00u;
  p.ProgressExecute(10);
  p.now = 0x100;  // 512 ms later, after the wrap
  p.ProgressExecute(10);
  EXPECT_EQ(p.calls.size(), 1u);
  p.now = 0x100 + 2000;
  p.ProgressExecute(10);
  EXPECT_EQ(p.calls.size(), 2u);
}

TYPED_TEST(ProgressBoth, ZeroAlwaysReachesTheHandler) {
  Clocked<TypeParam> p;
  p.Record();
  p.ProgressExecute(0);
  p.ProgressExecuteZero();
  p.ProgressExecuteZero();
  EXPECT_EQ(p.calls, (std::vector<int32_t>{0, 0, 0}));
  // It reports 0 itself, not the start of the sub-range.
  p.SetProgressStart(50);
  p.ProgressExecuteZero();
  EXPECT_EQ(p.calls.back(), 0);
  // And it resets the last percent, so the next real value is passed on.
  p.ProgressExecute(0);
  EXPECT_EQ(p.calls.back(), 50);
}

TYPED_TEST(ProgressBoth, EmptyJobReportsStop) {
  Clocked<TypeParam> p;
  p.Record();
  p.SetProgressMaxValue(0);
  p.ProgressExecute(0);
  EXPECT_EQ(p.calls, (std::vector<int32_t>{100}));
}

TYPED_TEST(ProgressBoth, TimeLimit) {
  Clocked<TypeParam> p;
  p.now = 500;
  p.SetTimelimit(1000);
  EXPECT_FALSE(p.TimeHasPassed());  // nothing ran yet
  p.now = 1500;
  p.ProgressExecute(0);  // no handler, but the tick is noted
  EXPECT_FALSE(p.TimeHasPassed());
  p.now = 1501;
  p.ProgressExecute(0);
  EXPECT_TRUE(p.TimeHasPassed());

  // The time share drives the percent when it is ahead of the value.
  p.Record();
  p.now = 0xFFFFFE00u;
  p.SetTimelimit(2000);
  p.now = 0x200;  // 1024 ms later, across the wrap
  p.ProgressExecute(10);
  EXPECT_EQ(p.calls.back(), 51);
  EXPECT_FALSE(p.TimeHasPassed());
}

TEST(Progress, PlainProgressPassesValuesBeyondMaximum) {
  Clocked<TProgress> p;
  p.Record();
  p.ProgressExecute(150);
  EXPECT_EQ(p.calls, (std::vector<int32_t>{150}));
}

TEST(Progress, CancelVariantClampsAndCancels) {
  Clocked<TProgressCancel> p;
  std::vector<int32_t> calls;
  p.SetOnProgress([&](TProgress*, int32_t percent, bool& cancel) {
    calls.push_back(percent);
    if (percent >= 50) cancel = true;
  });
  p.SetProgressStop(80);
  p.ProgressExecute(10);
  EXPECT_FALSE(p.Cancelled());
  p.ProgressExecute(1e9);  // clamped to the maximum
  EXPECT_EQ(calls, (std::vector<int32_t>{8, 80}));
  EXPECT_TRUE(p.Cancelled());
}

// ---------------------------------------------------------------- TFileBase

namespace {

class OpenableFileBase : public TFileBase {
 public:
  void SetOpen(bool open) { fIsOpen = open; }
};

std::string CurrentDir() {
  std::string d = fs::current_path().string();
  if (d.back() != '/') d += '/';
  return d;
}

std::string CheckMessage(const TFileBase& f) {
  try {
    f.CheckDirectory();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "";
}

}  // namespace

TEST(FileBase, StartsInTheCurrentDirectory) {
  TFileBase f;
  EXPECT_EQ(f.Directory(), CurrentDir());
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(f.Cancelled());
}

TEST(FileBase, SetDirectory) {
  OpenableFileBase f;
  f.SetDirectory("/data/net");
  EXPECT_EQ(f.Directory(), "/data/net/");
  f.SetDirectory("/data/other/");
  EXPECT_EQ(f.Directory(), "/data/other/");
  f.SetDirectory("");  // not the file-system root
  EXPECT_EQ(f.Directory(), CurrentDir());

  f.SetDirectory("/data/net");
  f.SetOpen(true);
  f.SetDirectory("/elsewhere");
  EXPECT_EQ(f.Directory(), "/data/net/");
  f.SetOpen(false);
  f.SetDirectory("/elsewhere");
  EXPECT_EQ(f.Directory(), "/elsewhere/");
}

TEST(FileBase, CheckDirectory) {
  std::string templ = TempFolder() + "lvfbXXXXXX";
  ASSERT_NE(::mkdtemp(templ.data()), nullptr);
  const std::string dir = templ + "/";

  TFileBase f;
  f.SetDirectory(dir);
  EXPECT_EQ(CheckMessage(f), "");
  EXPECT_TRUE(fs::is_empty(dir)) << "probe file left behind";

  f.SetDirectory(dir + "missing");
  EXPECT_EQ(CheckMessage(f), "Output directory does not exist");

  {
    FILE* file = std::fopen((dir + "plain").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
  }
  f.SetDirectory(dir + "plain");
  EXPECT_EQ(CheckMessage(f), "Output directory does not exist");

  // A read-only folder. Permission bits do not stop the superuser, so then
  // the check runs in a child process that has given up root.
  const std::string ro = dir + "ro";
  ASSERT_EQ(::mkdir(ro.c_str(), 0555), 0);
  ::chmod(ro.c_str(), 0555);
  ::chmod(templ.c_str(), 0755);
  f.SetDirectory(ro);
  int outcome = 0;  // 0 right message, 1 wrong, 2 could not drop root
  if (::geteuid() != 0) {
    EXPECT_EQ(CheckMessage(f), "Output directory is not writeable");
  } else {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
      ::_exit(CheckMessage(f) == "Output directory is not writeable" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    outcome = WEXITSTATUS(status);
  }
  ::chmod(ro.c_str(), 0700);
  fs::remove_all(templ);
  if (outcome == 2) GTEST_SKIP() << "cannot drop root for the read-only case";
  EXPECT_EQ(outcome, 0) << "read-only folder not reported";
}
