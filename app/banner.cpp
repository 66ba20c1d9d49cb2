#include <cstdio>

#include "app/console.h"

namespace tavo {
namespace {

// TAVO in block letters with a double-line shadow; every row is 35 columns wide so the texts
// beside rows 2 to 4 start in the same column.
constexpr const char* kGlyphRows[6] = {
    "████████╗ █████╗ ██╗   ██╗ ██████╗ ",
    "╚══██╔══╝██╔══██╗██║   ██║██╔═══██╗",
    "   ██║   ███████║██║   ██║██║   ██║",
    "   ██║   ██╔══██║╚██╗ ██╔╝██║   ██║",
    "   ██║   ██║  ██║ ╚████╔╝ ╚██████╔╝",
    "   ╚═╝   ╚═╝  ╚═╝  ╚═══╝   ╚═════╝ ",
};

}  // namespace

void print_banner(const std::string& name, const std::string& tagline, const std::string& version,
                  bool color) {
  const bool on = colour_allowed(color);
  const char* letter = on ? "\033[1m\033[38;2;255;77;0m" : "";
  const char* title = on ? "\033[1m\033[38;2;237;232;219m" : "";
  const char* muted = on ? "\033[38;2;163;157;144m" : "";
  const char* reset = on ? "\033[0m" : "";

  const char* beside_colour[6] = {nullptr, title, title, muted, nullptr, nullptr};
  const std::string* beside_text[6] = {nullptr, &name, &tagline, &version, nullptr, nullptr};

  std::printf("\n");
  for (int row = 0; row < 6; ++row) {
    std::printf("%s  %s%s", letter, kGlyphRows[row], reset);
    if (beside_text[row] != nullptr) {
      std::printf("   %s%s%s", beside_colour[row], beside_text[row]->c_str(), reset);
    }
    std::printf("\n");
  }
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace tavo
