// Foundation types: streams, exceptions, components and events.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/bytes.h"
#include "core/component.h"
#include "core/exceptions.h"
#include "core/stream.h"
#include "tests/test_util.h"

namespace kv {
namespace {

// A memory stream that delivers at most `limit` bytes per call and records
// the sizes asked for.
class ChokedStream final : public TStream {
 public:
  ChokedStream(std::vector<uint8_t> data, int32_t limit) : inner_(std::move(data)), limit_(limit) {}
  int32_t Read(void* buffer, int32_t count) override {
    requests.push_back(count);
    return inner_.Read(buffer, std::min(count, limit_));
  }
  int32_t Write(const void* buffer, int32_t count) override {
    requests.push_back(count);
    return inner_.Write(buffer, std::min(count, limit_));
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
  int64_t Size() override { return inner_.Size(); }
  std::vector<int32_t> requests;
  TMemoryStream inner_;

 private:
  int32_t limit_;
};

template <typename E>
void ExpectRaises(const std::function<void()>& f, const std::string& class_name,
                  const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "expected " << class_name;
  } catch (const E& e) {
    EXPECT_STREQ(e.ClassName(), class_name.c_str());
    EXPECT_EQ(e.Message(), message);
  }
}

TEST(StreamTest, ReadNeverFailsButReadBufferInsistsOnTheWholeCount) {
  TMemoryStream s(test::Bytes("abc"));
  uint8_t buf[8];
  EXPECT_EQ(s.Read(buf, 8), 3);
  EXPECT_EQ(s.Read(buf, 8), 0);
  s.SetPosition(1);
  ExpectRaises<EReadError>([&] { s.ReadBuffer(buf, 3); }, "EReadError", "Stream read error");
  s.SetPosition(0);
  s.ReadBuffer(buf, 3);
  EXPECT_EQ(std::string(buf, buf + 3), "abc");
}

TEST(StreamTest, WriteBufferRaisesOnAShortWrite) {
  ChokedStream s({}, 2);
  ExpectRaises<EWriteError>([&] { s.WriteBuffer("abcd", 4); }, "EWriteError", "Stream write error");
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
  ChokedStream source(data, 1 << 30);
  TMemoryStream dest;
  dest.CopyFrom(source, static_cast<int64_t>(data.size()));
  EXPECT_EQ(dest.Data(), data);
  EXPECT_EQ(*std::max_element(source.requests.begin(), source.requests.end()), 61440);
}

TEST(StreamTest, CopyFromFailsOnAShortSourceAndOnANegativeCount) {
  TMemoryStream source(test::Bytes("abc"));
  TMemoryStream dest;
  ExpectRaises<EReadError>([&] { dest.CopyFrom(source, 4); }, "EReadError", "Stream read error");
  source.SetPosition(0);
  ExpectRaises<EReadError>([&] { dest.CopyFrom(source, -1); }, "EReadError", "Stream read error");
}

TEST(FileStreamTest, OpenAndCreateFailuresNameTheFile) {
  test::TempDir dir;
  const std::string missing = dir.File("missing.bin");
  ExpectRaises<EFOpenError>([&] { TFileStream f(missing, FileMode::kOpenReadShared); },
                            "EFOpenError", "Cannot open file " + missing);
  const std::string nowhere = dir.File("no/such/folder.bin");
  ExpectRaises<EFCreateError>([&] { TFileStream f(nowhere, FileMode::kCreate); }, "EFCreateError",
                              "Cannot create file " + nowhere);
  ExpectRaises<EFOpenError>([&] { TFileStream f(dir.path(), FileMode::kOpenReadShared); },
                            "EFOpenError", "Cannot open file " + dir.path());
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
  EXPECT_EQ(owner->ComponentCount(), 2);
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
  ExpectRaises<Exception>([] { RaiseOpenError("x.zerk"); }, "EFOpenError",
                          "Cannot open file x.zerk");
  ExpectRaises<Exception>([] { RaiseCreateError("C:\\y"); }, "EFCreateError",
                          "Cannot create file C:\\y");
  ExpectRaises<EStreamError>([] { RaiseReadError(); }, "EReadError", "Stream read error");
  try {
    RaiseWriteError();
  } catch (const Exception& e) {
    EXPECT_NE(e.RaiseAddress(), nullptr) << "the report needs the raise address";
  }
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
