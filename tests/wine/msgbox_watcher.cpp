// Waits for the launcher's "Application Error" message box, writes its
// caption and text to the file named by its first argument, and presses OK.
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
      char caption[256] = {};
      char text[2048] = {};
      GetWindowTextA(box, caption, sizeof caption);
      GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the box's static text
      const LONG style = GetWindowLongA(box, GWL_STYLE);
      std::FILE* out = std::fopen(argv[1], "wb");
      if (out != nullptr) {
        std::fprintf(out, "caption: %s\ntext: %s\nvisible: %d\n", caption, text,
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
