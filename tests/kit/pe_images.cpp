#include "tests/kit/pe_images.h"

#include <algorithm>
#include <stdexcept>

#include "core/bytes.h"

namespace kv::test {

namespace {

// Offsets from the PE signature, and within the optional header and a
// section header, as the format defines them.
constexpr size_t kCoffMachine = 4, kCoffSectionCount = 6, kCoffOptionalSize = 20,
                 kCoffCharacteristics = 22, kOptionalStart = 24;
constexpr size_t kOptSizeOfImage = 56, kOptSizeOfHeaders = 60, kOptCheckSum = 64,
                 kOptSubsystem = 68;
constexpr size_t kPe32Fixed = 96, kPe32PlusFixed = 112;
constexpr size_t kSectionSize = 40, kSectionRawSize = 16, kSectionRawOffset = 20;
constexpr size_t kSecurityDirectory = 4;

size_t FixedPart(const PeSpec& spec) {
  return spec.magic == 0x020B ? kPe32PlusFixed : kPe32Fixed;
}

size_t OptionalSize(const PeSpec& spec) {
  return spec.optional_size != 0 ? spec.optional_size
                                 : FixedPart(spec) + 8 * size_t{spec.directory_count};
}

void Put16(std::vector<uint8_t>& image, size_t at, uint16_t v) {
  StoreLE16(image.data() + at, v);
}
void Put32(std::vector<uint8_t>& image, size_t at, uint32_t v) {
  StoreLE32(image.data() + at, v);
}

}  // namespace

PeLayout LayoutOf(const PeSpec& spec) {
  PeLayout l;
  l.signature = spec.header_offset;
  l.optional = l.signature + kOptionalStart;
  l.directory_count = l.optional + FixedPart(spec) - 4;
  l.checksum = l.optional + kOptCheckSum;
  l.section_table = l.optional + OptionalSize(spec);
  l.headers_end = l.section_table + kSectionSize * spec.sections.size();
  return l;
}

std::vector<uint8_t> PeImage(const PeSpec& spec, size_t size) {
  const PeLayout l = LayoutOf(spec);
  const size_t directories_end = l.directory_count + 4 + 8 * size_t{spec.directory_count};
  std::vector<uint8_t> image(std::max({size, l.headers_end, directories_end, size_t{64}}), 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, spec.header_offset);
  std::copy_n("PE\0\0", 4, image.begin() + static_cast<std::ptrdiff_t>(l.signature));
  Put16(image, l.signature + kCoffMachine, spec.machine);
  Put16(image, l.signature + kCoffSectionCount, static_cast<uint16_t>(spec.sections.size()));
  Put16(image, l.signature + kCoffOptionalSize, static_cast<uint16_t>(OptionalSize(spec)));
  Put16(image, l.signature + kCoffCharacteristics, spec.characteristics);
  Put16(image, l.optional, spec.magic);
  Put32(image, l.optional + kOptSizeOfImage, spec.size_of_image);
  Put32(image, l.optional + kOptSizeOfHeaders, spec.size_of_headers);
  Put32(image, l.checksum, 0x12345678);  // any value: the reader only reports where it is
  Put16(image, l.optional + kOptSubsystem, spec.subsystem);
  Put32(image, l.directory_count, spec.directory_count);
  if (spec.directory_count > kSecurityDirectory) {
    const size_t security = l.directory_count + 4 + 8 * kSecurityDirectory;
    Put32(image, security, spec.certificate_offset);
    Put32(image, security + 4, spec.certificate_size);
  }
  for (size_t i = 0; i < spec.sections.size(); ++i) {
    const PeSectionSpec& s = spec.sections[i];
    if (s.name.size() > 8) throw std::invalid_argument("section name longer than 8");
    const size_t at = l.section_table + i * kSectionSize;
    std::copy(s.name.begin(), s.name.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    Put32(image, at + kSectionRawSize, s.raw_size);
    Put32(image, at + kSectionRawOffset, s.raw_offset);
  }
  return image;
}

PeSpec LauncherPeSpec(bool x64) {
  PeSpec spec;
  if (x64) {
    spec.machine = 0x8664;
    spec.magic = 0x020B;
    spec.characteristics = 0x0022;  // an executable image, large-address aware
  }
  spec.directory_count = kSecurityDirectory + 1;
  return spec;
}

}  // namespace kv::test
