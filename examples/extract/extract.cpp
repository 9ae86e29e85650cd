// example_extract ARCHIVE ENTRYNAME OUTFILE: writes every entry named
// ENTRYNAME (ASCII case ignored, '\' between its parts) of an archive made
// by `kvarc create` into OUTFILE, verifying its byte sum, with the archive
// component. Exit code 0; 1 when it fails (one line naming the failure's
// class); 2 for a wrong command line.
#include <cstdio>

#include "archive/dozirivovaze.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: example_extract ARCHIVE ENTRYNAME OUTFILE\n");
    return 2;
  }
  try {
    kv::TKVDoziRivovaze component(nullptr);  // no owner: this scope frees it
    kv::TFileStream out(argv[3], kv::FileMode::kCreate);
    component.ExtractEntry(argv[1], out, argv[2]);
    std::printf("%s: %lld bytes\n", argv[3], static_cast<long long>(out.Size()));
  } catch (const kv::Exception& e) {
    std::fprintf(stderr, "example_extract: %s: %s\n", e.ClassName(), e.Message().c_str());
    return 1;
  }
  return 0;
}
