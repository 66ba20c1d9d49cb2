// Process-wide state of the CPU stand-in: configuration from the environment, the fault plan and
// its counters, the registries of live objects, call counts, error texts, and the test hooks.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/cuda_runtime_cpu_internal.h"

namespace tavo_cpu {
namespace {

thread_local int t_current_device = 0;
thread_local cudaError_t t_last_error = cudaSuccess;

bool parse_count(const std::string& text, std::uint64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  std::uint64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(ch - '0');
  }
  *value = v;
  return true;
}

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool parse_rule(const std::string& text, FaultRule* rule, std::string* error) {
  std::string kind = text;
  std::string device;
  std::string value;
  bool has_value = false;
  if (const auto eq = kind.find('='); eq != std::string::npos) {
    value = kind.substr(eq + 1);
    kind.resize(eq);
    has_value = true;
  }
  if (const auto at = kind.find('@'); at != std::string::npos) {
    device = kind.substr(at + 1);
    kind.resize(at);
    std::uint64_t d = 0;
    if (!parse_count(device, &d) || d >= kMaxDevices) {
      *error = "bad device in fault rule '" + text + "'";
      return false;
    }
    rule->device = static_cast<int>(d);
  }
  static const struct {
    const char* name;
    FaultKind kind;
  } kKinds[] = {{"launch", FaultKind::kLaunch}, {"exec", FaultKind::kExec},
                {"malloc", FaultKind::kMalloc}, {"hostalloc", FaultKind::kHostAlloc},
                {"props", FaultKind::kProps},   {"wrong", FaultKind::kWrong}};
  bool known = false;
  for (const auto& k : kKinds) {
    if (kind == k.name) {
      rule->kind = k.kind;
      known = true;
    }
  }
  if (!known) {
    *error = "unknown fault kind in '" + text + "'";
    return false;
  }
  switch (rule->kind) {
    case FaultKind::kWrong:
      if (value == "plain") {
        rule->family = KernelFamily::kPlain;
      } else if (value == "il") {
        rule->family = KernelFamily::kInterleaved;
      } else {
        *error = "fault rule '" + text + "' needs =plain or =il";
        return false;
      }
      return true;
    case FaultKind::kProps:
      if (has_value) {
        *error = "fault rule '" + text + "' takes no value";
        return false;
      }
      return true;
    default:
      if (has_value && !parse_count(value, &rule->after)) {
        *error = "bad count in fault rule '" + text + "'";
        return false;
      }
      return true;
  }
}

}  // namespace

bool parse_fault_plan(const std::string& text, std::vector<FaultRule>* rules, std::string* error) {
  std::vector<FaultRule> parsed;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = trim(text.substr(start, end - start));
    if (!item.empty()) {
      FaultRule rule{FaultKind::kLaunch};
      if (!parse_rule(item, &rule, error)) return false;
      parsed.push_back(rule);
    }
    start = end + 1;
  }
  *rules = std::move(parsed);
  return true;
}

const char* entry_name(Entry entry) {
  static const char* const kNames[] = {
      "cudaGetDeviceCount", "cudaGetDeviceProperties", "cudaSetDevice", "cudaGetDevice",
      "cudaSetDeviceFlags", "cudaDeviceSynchronize", "cudaMalloc", "cudaFree", "cudaHostAlloc",
      "cudaFreeHost", "cudaMemsetAsync", "cudaMemcpyAsync", "cudaMemcpy",
      "cudaStreamCreateWithFlags", "cudaStreamSynchronize", "cudaStreamDestroy",
      "cudaEventCreateWithFlags", "cudaEventRecord", "cudaEventSynchronize", "cudaEventDestroy",
      "cudaGetLastError", "cudaPeekAtLastError", "cudaGetErrorString", "launch"};
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<int>(Entry::kCount));
  return kNames[static_cast<int>(entry)];
}

Runtime& Runtime::get() {
  static Runtime* const instance = new Runtime();
  return *instance;
}

Runtime::Runtime() : devices_(kMaxDevices) {
  if (const char* env = std::getenv("TAVO_CPU_DEVICES"); env != nullptr && *env != '\0') {
    std::uint64_t n = 0;
    if (parse_count(env, &n) && n <= kMaxDevices) {
      device_count_ = static_cast<int>(n);
    } else {
      std::fprintf(stderr, "CPU stand-in: ignoring TAVO_CPU_DEVICES='%s' (0..%d)\n", env,
                   kMaxDevices);
    }
  }
  if (const char* env = std::getenv("TAVO_CPU_FAULTS"); env != nullptr) {
    std::string error;
    if (!parse_fault_plan(env, &rules_, &error)) {
      std::fprintf(stderr, "CPU stand-in: ignoring TAVO_CPU_FAULTS: %s\n", error.c_str());
    }
  }
}

