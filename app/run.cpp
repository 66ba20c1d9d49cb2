#include "app/run.h"

#include <cstdio>
#include <string>

#include "app/callbacks.h"
#include "app/report.h"
#include "gpu/device_context.h"

namespace tavo {

Run::~Run() { stop(); }

bool Run::select_devices() {
  const int count = device_count();
  if (count < 1) {
    std::printf("%s error%s no NVIDIA card found (driver missing?)\n", palette_.red.c_str(),
                palette_.reset.c_str());
    return false;
  }
  if (options_.devices.empty()) {
    for (int d = 0; d < count; ++d) options_.devices.push_back(d);
  }
  for (const std::int32_t d : options_.devices) {
    if (d >= count) {
      std::printf("%s error%s card %d does not exist (%d card(s) found)\n", palette_.red.c_str(),
                  palette_.reset.c_str(), d, count);
      return false;
    }
  }

  std::string pool = options_.host + ":" + std::to_string(options_.port);
  if (options_.tls) pool += " (TLS)";
  console_.log(palette_.grey, "pool", pool);
  std::string user = options_.user;
  if (!options_.worker.empty()) user += "." + options_.worker;
  console_.log(palette_.grey, "user", user);
  console_.log(palette_.grey, "fee", "2% dev contribution");
  for (const std::int32_t d : options_.devices) {
    char text[160];
    std::snprintf(text, sizeof text, "%s · %.0f GB", device_name(d).c_str(),
                  static_cast<double>(device_memory(d)) / (1024.0 * 1024.0 * 1024.0));
    console_.log(palette_.cyan, "gpu" + std::to_string(d), text);
  }
  return true;
}

void Run::load_monitor() { monitor_.load(); }

void Run::start() {
  client_ = std::make_unique<Stratum>();
  miner_ = std::make_unique<Miner>(client_.get(),
                                   std::vector<int>(options_.devices.begin(), options_.devices.end()));
  install_callbacks(*client_, *miner_, console_, palette_, options_, last_height_, dev_active_);
  miner_->start();

  config_ = std::make_unique<Stratum::Config>();
  config_->host = options_.host;
  config_->port = options_.port;
  config_->user = options_.user;
  config_->worker = options_.worker;
  config_->tls = options_.tls;
  config_->agent = std::string("TavoVornic-QRB/") + kVersion;
  client_->start(*config_);

  history_ = std::make_unique<HashrateHistory>();
  ContributionHooks& hooks = *this;
  schedule_ = std::make_unique<ContributionSchedule>(options_, *config_, dev_active_, hooks,
                                                     console_, palette_);
}

void Run::stop() {
  if (!miner_) return;
  miner_->set_job(Job{});
  client_->stop();
  miner_->stop();
  schedule_.reset();
  history_.reset();
  config_.reset();
  miner_.reset();
  client_.reset();
}

bool Run::health_and_sample() {
  if (miner_->all_failed()) {
    console_.log(palette_.red, "error", "no usable card — exiting");
    return true;
  }
  history_->sample(*miner_);
  return false;
}

void Run::contribution_step(std::int64_t elapsed_s) { schedule_->step(elapsed_s); }

bool Run::any_mining() { return miner_->any_mining(); }

void Run::report(std::int64_t elapsed_s) {
  ReportFigures figures;
  for (std::size_t i = 0; i < miner_->workers.size(); ++i) {
    figures.devices.push_back(options_.devices[i]);
    figures.mining.push_back(miner_->workers[i]->mining.load());
    figures.rate10.push_back(history_->rate(i, 10));
    figures.rate60.push_back(history_->rate(i, 60));
  }
  figures.all10 = history_->rate_all(10);
  figures.all60 = history_->rate_all(60);
  figures.all900 = history_->rate_all(900);
  figures.accepted = miner_->accepted.load();
  figures.rejected = miner_->rejected.load();
  print_report(console_, palette_, figures, [this](int device) { return monitor_.read(device); });
  if (options_.stats_file.empty()) return;
  figures.accepted = miner_->accepted.load();  // the file shows the counts as they are now
  figures.rejected = miner_->rejected.load();
  write_stats_file(options_.stats_file, stats_document(figures, elapsed_s));
}

bool Run::authorized() { return client_->authorized(); }
void Run::pause_miner() { miner_->set_job(Job{}); }
void Run::stop_client() { client_->stop(); }
void Run::start_client(const Stratum::Config& config) { client_->start(config); }

}  // namespace tavo
