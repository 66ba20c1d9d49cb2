#include "app/run.h"

#include <string>

namespace tavo {

bool Run::select_devices() {
  std::string pool = options_.host + ":" + std::to_string(options_.port);
  if (options_.tls) pool += " (TLS)";
  console_.log(palette_.grey, "pool", pool);
  std::string user = options_.user;
  if (!options_.worker.empty()) user += "." + options_.worker;
  console_.log(palette_.grey, "user", user);
  console_.log(palette_.grey, "fee", "2% dev contribution");
  return true;
}

// The mining engine, the pool client and the monitor join the run in later steps of the build-up;
// until then a run only supervises itself.
void Run::load_monitor() {}
void Run::start() {}
void Run::stop() {}
bool Run::health_and_sample() { return false; }
void Run::contribution_step(std::int64_t) {}
bool Run::any_mining() { return false; }
void Run::report(std::int64_t) {}

}  // namespace tavo