void Runtime::count(Entry entry) {
  calls_[static_cast<int>(entry)].fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t Runtime::calls(int entry_index) const {
  return calls_[entry_index].load(std::memory_order_relaxed);
}

int Runtime::device_count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return device_count_;
}

bool Runtime::valid_device(int device) { return device >= 0 && device < device_count(); }

const FaultRule* Runtime::rule_for(FaultKind kind, int device) const {
  for (const FaultRule& rule : rules_) {
    if (rule.kind == kind && (rule.device < 0 || rule.device == device)) return &rule;
  }
  return nullptr;
}

bool Runtime::props_fault(int device) {
  std::lock_guard<std::mutex> lock(mutex_);
  return rule_for(FaultKind::kProps, device) != nullptr;
}

bool Runtime::alloc_fault(BufferKind kind, int device) {
  std::lock_guard<std::mutex> lock(mutex_);
  DeviceState& state = devices_[device];
  std::uint64_t& done = kind == BufferKind::kDevice ? state.mallocs : state.host_allocs;
  const FaultRule* rule =
      rule_for(kind == BufferKind::kDevice ? FaultKind::kMalloc : FaultKind::kHostAlloc, device);
  return rule != nullptr && done++ >= rule->after;
}

bool Runtime::launch_fault(int device) {
  std::lock_guard<std::mutex> lock(mutex_);
  const FaultRule* rule = rule_for(FaultKind::kLaunch, device);
  return rule != nullptr && devices_[device].launches++ >= rule->after;
}

bool Runtime::exec_fault(int device) {
  std::lock_guard<std::mutex> lock(mutex_);
  const FaultRule* rule = rule_for(FaultKind::kExec, device);
  return rule != nullptr && devices_[device].executions++ >= rule->after;
}

bool Runtime::wrong_fault(int device, KernelFamily family) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const FaultRule& rule : rules_) {
    if (rule.kind == FaultKind::kWrong && (rule.device < 0 || rule.device == device) &&
        rule.family == family) {
      return true;
    }
  }
  return false;
}

cudaError_t Runtime::device_error(int device) {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_[device].error;
}

void Runtime::set_device_error(int device, cudaError_t error) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[device].error = error;
}

void Runtime::add_buffer(void* ptr, std::size_t size, BufferKind kind, int device) {
  std::lock_guard<std::mutex> lock(mutex_);
  buffers_[reinterpret_cast<std::uintptr_t>(ptr)] = Buffer{size, kind, device};
}

bool Runtime::remove_buffer(void* ptr, BufferKind kind, int* device) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = buffers_.find(reinterpret_cast<std::uintptr_t>(ptr));
  if (it == buffers_.end() || it->second.kind != kind) return false;
  *device = it->second.device;
  buffers_.erase(it);
  return true;
}

bool Runtime::find_buffer(const void* ptr, std::size_t size, BufferKind* kind, int* device) {
  const auto p = reinterpret_cast<std::uintptr_t>(ptr);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = buffers_.upper_bound(p);
  if (it == buffers_.begin()) return false;
  --it;
  const std::uintptr_t begin = it->first;
  if (p - begin > it->second.size || size > it->second.size - (p - begin)) return false;
  *kind = it->second.kind;
  *device = it->second.device;
  return true;
}

void Runtime::add_stream(std::shared_ptr<Stream> stream) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Stream* key = stream.get();
  streams_[key] = std::move(stream);
}

std::shared_ptr<Stream> Runtime::find_stream(const Stream* handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = streams_.find(handle);
  return it == streams_.end() ? nullptr : it->second;
}

std::shared_ptr<Stream> Runtime::take_stream(const Stream* handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = streams_.find(handle);
  if (it == streams_.end()) return nullptr;
  std::shared_ptr<Stream> stream = std::move(it->second);
  streams_.erase(it);
  return stream;
}

std::shared_ptr<Stream> Runtime::default_stream(int device) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Stream>& stream = devices_[device].default_stream;
  if (!stream) stream = std::make_shared<Stream>(device, cudaStreamDefault);
  return stream;
}

