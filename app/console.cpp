#include "app/console.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tavo {

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
              tag.c_str(), reset_.c_str(), message.c_str());
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
