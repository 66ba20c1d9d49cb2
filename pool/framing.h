// Cuts the inbound byte stream into lines. The buffer belongs to the session thread; nothing
// here is shared.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tavo {

// The longest partial line held while waiting for its line feed. A peer that sends more without
// one is not speaking line-delimited JSON.
inline constexpr std::size_t kMaxPartialLine = 65536;

// Hands every complete line of `inbox` (the bytes before each line feed, a carriage return
// included) to `deliver` in order, skipping empty ones, and removes them with their line feeds.
// Each line is handed over before the next is cut. Returns false when the partial line left
// behind is longer than kMaxPartialLine.
bool cut_lines(std::string& inbox, const std::function<void(std::string_view)>& deliver);

}  // namespace tavo
