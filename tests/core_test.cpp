// Foundation types: streams, exceptions, components and events.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "archive/dozirivovaze.h"
#include "core/bytes.h"
#include "core/component.h"
#include "core/exceptions.h"
#include "core/stream.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/files.h"
#include "tests/kit/streams.h"

namespace kv {
namespace {

using test::Failure;
using test::FailureOf;
using test::kReadError;
using test::kWriteError;

TEST(StreamTest, ReadNeverFailsButReadBufferInsistsOnTheWholeCount) {
  TMemoryStream s(test::Bytes("abc"));
  uint8_t buf[8];
  EXPECT_EQ(s.Read(buf, 8), 3);
  EXPECT_EQ(s.Read(buf, 8), 0);
  s.SetPosition(1);
  EXPECT_EQ(FailureOf([&] { s.ReadBuffer(buf, 3); }), kReadError);
  s.SetPosition(0);
  s.ReadBuffer(buf, 3);
  EXPECT_EQ(std::string(buf, buf + 3), "abc");
}

TEST(StreamTest, WriteBufferRaisesOnAShortWrite) {
  test::TestStream s;
  s.max_write = 2;
  EXPECT_EQ(FailureOf([&] { s.WriteBuffer("abcd", 4); }), kWriteError);
}

TEST(StreamTest, SeekingPastTheEndReadsNothingAndNeverGoesBelowZero) {
  TMemoryStream s(test::Bytes("abc"));
  EXPECT_EQ(s.Seek(10, SeekOrigin::kCurrent), 10);
  uint8_t b;
  EXPECT_EQ(s.Read(&b, 1), 0);
  EXPECT_EQ(s.Seek(-100, SeekOrigin::kEnd), 0);
}

TEST(StreamTest, CopyFromWithCountZeroTakesTheWholeSourceFromItsStart) {
  TMemoryStream source(test::Bytes("0123456789"));
  source.SetPosition(7);
  TMemoryStream dest;
  EXPECT_EQ(dest.CopyFrom(source, 0), 10);
  EXPECT_EQ(dest.Data(), test::Bytes("0123456789"));
}

TEST(StreamTest, CopyFromWithACountStartsAtTheCurrentPosition) {
  TMemoryStream source(test::Bytes("0123456789"));
  source.SetPosition(3);
  TMemoryStream dest;
  dest.CopyFrom(source, 4);
  EXPECT_EQ(dest.Data(), test::Bytes("3456"));
  EXPECT_EQ(source.Position(), 7);
}

TEST(StreamTest, CopyFromMovesAtMost61440BytesPerCall) {
  const auto data = test::RandomData(200000);
  test::TestStream source(data);
  TMemoryStream dest;
  dest.CopyFrom(source, static_cast<int64_t>(data.size()));
  EXPECT_EQ(dest.Data(), data);
  EXPECT_EQ(*std::max_element(source.reads.begin(), source.reads.end()), 61440);
}

TEST(StreamTest, CopyFromFailsOnAShortSourceAndOnANegativeCount) {
  TMemoryStream source(test::Bytes("abc"));
  TMemoryStream dest;
  EXPECT_EQ(FailureOf([&] { dest.CopyFrom(source, 4); }), kReadError);
  source.SetPosition(0);
  EXPECT_EQ(FailureOf([&] { dest.CopyFrom(source, -1); }), kReadError);
}

TEST(FileStreamTest, OpenAndCreateFailuresNameTheFile) {
  test::TempDir dir;
  const std::string missing = dir.File("missing.bin");
  EXPECT_EQ(FailureOf([&] { TFileStream f(missing, FileMode::kOpenReadShared); }),
            (Failure{"EFOpenError", "Cannot open file " + missing}));
  const std::string nowhere = dir.File("no/such/folder.bin");
  EXPECT_EQ(FailureOf([&] { TFileStream f(nowhere, FileMode::kCreate); }),
            (Failure{"EFCreateError", "Cannot create file " + nowhere}));
  EXPECT_EQ(FailureOf([&] { TFileStream f(dir.path(), FileMode::kOpenReadShared); }),
            (Failure{"EFOpenError", "Cannot open file " + dir.path()}));
}

TEST(FileStreamTest, CreateEmptiesAnExistingFile) {
  test::TempDir dir;
  const std::string path = dir.File("f.bin");
  test::WriteFile(path, test::Bytes("old contents"));
  {
    TFileStream f(path, FileMode::kCreate);
    EXPECT_EQ(f.Size(), 0);
    f.WriteBuffer("new", 3);
  }
  EXPECT_EQ(test::ReadFile(path), test::Bytes("new"));
}

TEST(FileStreamTest, ExclusiveOpenKeepsOtherExclusiveOpenersOut) {
  test::TempDir dir;
  const std::string path = dir.File("a.zerk");
  test::WriteFile(path, test::Bytes("x"));
  {
    TFileStream first(path, FileMode::kOpenReadExclusive);
    EXPECT_THROW(TFileStream second(path, FileMode::kOpenReadExclusive), EFOpenError);
  }
  // Closing the file releases it.
  EXPECT_NO_THROW(TFileStream again(path, FileMode::kOpenReadExclusive));
}

// kCreateNew makes a file or nothing: a name that is taken, even by a link
// that leads nowhere, is refused and left as it was, and TryOpen says so
// with null instead of an exception.
TEST(FileStreamTest, CreateNewNeverOpensWhatIsThere) {
  test::TempDir dir;
  const std::string fresh = dir.File("KVI0001.tmp");
  {
    TFileStream f(fresh, FileMode::kCreateNew);
    f.WriteBuffer("new", 3);
    EXPECT_EQ(f.Size(), 3);
  }
  EXPECT_EQ(test::ReadFile(fresh), test::Bytes("new"));
  const std::string dangling = dir.File("link.tmp");
  std::filesystem::create_symlink(dir.File("planted"), dangling);
  for (const std::string& taken : {fresh, dangling}) {
    SCOPED_TRACE(taken);
    EXPECT_EQ(FailureOf([&] { TFileStream f(taken, FileMode::kCreateNew); }),
              (Failure{"EFCreateError", "Cannot create file " + taken}));
    EXPECT_EQ(TFileStream::TryOpen(taken, FileMode::kCreateNew), nullptr);
  }
  EXPECT_EQ(test::ReadFile(fresh), test::Bytes("new"));
  EXPECT_FALSE(test::FileExists(dir.File("planted")));
  EXPECT_NE(TFileStream::TryOpen(dir.File("other.tmp"), FileMode::kCreateNew), nullptr);
}

TEST(FileStreamTest, ReadsSeeksAndSizes) {
  test::TempDir dir;
  const std::string path = dir.File("f.bin");
  test::WriteFile(path, test::Bytes("0123456789"));
  TFileStream f(path, FileMode::kOpenReadShared);
  EXPECT_EQ(f.Size(), 10);
  f.SetPosition(6);
  uint8_t buf[8];
  EXPECT_EQ(f.Read(buf, 8), 4);
  EXPECT_EQ(f.Seek(100, SeekOrigin::kBeginning), 100);
  EXPECT_EQ(f.Read(buf, 8), 0);
  EXPECT_EQ(f.Write("z", 1), 0) << "a stream opened for reading accepts no write";
}

class Tracked final : public TComponent {
 public:
  Tracked(TComponent* owner, std::vector<std::string>* log, std::string name)
      : TComponent(owner), log_(log) {
    SetName(std::move(name));
  }
  ~Tracked() override { log_->push_back(Name()); }

