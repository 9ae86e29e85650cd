// Signing a Setup.exe in the step that makes it: the check of what the
// signing command did, on a crafted launcher "signed" here as a signer
// does it (padding to 8 bytes, the table at the end, the security
// directory and the checksum rewritten).
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bytes.h"
#include "tests/kit/bytes.h"
#include "tests/kit/failure.h"
#include "tests/kit/launcher_fake.h"
#include "tools/archive_writer.h"
#include "tools/pe_image.h"
#include "tools/sign.h"
#include "tools/stamp.h"
#include "tools/streams.h"

namespace kv {
namespace {

using test::Bytes;
using test::FailureOf;

struct Signing {
  std::vector<uint8_t> image;  // the stamped image, as the builder wrote it
  std::vector<uint8_t> unsigned_file;
  std::vector<uint8_t> signed_file;
  tools::PeInfo info;
  size_t payload_end = 0;
};

Signing MakeSigning() {
  Signing s;
  const std::vector<uint8_t> launcher = test::UnstampedLauncher(1024);
  const std::vector<uint8_t> archive = tools::BuildArchive(
      std::vector<tools::ArchiveEntrySpec>{{"Installer\\ZIVizivaz.exe", Bytes("MZ!"), 0}});
  s.image = tools::StampedImage(launcher);
  s.unsigned_file = tools::StampLauncher(launcher, archive);
  s.payload_end = s.unsigned_file.size();
  s.info = tools::ReadPeHeaders(s.unsigned_file);
  s.signed_file = s.unsigned_file;
  s.signed_file.resize((s.payload_end + 7) / 8 * 8, 0);
  const size_t table = s.signed_file.size();
  s.signed_file.resize(table + 24, 0xC5);
  StoreLE32(s.signed_file.data() + s.info.directories_offset + 4 * 8, static_cast<uint32_t>(table));
  StoreLE32(s.signed_file.data() + s.info.directories_offset + 4 * 8 + 4, 24);
  StoreLE32(s.signed_file.data() + s.info.checksum_offset, 0x1234);
  return s;
}

test::Failure CheckSigned(const Signing& s, const std::vector<uint8_t>& file) {
  tools::TSpanStream before_stream(s.unsigned_file);
  const tools::PayloadPrint before = tools::PrintPayload(before_stream);
  tools::TSpanStream stream(file);
  return FailureOf([&] { tools::CheckSignedSetup(stream, s.image, before); });
}

TEST(SignTest, AcceptsASignatureAfterThePayloadAndNamesWhatElseTheCommandDid) {
  const Signing s = MakeSigning();
  EXPECT_EQ(CheckSigned(s, s.signed_file), test::kNoFailure);

  std::vector<uint8_t> image_changed = s.signed_file;
  image_changed[0x90] ^= 1;
  std::vector<uint8_t> payload_changed = s.signed_file;
  payload_changed[s.payload_end - 1] ^= 1;
  std::vector<uint8_t> more_after = s.signed_file;
  more_after.insert(more_after.end(), {1, 2, 3});
  // The table inside the payload: a launcher signed first and the payload
  // appended after its table would look so, with the directory moved.
  std::vector<uint8_t> table_inside = s.signed_file;
  StoreLE32(table_inside.data() + s.info.directories_offset + 4 * 8,
            static_cast<uint32_t>(s.image.size()));
  std::vector<uint8_t> cut = s.signed_file;
  cut.resize(cut.size() - 8);

  const auto refused = [](const std::string& message) {
    return test::Failure{"BuilderError", message};
  };
  const std::string payload_end = std::to_string(s.payload_end);
  struct Case {
    const char* label;
    const std::vector<uint8_t>& file;
    test::Failure failure;
  } cases[] = {
      {"not signed", s.unsigned_file,
       refused("it carries no certificate table: the command did not sign it")},
      {"image changed", image_changed,
       refused("the command changed the launcher image (at offset 144), not only its checksum "
               "and certificate directory")},
      {"payload changed", payload_changed, refused("the command changed the payload")},
      {"bytes after the table", more_after,
       refused("3 bytes follow its certificate table, outside the signature")},
      {"table cut", cut, refused("its certificate table runs past the end of the file")},
      {"table inside the payload", table_inside,
       refused("its certificate table (at offset " + std::to_string(s.image.size()) +
               ") does not follow the payload, which ends at offset " + payload_end +
               ": the signature does not cover it")},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckSigned(s, c.file), c.failure) << c.label;
}

TEST(SignTest, CommandNamesTheFileQuotedForTheShell) {
  EXPECT_EQ(tools::SignCommandFor("sign -in {} -out {}.s && mv {}.s {}", "/t/it's here.exe"),
            "sign -in '/t/it'\\''s here.exe' -out '/t/it'\\''s here.exe'.s && mv "
            "'/t/it'\\''s here.exe'.s '/t/it'\\''s here.exe'");
  EXPECT_EQ(FailureOf([] { tools::SignCommandFor("signtool sign", "x"); }),
            (test::Failure{"BuilderError", "the --sign command must name the file to sign as {}"}));
}

}  // namespace
}  // namespace kv
