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
constexpr size_t kOptSectionAlignment = 32, kOptFileAlignment = 36, kOptSizeOfImage = 56,
                 kOptSizeOfHeaders = 60, kOptCheckSum = 64, kOptSubsystem = 68;
constexpr size_t kPe32Fixed = 96, kPe32PlusFixed = 112;
constexpr size_t kSectionSize = 40, kSectionVirtualSize = 8, kSectionVirtualAddress = 12,
                 kSectionRawSize = 16, kSectionRawOffset = 20, kSectionCharacteristics = 36;
constexpr size_t kSecurityDirectory = 4;

size_t FixedPart(const PeFields& fields) {
  return fields.magic == 0x020B ? kPe32PlusFixed : kPe32Fixed;
}

size_t OptionalSize(const PeFields& fields) {
  return fields.optional_size != 0 ? fields.optional_size
                                   : FixedPart(fields) + 8 * size_t{fields.directory_count};
}

void Put16(std::vector<uint8_t>& image, size_t at, uint16_t v) {
  StoreLE16(image.data() + at, v);
}
void Put32(std::vector<uint8_t>& image, size_t at, uint32_t v) {
  StoreLE32(image.data() + at, v);
}

}  // namespace

PeLayout LayoutOf(const PeFields& fields) {
  PeLayout l;
  l.signature = fields.header_offset;
  l.optional = l.signature + kOptionalStart;
  l.directory_count = l.optional + FixedPart(fields) - 4;
  l.checksum = l.optional + kOptCheckSum;
  l.section_table = l.optional + OptionalSize(fields);
  l.headers_end = l.section_table + kSectionSize * fields.sections.size();
  return l;
}

std::vector<uint8_t> PeImage(const PeFields& fields, size_t size) {
  const PeLayout l = LayoutOf(fields);
  const size_t directories_end = l.directory_count + 4 + 8 * size_t{fields.directory_count};
  std::vector<uint8_t> image(std::max({size, l.headers_end, directories_end, size_t{64}}), 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, fields.header_offset);
  std::copy_n("PE\0\0", 4, image.begin() + static_cast<std::ptrdiff_t>(l.signature));
  Put16(image, l.signature + kCoffMachine, fields.machine);
  Put16(image, l.signature + kCoffSectionCount, static_cast<uint16_t>(fields.sections.size()));
  Put16(image, l.signature + kCoffOptionalSize, static_cast<uint16_t>(OptionalSize(fields)));
  Put16(image, l.signature + kCoffCharacteristics, fields.characteristics);
  Put16(image, l.optional, fields.magic);
  Put32(image, l.optional + kOptSectionAlignment, fields.section_alignment);
  Put32(image, l.optional + kOptFileAlignment, fields.file_alignment);
  Put32(image, l.optional + kOptSizeOfImage, fields.size_of_image);
  Put32(image, l.optional + kOptSizeOfHeaders, fields.size_of_headers);
  Put32(image, l.checksum, 0x12345678);  // any value: the reader only reports where it is
  Put16(image, l.optional + kOptSubsystem, fields.subsystem);
  Put32(image, l.directory_count, fields.directory_count);
  if (fields.directory_count > kSecurityDirectory) {
    const size_t security = l.directory_count + 4 + 8 * kSecurityDirectory;
    Put32(image, security, fields.certificate_offset);
    Put32(image, security + 4, fields.certificate_size);
  }
  for (const PeDirectoryFields& d : fields.directories) {
    if (d.index >= fields.directory_count) throw std::invalid_argument("no such directory");
    Put32(image, l.directory_count + 4 + 8 * d.index, d.rva);
    Put32(image, l.directory_count + 8 + 8 * d.index, d.size);
  }
  for (size_t i = 0; i < fields.sections.size(); ++i) {
    const PeSectionFields& s = fields.sections[i];
    if (s.name.size() > 8) throw std::invalid_argument("section name longer than 8");
    const size_t at = l.section_table + i * kSectionSize;
    std::copy(s.name.begin(), s.name.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    Put32(image, at + kSectionRawSize, s.raw_size);
    Put32(image, at + kSectionRawOffset, s.raw_offset);
    Put32(image, at + kSectionVirtualSize, s.virtual_size);
    Put32(image, at + kSectionVirtualAddress, s.virtual_address);
    Put32(image, at + kSectionCharacteristics, s.characteristics);
  }
  return image;
}

PeFields LauncherPeFields(bool x64) {
  PeFields fields;
  if (x64) {
    fields.machine = 0x8664;
    fields.magic = 0x020B;
    fields.characteristics = 0x0022;  // an executable image, large-address aware
  }
  fields.directory_count = kSecurityDirectory + 1;
  return fields;
}

}  // namespace kv::test
