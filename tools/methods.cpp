#include "tools/methods.h"

#include <algorithm>
#include <cctype>

#include "archive/records.h"

namespace kv::tools {
namespace {

template <std::unique_ptr<StreamCompressor> (*Make)(int, ByteSink)>
std::vector<uint8_t> CompressWhole(std::span<const uint8_t> data, int level) {
  std::vector<uint8_t> out;
  std::unique_ptr<StreamCompressor> c =
      Make(level, [&](std::span<const uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); });
  c->Feed(data);
  c->Finish();
  return out;
}

template <std::unique_ptr<StreamCompressor> (*Make)(int, ByteSink)>
constexpr BuilderMethod Row(uint8_t number, const char* lha) {
  return BuilderMethod{number, Make, CompressWhole<Make>, lha};
}

constexpr BuilderMethod kMethods[] = {
    {kMethodStored, nullptr, nullptr, "-lh0-"},
    Row<MakeRleCompressor>(kMethodRle, nullptr),
    Row<MakeLzh1Compressor>(kMethodLzh1, "-lh1-"),
    Row<MakeLh5Compressor>(kMethodLh5, "-lh5-"),
};

std::string Listed(const std::vector<std::string>& items, const char* last_joint) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? last_joint : ", ";
    text += items[i];
  }
  return text;
}

}  // namespace

std::span<const BuilderMethod> BuilderMethods() {
  return kMethods;
}

const BuilderMethod* BuilderMethodFor(uint8_t number) {
  for (const BuilderMethod& m : kMethods)
    if (m.number == number) return &m;
  return nullptr;
}

Compressor CompressorFor(uint8_t method) {
  const BuilderMethod* m = BuilderMethodFor(method);
  return m != nullptr ? m->whole : nullptr;
}

std::unique_ptr<StreamCompressor> StreamCompressorFor(uint8_t method, int level, ByteSink sink) {
  const BuilderMethod* m = BuilderMethodFor(method);
  if (m == nullptr || m->make == nullptr) return nullptr;
  return m->make(std::clamp(level, kMinLevel, kMaxLevel), std::move(sink));
}

int MethodFromName(const std::string& name) {
  std::string upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  for (const BuilderMethod& m : kMethods)
    if (upper == MethodIDs[m.number]) return m.number;
  return -1;
}

std::string WritableMethodNames() {
  std::vector<std::string> ids;
  for (const BuilderMethod& m : kMethods) ids.emplace_back(MethodIDs[m.number]);
  return Listed(ids, " or ");
}

int MethodForLha(const std::string& lha_method) {
  for (const BuilderMethod& m : kMethods)
    if (m.lha != nullptr && lha_method == m.lha) return m.number;
  return -1;
}

std::string ImportableLhaMethods() {
  std::vector<std::string> lha;
  for (const BuilderMethod& m : kMethods)
    if (m.lha != nullptr) lha.emplace_back(m.lha);
  return Listed(lha, " and ");
}

}  // namespace kv::tools