 private:
  std::vector<std::string>* log_;
};

TEST(ComponentTest, AnOwnerFreesWhatItOwns) {
  std::vector<std::string> freed;
  auto* owner = new Tracked(nullptr, &freed, "owner");
  new Tracked(owner, &freed, "a");
  auto* b = new Tracked(owner, &freed, "b");
  new Tracked(b, &freed, "b.child");
  // The archive component is owned like any other (LeakSanitizer checks
  // that it is freed with its owner).
  new TKVDoziRivovaze(b);
  EXPECT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(b->ComponentCount(), 2);
  delete owner;
  // Each destructor body runs before its base frees the owned components,
  // last created first.
  EXPECT_EQ(freed, (std::vector<std::string>{"owner", "b", "b.child", "a"}));
}

TEST(ComponentTest, AFreedComponentLeavesItsOwner) {
  std::vector<std::string> freed;
  Tracked owner(nullptr, &freed, "owner");
  delete new Tracked(&owner, &freed, "gone");
  EXPECT_EQ(owner.ComponentCount(), 0);
  owner.SetTag(-7);
  EXPECT_EQ(owner.Tag(), -7);
}

struct Listener {
  int calls = 0;
  void Add(int& value) {
    ++calls;
    value += 10;
  }
};

TEST(EventTest, ABoundEventCallsItsObjectsMethod) {
  Listener a, b;
  TEvent<int&> unassigned;
  EXPECT_FALSE(unassigned);
  auto event = TEvent<int&>::Bind<&Listener::Add>(&a);
  ASSERT_TRUE(event);
  int v = 1;
  event(v);
  EXPECT_EQ(v, 11);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 0);
  EXPECT_TRUE(event == (TEvent<int&>::Bind<&Listener::Add>(&a)));
  EXPECT_FALSE(event == (TEvent<int&>::Bind<&Listener::Add>(&b)));
}

TEST(ExceptionTest, EachClassKnowsItsNameAndMessage) {
  EXPECT_EQ(FailureOf([] { RaiseOpenError("x.zerk"); }),
            (Failure{"EFOpenError", "Cannot open file x.zerk"}));
  EXPECT_EQ(FailureOf([] { RaiseCreateError("C:\\y"); }),
            (Failure{"EFCreateError", "Cannot create file C:\\y"}));
  EXPECT_EQ(FailureOf([] { RaiseReadError(); }), kReadError);
  EXPECT_THROW(RaiseReadError(), EStreamError);
  EXPECT_EQ(FailureOf([] { RaiseWriteError(); }), kWriteError);
  const void* address = nullptr;
  try {
    RaiseWriteError();
  } catch (const Exception& e) {
    address = e.RaiseAddress();
  }
  EXPECT_NE(address, nullptr) << "the report needs the raise address";
}

TEST(ByteSumTest, MatchesAPlainSumAtEveryLengthAndAlignment) {
  const auto data = test::RandomData(300);
  for (size_t start = 0; start < 17; ++start) {
    for (size_t n = 0; start + n <= data.size(); n += 7) {
      uint32_t plain = 5;
      for (size_t i = 0; i < n; ++i) plain += data[start + i];
      EXPECT_EQ(ByteSum(data.data() + start, n, 5), plain) << start << "+" << n;
    }
  }
}

TEST(ByteSumTest, WrapsModulo2To32) {
  // 2^24 + 1 bytes of 0xFF sum to 255 * (2^24 + 1) = 0xFF0000FF... modulo 2^32.
  const std::vector<uint8_t> ff((size_t{1} << 24) + 1, 0xFF);
  EXPECT_EQ(ByteSum(ff.data(), ff.size(), 0xFFFFFF00u),
            static_cast<uint32_t>(0xFFFFFF00u + 255ull * ff.size()));
}

}  // namespace
}  // namespace kv
