// The ten-second status report (one line per mining GPU and a summary line) and the stats file, a
// one-line JSON document that other programs can poll. Both are built from ReportFigures, a plain
// snapshot the run takes on the main thread, so the formatting is independent of the live
// objects. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/monitor.h"

namespace tavo {

struct ReportFigures {
  std::vector<int> devices;          // per worker: CUDA device ordinal
  std::vector<bool> mining;          // per worker: tuned and not failed
  std::vector<double> rate10;        // per worker, hashes per second over 10 s
  std::vector<double> rate60;        // per worker, over 60 s
  double all10 = 0, all60 = 0, all900 = 0;
  std::uint64_t accepted = 0, rejected = 0;
};

using ReadingsSource = std::function<GpuReadings(int device)>;

// Prints the per-GPU lines (mining workers only) and the summary line.
void print_report(Console& console, const Palette& palette, const ReportFigures& figures,
                  const ReadingsSource& readings);

// The stats document, ending in a line feed.
std::string stats_document(const ReportFigures& figures, std::int64_t uptime_s);

// Writes `document` to path + ".tmp" and renames it over `path`, so readers never see a partial
// document. Silent on every failure; a failed write leaves the previous file in place.
void write_stats_file(const std::string& path, const std::string& document);

}  // namespace tavo
