// Waits for the launcher's "Application Error" message box, writes its
// caption and text (as UTF-8, every character as the box shows it) to the
// file named by its first argument, and presses OK.
// Exit code 0 when a box was found and closed, 2 after the time-out (in
// seconds, second argument, default 60).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) return 3;
  const int timeout_s = argc > 2 ? std::atoi(argv[2]) : 60;
  for (int waited = 0; waited < timeout_s * 10; ++waited) {
    HWND box = FindWindowA("#32770", "Application Error");
    if (box != nullptr) {
      Sleep(200);  // let the box finish laying out its text
      wchar_t caption[256] = {};
      wchar_t text[8192] = {};
      GetWindowTextW(box, caption, 256);
      GetDlgItemTextW(box, 0xFFFF, text, 8192);  // the box's static text
      static char caption_utf8[1024];
      static char text_utf8[32768];
      WideCharToMultiByte(CP_UTF8, 0, caption, -1, caption_utf8, sizeof caption_utf8, nullptr,
                          nullptr);
      WideCharToMultiByte(CP_UTF8, 0, text, -1, text_utf8, sizeof text_utf8, nullptr, nullptr);
      const LONG style = GetWindowLongA(box, GWL_STYLE);
      std::FILE* out = std::fopen(argv[1], "wb");
      if (out != nullptr) {
        std::fprintf(out, "caption: %s\ntext: %s\nvisible: %d\n", caption_utf8, text_utf8,
                     (style & WS_VISIBLE) ? 1 : 0);
        std::fclose(out);
      }
      HWND ok = GetDlgItem(box, IDOK);
      if (ok != nullptr) {
        SendMessageA(ok, BM_CLICK, 0, 0);
      } else {
        PostMessageA(box, WM_COMMAND, IDOK, 0);
      }
      return 0;
    }
    Sleep(100);
  }
  return 2;
}