std::vector<std::shared_ptr<Stream>> Runtime::device_streams(int device) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<Stream>> result;
  for (const auto& [key, stream] : streams_) {
    if (stream->device == device) result.push_back(stream);
  }
  if (devices_[device].default_stream) result.push_back(devices_[device].default_stream);
  return result;
}

void Runtime::add_event(std::unique_ptr<Event> event) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Event* key = event.get();
  events_[key] = std::move(event);
}

bool Runtime::has_event(const Event* handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.count(handle) != 0;
}

std::unique_ptr<Event> Runtime::take_event(const Event* handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = events_.find(handle);
  if (it == events_.end()) return nullptr;
  std::unique_ptr<Event> event = std::move(it->second);
  events_.erase(it);
  return event;
}

LiveObjects Runtime::live() {
  std::lock_guard<std::mutex> lock(mutex_);
  LiveObjects live;
  for (const auto& [ptr, buffer] : buffers_) {
    (buffer.kind == BufferKind::kDevice ? live.device_buffers : live.host_buffers) += 1;
  }
  live.streams = static_cast<int>(streams_.size());
  live.events = static_cast<int>(events_.size());
  return live;
}

bool Runtime::configure(int devices, const std::string& plan, std::string* error) {
  std::vector<FaultRule> rules;
  if (devices < 0 || devices > kMaxDevices) {
    *error = "device count out of range";
    return false;
  }
  if (!parse_fault_plan(plan, &rules, error)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  device_count_ = devices;
  rules_ = std::move(rules);
  for (DeviceState& state : devices_) {
    state.mallocs = state.host_allocs = state.launches = state.executions = 0;
    state.error = cudaSuccess;
  }
  return true;
}

int& current_device() { return t_current_device; }

cudaError_t fail(cudaError_t error) {
  if (error != cudaSuccess) t_last_error = error;
  return error;
}

std::shared_ptr<Stream> resolve_stream(cudaStream_t handle, cudaError_t* error) {
  Runtime& rt = Runtime::get();
  if (handle == nullptr) {
    if (!rt.valid_device(current_device())) {
      *error = fail(rt.device_count() == 0 ? cudaErrorNoDevice : cudaErrorInvalidDevice);
      return nullptr;
    }
    return rt.default_stream(current_device());
  }
  std::shared_ptr<Stream> stream = rt.find_stream(handle);
  if (!stream) *error = fail(cudaErrorInvalidResourceHandle);
  return stream;
}

// ---- Test hooks -------------------------------------------------------------------------------

LiveObjects live_objects() { return Runtime::get().live(); }

std::uint64_t runtime_calls() {
  std::uint64_t total = 0;
  for (int i = 0; i < static_cast<int>(Entry::kCount); ++i) total += Runtime::get().calls(i);
  return total;
}

std::uint64_t runtime_calls(const char* entry_point) {
  for (int i = 0; i < static_cast<int>(Entry::kCount); ++i) {
    if (std::strcmp(entry_name(static_cast<Entry>(i)), entry_point) == 0) {
      return Runtime::get().calls(i);
    }
  }
  return 0;
}

bool configure(int device_count, const char* fault_plan) {
  std::string error;
  return Runtime::get().configure(device_count, fault_plan != nullptr ? fault_plan : "", &error);
}

}  // namespace tavo_cpu

// ---- Errors -------------------------------------------------------------------------------------

cudaError_t cudaGetLastError() {
  tavo_cpu::Runtime& rt = tavo_cpu::Runtime::get();
  rt.count(tavo_cpu::Entry::kGetLastError);
  const cudaError_t error = tavo_cpu::t_last_error;
  tavo_cpu::t_last_error = cudaSuccess;
  if (error == cudaSuccess && rt.valid_device(tavo_cpu::t_current_device)) {
    return rt.device_error(tavo_cpu::t_current_device);
  }
  return error;
}

cudaError_t cudaPeekAtLastError() {
  tavo_cpu::Runtime& rt = tavo_cpu::Runtime::get();
  rt.count(tavo_cpu::Entry::kPeekAtLastError);
  const cudaError_t error = tavo_cpu::t_last_error;
  if (error == cudaSuccess && rt.valid_device(tavo_cpu::t_current_device)) {
    return rt.device_error(tavo_cpu::t_current_device);
  }
  return error;
}

const char* cudaGetErrorString(cudaError_t error) {
  tavo_cpu::Runtime::get().count(tavo_cpu::Entry::kGetErrorString);
  switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorNoDevice: return "no device available";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorUnknown: return "unknown error";
  }
  return "unrecognized error code";
}
