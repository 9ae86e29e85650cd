#include "tools/list_report.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/exceptions.h"
#include "launcher/launcher.h"
#include "tools/archive_writer.h"
#include "tools/methods.h"
#include "tools/pe_image.h"
#include "tools/stamp.h"
#include "tools/streams.h"

namespace kv::tools {

namespace {

using Json = nlohmann::ordered_json;

// The length of the well-formed UTF-8 sequence at the start of `rest`
// (RFC 3629: no overlong forms, no surrogates, nothing past U+10FFFF), or
// 0 when its first byte starts none.
size_t Utf8SequenceAt(std::string_view rest) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(rest[i]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80;  // the range of the second byte
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // the surrogates U+D800 .. U+DFFF
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;  // a continuation byte, C0/C1 (overlong), F5 .. FF
  }
  if (rest.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

// The first kPeHeadLimit bytes of `entry`, expanded: the expansion stops
// where the sink is full. Raises what the component raises otherwise.
std::vector<uint8_t> EntryHead(TKVDoziRivovaze& component, TStream& archive,
                               const ArchiveListing& listing, const ListedEntry& entry) {
  HeadSink sink(kPeHeadLimit);
  archive.SetPosition(entry.data_offset);
  try {
    component.ExpandEntry(sink, archive, entry.header.Sourcesize, entry.header.Destsize,
                          entry.header.Checksum, entry.header.Method, listing.compress_id);
  } catch (const EWriteError&) {
    if (!sink.Full()) throw;
  }
  return sink.Head();
}

InstallerFacts ReadInstallerFacts(TKVDoziRivovaze& component, TStream& archive,
                                  const ArchiveListing& listing, const ListedEntry& entry) {
  InstallerFacts facts;
  std::vector<uint8_t> head;
  try {
    head = EntryHead(component, archive, listing, entry);
  } catch (const Exception& e) {
    facts.fault = "does not expand: " + e.Message();
    return facts;
  }
  const PeHeaders pe = ParsePeHeaders(head);
  if (pe.fault != PeFault::kNone) {
    facts.fault = "not a Windows program (" + pe.reason + ")";
    return facts;
  }
  facts.machine = MachineName(pe.info.machine);
  facts.subsystem = SubsystemName(pe.info.subsystem);
  return facts;
}

Json OrNull(const std::string& text) {
  return text.empty() ? Json(nullptr) : Json(text);
}

Json LauncherJson(const LauncherFacts& f) {
  Json j;
  j["image_size"] = f.image_size;
  j["marker_offset"] = f.marker_offset < 0 ? Json(nullptr) : Json(f.marker_offset);
  j["payload_offset"] = f.payload_offset;
  j["archive_size"] = f.archive_size;
  if (f.installer) {
    Json installer;
    installer["machine"] = OrNull(f.installer->machine);
    installer["subsystem"] = OrNull(f.installer->subsystem);
    installer["fault"] = OrNull(f.installer->fault);
    j["installer"] = installer;
  } else {
    j["installer"] = nullptr;
  }
  if (f.signature) {
    Json signature;
    signature["offset"] = f.signature->offset;
    signature["size"] = f.signature->size;
    signature["covers_payload"] = f.signature->covers_payload;
    j["signature"] = signature;
  } else {
    j["signature"] = nullptr;
  }
  j["bytes_after_payload"] = f.bytes_after_payload;
  j["bytes_after_signature"] =
      f.bytes_after_signature ? Json(*f.bytes_after_signature) : Json(nullptr);
  if (f.version) {
    Json version = Json::object();
    for (const auto& [key, value] : *f.version) version[key] = value;
    j["version"] = version;
  } else {
    j["version"] = nullptr;
  }
  j["version_fault"] = OrNull(f.version_fault);
  return j;
}

std::string MethodText(uint8_t method) {
  return method < kMethodCount ? std::string(MethodIDs[method]) : "#" + std::to_string(method);
}

}  // namespace

std::string Utf8WithBytesAsCodePoints(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const size_t length = Utf8SequenceAt(bytes);
    if (length > 0) {
      out.append(bytes.substr(0, length));
      bytes.remove_prefix(length);
      continue;
    }
    // U+0080 .. U+00FF in two bytes: 110000xx 10xxxxxx.
    const auto b = static_cast<uint8_t>(bytes[0]);
    out.push_back(static_cast<char>(0xC0 | (b >> 6)));
    out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    bytes.remove_prefix(1);
  }
  return out;
}

LauncherFacts ReadLauncherFacts(ArchiveInput& input, TKVDoziRivovaze& component,
                                const ArchiveListing& listing) {
  LauncherFacts f;
  f.payload_offset = input.PayloadOffset();
  f.archive_size = input.PayloadEnd() - input.PayloadOffset() - 4;
  const uint64_t payload_end = static_cast<uint64_t>(input.PayloadEnd());
  const uint64_t file_size = static_cast<uint64_t>(input.FileSize());

  TStream& file = input.File();
  const PeHeaders pe = ParsePeHeaders(file);
  const PeInfo info = pe.fault == PeFault::kNone ? pe.info : PeInfo{};
  f.image_size = pe.fault == PeFault::kNone
                     ? std::min<uint64_t>(info.image_end, static_cast<uint64_t>(f.payload_offset))
                     : static_cast<uint64_t>(f.payload_offset);

  std::vector<uint8_t> start(
      static_cast<size_t>(std::min<int64_t>(f.payload_offset, kMarkerSearchLimit)));
  file.SetPosition(0);
  file.ReadBuffer(start.data(), static_cast<int32_t>(start.size()));
  f.marker_offset = FindMarker(start).offset;
  if (pe.fault == PeFault::kNone) {
    try {
      f.version = ReadVersionStrings(start, info);
    } catch (const BuilderError& e) {
      f.version_fault = e.what();
    }
  }

  if (info.HasCertificateTable()) {
    f.signature = SignatureFacts{info.certificate_offset, info.certificate_size,
                                 info.certificate_offset >= payload_end};
    const uint64_t table_end = uint64_t{info.certificate_offset} + info.certificate_size;
    f.bytes_after_signature = file_size > table_end ? file_size - table_end : 0;
  }
  f.bytes_after_payload = file_size - payload_end;
  f.trailing = DescribeTrailingBytes(AnalyzeTrailingBytes(info, file_size, payload_end));

  for (const ListedEntry& e : listing.entries) {
    if (!e.visited || !SameEntryName(e.name, kInstallerEntryName)) continue;
    f.installer = ReadInstallerFacts(component, input.Archive(), listing, e);
    break;
  }
  return f;
}

std::vector<std::string> LauncherFactLines(const LauncherFacts& f) {
  std::vector<std::string> lines;
  lines.push_back("image " + std::to_string(f.image_size) + " bytes, marker " +
                  (f.marker_offset < 0 ? std::string("not found")
                                       : "at offset " + std::to_string(f.marker_offset)) +
                  ", payload at offset " + std::to_string(f.payload_offset) + ", archive " +
                  std::to_string(f.archive_size) + " bytes");
  if (!f.installer)
    lines.push_back(std::string("no installer entry ") + kInstallerEntryName);
  else if (!f.installer->fault.empty())
    lines.push_back("installer " + f.installer->fault);
  else
    lines.push_back("installer for " + f.installer->machine + ", " + f.installer->subsystem);
  if (!f.version_fault.empty()) {
    lines.push_back(f.version_fault);
  } else if (!f.version) {
    lines.push_back("no version record");
  } else {
    std::string line = "version record:";
    for (const auto& [key, value] : *f.version)
      line += (line.back() == ':' ? " " : ", ") + key + " \"" + value + "\"";
    lines.push_back(line);
  }
  if (!f.signature)
    lines.push_back("no certificate table (not signed)");
  else
    lines.push_back("certificate table at offset " + std::to_string(f.signature->offset) + ", " +
                    std::to_string(f.signature->size) + " bytes, " +
                    (f.signature->covers_payload
                         ? "after the payload: a signature covers it"
                         : "before the payload's end: a signature does NOT cover the payload"));
  lines.push_back(f.trailing);
  return lines;
}

std::string ListingJson(const std::optional<LauncherFacts>& launcher,
                        const ArchiveListing& listing) {
  Json entries = Json::array();
  for (const ListedEntry& e : listing.entries) {
    Json entry;
    entry["name"] = Utf8WithBytesAsCodePoints(e.name);
    entry["method"] = MethodText(e.header.Method);
    entry["stored"] = e.header.Sourcesize;
    entry["size"] = e.header.Destsize;
    entry["checksum"] = e.header.Checksum;
    entry["verified_by_launcher"] = e.visited && e.header.Method != kMethodStored;
    entry["extracted"] = e.visited;
    entries.push_back(entry);
  }
  Json archive;
  archive["method"] = Utf8WithBytesAsCodePoints(listing.compress_id);
  archive["total_size"] = listing.header.TotalSize;
  archive["entries"] = entries;
  Json document;
  document["launcher"] = launcher ? LauncherJson(*launcher) : Json(nullptr);
  document["archive"] = archive;
  return document.dump(2, ' ', /*ensure_ascii=*/true) + "\n";
}

}  // namespace kv::tools
