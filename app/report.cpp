#include "app/report.h"

#include <cmath>
#include <cstdio>

namespace tavo {

namespace {

// Truncation toward zero, safe for any double a rate could hold.
std::uint64_t whole_rate(double rate) {
  if (!(rate > 0)) return 0;
  if (rate >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(rate);
}

}  // namespace

void print_report(Console& console, const Palette& palette, const ReportFigures& figures,
                  const ReadingsSource& readings) {
  double power_total = 0;
  for (std::size_t i = 0; i < figures.devices.size(); ++i) {
    if (!figures.mining[i]) continue;
    std::string extra;
    double power = 0;
    const GpuReadings r = readings ? readings(figures.devices[i]) : GpuReadings{};
    char piece[64];
    if (r.celsius) {
      std::snprintf(piece, sizeof piece, "  %u°C", *r.celsius);
      extra += piece;
    }
    if (r.milliwatts) {
      std::snprintf(piece, sizeof piece, "  %u W", *r.milliwatts / 1000);
      extra += piece;
      power = *r.milliwatts / 1000.0;
    }
    if (r.fan_percent) {
      std::snprintf(piece, sizeof piece, "  fan %u%%", *r.fan_percent);
      extra += piece;
    }
    power_total += power;
    console.log(palette.cyan, "gpu" + std::to_string(figures.devices[i]),
                format_hashrate(figures.rate10[i]) + extra);
  }

  std::string power_text;
  if (power_total > 0) {
    char text[48];
    std::snprintf(text, sizeof text, "   %.0f W", power_total);
    power_text = text;
  }
  console.log(palette.accent, "speed",
              "10s/60s/15m  " + format_hashrate(figures.all10) + " / " +
                  format_hashrate(figures.all60) + " / " + format_hashrate(figures.all900) +
                  "   shares " + std::to_string(figures.accepted) + "/" +
                  std::to_string(figures.rejected) + power_text);
}

std::string stats_document(const ReportFigures& figures, std::int64_t uptime_s) {
  std::string doc = "{\"hashrate_hs\":" + std::to_string(whole_rate(figures.all60)) + ",\"gpus\":[";
  for (std::size_t i = 0; i < figures.rate60.size(); ++i) {
    if (i > 0) doc += ",";
    doc += std::to_string(whole_rate(figures.rate60[i]));
  }
  doc += "],\"accepted\":" + std::to_string(figures.accepted) +
         ",\"rejected\":" + std::to_string(figures.rejected) +
         ",\"uptime_s\":" + std::to_string(uptime_s) +
         ",\"version\":\"1.1.0\",\"algo\":\"dovhash\"}\n";
  return doc;
}

void write_stats_file(const std::string& path, const std::string& document) {
  const std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) return;
  const bool written = std::fputs(document.c_str(), file) >= 0;
  const bool closed = std::fclose(file) == 0;
  // A short write (a full disk) must not replace the last good document with a truncated one.
  if (!written || !closed) {
    std::remove(temporary.c_str());
    return;
  }
  std::rename(temporary.c_str(), path.c_str());
}

}  // namespace tavo
