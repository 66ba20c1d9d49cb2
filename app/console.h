// Palette and Console: every line the program reports during a run is written here, one whole line
// at a time, as "[HH:MM:SS] tag   message" with optional colours. Console::log may be called from
// any thread (main, pool session, GPU workers); its mutex serialises the clock read, the local-time
// conversion (which shares a static buffer) and the write, so lines never mix and their stamps are
// in output order. The palette is chosen once at start-up and only read afterwards.
#pragma once

#include <mutex>
#include <string>

namespace tavo {

struct Palette {
  std::string reset, green, red, grey, cyan, yellow, accent;

  // All seven colours, or all seven empty.
  static Palette make(bool colour);
};

// Colour is on only when asked for, standard output is a terminal and NO_COLOR is absent (even an
// empty NO_COLOR turns it off), tested in that order.
bool colour_allowed(bool color_option);

class Console {
 public:
  // Keeps references to the palette's grey and reset strings: they must outlive the console.
  Console(const std::string& grey, const std::string& reset) : grey_(grey), reset_(reset) {}
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Writes one line: grey time stamp, the tag in `colour` padded to five columns, the message.
  void log(const std::string& colour, const std::string& tag, const std::string& message);

 private:
  std::mutex mutex_;
  const std::string& grey_;
  const std::string& reset_;
};

// Writes the start-up banner (block letters and the three texts beside them). Colours follow
// colour_allowed(color). Called once by the main thread before any other thread exists.
void print_banner(const std::string& name, const std::string& tagline, const std::string& version,
                  bool color);

// "%.2f GH/s", "%.2f MH/s", "%.2f kH/s" or "%.1f H/s", the unit chosen on the unscaled rate.
std::string format_hashrate(double hashes_per_second);

}  // namespace tavo
