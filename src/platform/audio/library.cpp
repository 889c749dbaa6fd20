// The audio library's process-wide state: configuration, per-thread error codes, the handle
// registry, the sync thread, the effect registry, and starting and freeing the output device.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "config.h"
#include "core.h"

namespace audio {
namespace detail {

// ==== Configuration and errors =================================================================

LibraryConfig& Config() {
  static LibraryConfig config;
  return config;
}

namespace {
std::mutex g_agent_mutex;
std::string g_agent;  // guarded by g_agent_mutex
thread_local int t_error = ERROR_OK;
}  // namespace

std::string NetAgent() {
  std::lock_guard lock(g_agent_mutex);
  return g_agent;
}

void SetError(int code) { t_error = code; }

// ==== Handle registry =============================================================================

namespace {
struct Registry {
  std::mutex mutex;
  std::map<Handle, ChannelPtr> channels;  // stream handles
  std::map<Handle, Handle> owners;        // sync/DSP/FX handle → channel handle
  std::atomic<Handle> next{1};
};
Registry& Reg() {
  static Registry registry;
  return registry;
}
}  // namespace

Handle NewHandle() {
  Handle h = Reg().next.fetch_add(1);
  if (h == 0) h = Reg().next.fetch_add(1);  // after 4 billion handles; never 0
  return h;
}

void RegisterChannel(const ChannelPtr& channel) {
  std::lock_guard lock(Reg().mutex);
  Reg().channels[channel->handle] = channel;
}

ChannelPtr FindChannel(Handle handle) {
  if (handle == 0) return nullptr;
  std::lock_guard lock(Reg().mutex);
  auto it = Reg().channels.find(handle);
  return it == Reg().channels.end() ? nullptr : it->second;
}

ChannelPtr UnregisterChannel(Handle handle) {
  std::lock_guard lock(Reg().mutex);
  auto it = Reg().channels.find(handle);
  if (it == Reg().channels.end()) return nullptr;
  ChannelPtr channel = it->second;
  Reg().channels.erase(it);
  for (auto o = Reg().owners.begin(); o != Reg().owners.end();) {
    o = (o->second == handle) ? Reg().owners.erase(o) : std::next(o);
  }
  return channel;
}

ChannelPtr FindChannelOwning(Handle sub_handle) {
  Handle owner;
  {
    std::lock_guard lock(Reg().mutex);
    auto it = Reg().owners.find(sub_handle);
    if (it == Reg().owners.end()) return nullptr;
    owner = it->second;
  }
  return FindChannel(owner);
}

void RememberOwner(Handle sub_handle, HCHANNEL channel) {
  std::lock_guard lock(Reg().mutex);
  Reg().owners[sub_handle] = channel;
}

void ForgetOwner(Handle sub_handle) {
  std::lock_guard lock(Reg().mutex);
  Reg().owners.erase(sub_handle);
}

std::vector<ChannelPtr> AllChannels() {
  std::lock_guard lock(Reg().mutex);
  std::vector<ChannelPtr> all;
  for (auto& [h, c] : Reg().channels) all.push_back(c);
  return all;
}

// ==== Sync thread =================================================================================
// Sync procedures of played channels and network events run here, one at a time, so a slow
// procedure delays other syncs but never the mixer or the device.

namespace {
class SyncThread {
 public:
  ~SyncThread() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void Post(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    jobs_.push_back(std::move(job));
    wake_.notify_one();
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_
  bool stop_ = false;                        // guarded by mutex_
  std::thread thread_;
};

SyncThread& Syncs() {
  static SyncThread thread;
  return thread;
}
}  // namespace

void PostSync(const SyncEntry& sync, HCHANNEL channel, DWORD data) {
  Syncs().Post([sync, channel, data] { sync.proc(sync.handle, channel, data, sync.user); });
}

// Raises every sync of `type` set on `channel` (not the mixtime ones), from the sync thread.
// Used for events noticed on threads that must not take the channel's mutex.
std::vector<SyncEntry> TakeDueSyncs(Channel& channel, DWORD type, SyncTiming timing) {
  std::vector<SyncEntry> due;
  for (auto it = channel.syncs.begin(); it != channel.syncs.end();) {
    bool wanted = it->type == type && (timing == SyncTiming::Any ||
                                       it->mixtime == (timing == SyncTiming::Mixtime));
    if (!wanted) {
      ++it;
      continue;
    }
    due.push_back(*it);
    if (it->onetime) {
      ForgetOwner(it->handle);
      it = channel.syncs.erase(it);
    } else {
      ++it;
    }
  }
  return due;
}

void PostChannelEvent(HCHANNEL handle, DWORD type, DWORD data) {
  Syncs().Post([handle, type, data] {
    ChannelPtr channel = FindChannel(handle);
    if (!channel) return;
    std::vector<SyncEntry> due;
    {
      std::lock_guard lock(channel->mutex);
      due = TakeDueSyncs(*channel, type, SyncTiming::Heard);
    }
    for (auto& s : due) s.proc(s.handle, handle, data, s.user);
  });
}

// ==== Effect registry =============================================================================

namespace {
std::mutex g_fx_mutex;
std::map<DWORD, EffectFactory>& Factories() {
  static std::map<DWORD, EffectFactory> factories;  // guarded by g_fx_mutex
  return factories;
}
}  // namespace

void RegisterEffect(DWORD type, EffectFactory factory) {
  std::lock_guard lock(g_fx_mutex);
  Factories()[type] = std::move(factory);
}

std::unique_ptr<Effect> CreateEffect(DWORD type) {
  EffectFactory factory;
  {
    std::lock_guard lock(g_fx_mutex);
    auto it = Factories().find(type);
    if (it == Factories().end()) return nullptr;
    factory = it->second;
  }
  return factory();
}

// ==== Device state ================================================================================

namespace {
std::mutex g_device_mutex;
int g_device = -2;  // guarded by g_device_mutex; -2 = not started
}  // namespace

}  // namespace detail

using namespace detail;

int ErrorGetCode() { return t_error; }

bool SetConfig(DWORD option, DWORD value) {
  LibraryConfig& c = Config();
  int v = static_cast<int>(value);
  switch (option) {
    case CONFIG_BUFFER: c.buffer_ms = std::clamp(v, 10, 5000); break;
    case CONFIG_UPDATEPERIOD: c.update_period_ms = std::clamp(v, 5, 100); break;
    case CONFIG_CURVE_VOL: c.curve_vol = value ? 1 : 0; break;
    case CONFIG_NET_TIMEOUT: c.net_timeout_ms = std::max(v, 1); break;
    case CONFIG_NET_BUFFER: c.net_buffer_ms = std::clamp(v, 100, 60000); break;
    case CONFIG_NET_PREBUF: c.net_prebuf = std::clamp(v, 0, 100); break;
    case CONFIG_MIDI_VOICES: c.midi_voices = std::clamp(v, 1, 1000); break;
    default: return Fail(ERROR_ILLTYPE, false);
  }
  SetError(ERROR_OK);
  return true;
}

DWORD GetConfig(DWORD option) {
  LibraryConfig& c = Config();
  int v;
  switch (option) {
    case CONFIG_BUFFER: v = c.buffer_ms; break;
    case CONFIG_UPDATEPERIOD: v = c.update_period_ms; break;
    case CONFIG_CURVE_VOL: v = c.curve_vol; break;
    case CONFIG_NET_TIMEOUT: v = c.net_timeout_ms; break;
    case CONFIG_NET_BUFFER: v = c.net_buffer_ms; break;
    case CONFIG_NET_PREBUF: v = c.net_prebuf; break;
    case CONFIG_MIDI_VOICES: v = c.midi_voices; break;
    default: return Fail(ERROR_ILLTYPE, static_cast<DWORD>(-1));
  }
  SetError(ERROR_OK);
  return static_cast<DWORD>(v);
}

bool SetConfigPtr(DWORD option, const char* value) {
  if (option != CONFIG_NET_AGENT) return Fail(ERROR_ILLTYPE, false);
  std::lock_guard lock(g_agent_mutex);
  g_agent = value ? value : "";
  SetError(ERROR_OK);
  return true;
}

bool GetDeviceInfo(DWORD device, DeviceInfo* info) {
  if (!info) return Fail(ERROR_ILLPARAM, false);
  if (device == 0) {
    info->name = "No sound";
    info->driver = "";
    info->flags = DEVICE_ENABLED;
  } else {
    std::vector<DeviceInfo> devices = ListDevices();
    if (device > devices.size()) return Fail(ERROR_DEVICE, false);
    *info = devices[device - 1];
  }
  std::lock_guard lock(g_device_mutex);
  if (g_device == static_cast<int>(device)) info->flags |= DEVICE_INIT;
  SetError(ERROR_OK);
  return true;
}

bool Init(int device, DWORD freq, DWORD flags) {
  (void)flags;
  std::lock_guard lock(g_device_mutex);
  if (g_device != -2) return Fail(ERROR_ALREADY, false);
  if (device < -1) return Fail(ERROR_DEVICE, false);
  int error = ERROR_OK;
  if (!StartOutput(device, freq ? static_cast<int>(freq) : 44100, &error)) {
    return Fail(error, false);
  }
  g_device = device;
  SetError(ERROR_OK);
  return true;
}

bool Free() {
  {
    std::lock_guard lock(g_device_mutex);
    if (g_device == -2) return Fail(ERROR_INIT, false);
    g_device = -2;
  }
  StopOutput();
  // Freeing the device frees every stream that plays on it; decoding channels stay.
  for (const ChannelPtr& c : AllChannels()) {
    if (!c->decode) StreamFree(c->handle);
  }
  SetError(ERROR_OK);
  return true;
}

int GetDevice() {
  std::lock_guard lock(g_device_mutex);
  if (g_device == -2) return Fail(ERROR_INIT, -1);
  SetError(ERROR_OK);
  return g_device;
}

}  // namespace audio
