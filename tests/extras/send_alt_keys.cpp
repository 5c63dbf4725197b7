// send_alt_keys.exe TEXT [CLASS]: types Alt together with each character of
// TEXT, as real key presses, into the window that has the keyboard focus
// (first bringing the window of CLASS to the foreground); the
// GUI tests use it for the program's Alt+? and Alt+/ accelerators, which a
// posted message cannot reach (accelerators read the real Alt key state).
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

void Key(std::vector<INPUT>& inputs, WORD vk, bool up) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = static_cast<WORD>(::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  inputs.push_back(input);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: send_alt_keys.exe TEXT [CLASS]\n");
    return 2;
  }
  if (argc == 3) {
    HWND window = ::FindWindowW(argv[2], nullptr);
    if (!window) {
      std::fprintf(stderr, "send_alt_keys: no window of class %ls\n", argv[2]);
      return 1;
    }
    ::SetForegroundWindow(window);
    for (int i = 0; i < 100 && ::GetForegroundWindow() != window; ++i) ::Sleep(20);
    if (::GetForegroundWindow() != window) {
      std::fprintf(stderr, "send_alt_keys: %ls did not come to the foreground\n", argv[2]);
      return 1;
    }
  }
  for (const wchar_t* c = argv[1]; *c; ++c) {
    SHORT code = ::VkKeyScanW(*c);
    if (code == -1) {
      std::fprintf(stderr, "send_alt_keys: no key gives U+%04X\n", static_cast<unsigned>(*c));
      return 1;
    }
    WORD vk = LOBYTE(code);
    bool shift = HIBYTE(code) & 1;
    std::vector<INPUT> inputs;
    Key(inputs, VK_MENU, false);
    if (shift) Key(inputs, VK_SHIFT, false);
    Key(inputs, vk, false);
    Key(inputs, vk, true);
    if (shift) Key(inputs, VK_SHIFT, true);
    Key(inputs, VK_MENU, true);
    UINT sent = ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    if (sent != inputs.size()) {
      std::fprintf(stderr, "send_alt_keys: SendInput took %u of %u\n", sent, static_cast<unsigned>(inputs.size()));
      return 1;
    }
    ::Sleep(100);
  }
  return 0;
}
