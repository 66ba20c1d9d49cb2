#include "app/console.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tavo {

namespace {

// Messages carry text from the network (the pool's messages and rejection reasons). A control
// character in them could clear or retitle the user's terminal, move the cursor, or start a line
// that looks like one of ours, so each is written as an escape instead: C0 controls and DEL as
// \xNN, C1 controls (UTF-8 C2 80 to C2 9F) as \uNNNN. All other bytes, UTF-8 included, pass.
std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
    char escape[8];
    if (b < 0x20 || b == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02x", b);
    } else if (b == 0xC2 && next >= 0x80 && next <= 0x9F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", next);
      ++i;
    } else {
      out.push_back(text[i]);
      continue;
    }
    out += escape;
  }
  return out;
}

}  // namespace

Palette Palette::make(bool colour) {
  if (!colour) return Palette{};
  return Palette{"\033[0m", "\033[32m", "\033[31m", "\033[90m",
                 "\033[36m", "\033[33m", "\033[38;2;255;77;0m"};
}

bool colour_allowed(bool color_option) {
  if (!color_option) return false;
  if (!isatty(1)) return false;
  return std::getenv("NO_COLOR") == nullptr;
}

void Console::log(const std::string& colour, const std::string& tag, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  char stamp[16];
  std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);  // shared buffer: only used under the mutex
  if (local == nullptr || std::strftime(stamp, sizeof stamp, "%H:%M:%S", local) == 0) {
    std::snprintf(stamp, sizeof stamp, "--:--:--");
  }
  std::printf("%s[%s]%s %s%-5s%s %s\n", grey_.c_str(), stamp, reset_.c_str(), colour.c_str(),
              tag.c_str(), reset_.c_str(), printable(message).c_str());
  std::fflush(stdout);
}

std::string format_hashrate(double x) {
  char text[64];
  if (x >= 1e9) {
    std::snprintf(text, sizeof text, "%.2f GH/s", x / 1e9);
  } else if (x >= 1e6) {
    std::snprintf(text, sizeof text, "%.2f MH/s", x / 1e6);
  } else if (x >= 1e3) {
    std::snprintf(text, sizeof text, "%.2f kH/s", x / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.1f H/s", x);
  }
  return text;
}

}  // namespace tavo
