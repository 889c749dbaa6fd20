// Row 0 of the screen-reader table: Orca's D-Bus remote controller on the session bus, on
// sdbus-c++. Orca presents the text with its own voice settings, in speech and in braille.
//
// Interface (Orca 48 and later): service org.gnome.Orca.Service, object /org/gnome/Orca/Service,
// interface org.gnome.Orca.Service, PresentMessage(s) -> b. Speech is interrupted through the
// command "InterruptSpeech" of Orca's speech module, ExecuteCommand(s, b) -> b on interface
// org.gnome.Orca.Module; the module's object is SpeechManager in newer releases and
// SpeechAndVerbosityManager in older ones.
//
// sdbus-c++ throws sdbus::Error; nothing leaves this file as an exception. Every call has a
// time-out of 500 ms, so a hung bus or a hung Orca cannot stall the UI thread for longer.
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <memory>

#include "screen_reader_adapters.h"
#include "utf_text.h"

namespace {

constexpr const char* kService = "org.gnome.Orca.Service";
constexpr const char* kServicePath = "/org/gnome/Orca/Service";
constexpr const char* kServiceInterface = "org.gnome.Orca.Service";
constexpr const char* kModuleInterface = "org.gnome.Orca.Module";
constexpr const char* kSpeechModulePaths[] = {
    "/org/gnome/Orca/Service/SpeechManager",
    "/org/gnome/Orca/Service/SpeechAndVerbosityManager",
};
constexpr auto kCallTimeout = std::chrono::milliseconds(500);

class OrcaService {
 public:
  bool Detect() {
    if (!Connect()) return false;
    try {
      auto proxy = sdbus::createProxy(*bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
      bool has_owner = false;
      proxy->callMethod("NameHasOwner")
          .onInterface("org.freedesktop.DBus")
          .withTimeout(kCallTimeout)
          .withArguments(std::string(kService))
          .storeResultsTo(has_owner);
      return has_owner;
    } catch (...) {
      Unload();  // the bus itself went away: connect afresh next time
      return false;
    }
  }

  bool Say(const std::string& text, bool interrupt) {
    if (!Connect()) return false;
    // Interrupting is best effort: an Orca without the speech module's command still speaks.
    if (interrupt) Stop();
    try {
      auto proxy = sdbus::createProxy(*bus_, kService, kServicePath);
      bool presented = false;
      proxy->callMethod("PresentMessage")
          .onInterface(kServiceInterface)
          .withTimeout(kCallTimeout)
          .withArguments(ValidUtf8(text))  // D-Bus refuses invalid UTF-8
          .storeResultsTo(presented);
      return presented;
    } catch (...) {
      return false;
    }
  }

  bool Stop() {
    if (!Connect()) return false;
    if (!speech_path_.empty()) return InterruptSpeech(speech_path_);
    for (const char* path : kSpeechModulePaths) {
      if (InterruptSpeech(path)) {
        speech_path_ = path;
        return true;
      }
    }
    return false;
  }

  void Unload() {
    bus_.reset();
    speech_path_.clear();
  }

 private:
  bool Connect() {
    if (bus_ != nullptr) return true;
    try {
      bus_ = sdbus::createSessionBusConnection();
    } catch (...) {
      bus_.reset();
    }
    return bus_ != nullptr;
  }

  bool InterruptSpeech(const std::string& path) {
    try {
      auto proxy = sdbus::createProxy(*bus_, kService, path);
      bool done = false;
      proxy->callMethod("ExecuteCommand")
          .onInterface(kModuleInterface)
          .withTimeout(kCallTimeout)
          .withArguments(std::string("InterruptSpeech"), false)
          .storeResultsTo(done);
      return done;
    } catch (...) {
      return false;
    }
  }

  // UI thread only (under the bridge's lock).
  std::unique_ptr<sdbus::IConnection> bus_;
  std::string speech_path_;  // the speech module that answered, once known
};

}  // namespace

ScreenReaderEngine MakeOrcaServiceEngine() {
  auto orca = std::make_shared<OrcaService>();
  ScreenReaderEngine e;
  e.name = "Orca";
  e.detect = [orca] { return orca->Detect(); };
  e.say = [orca](const std::string& text, bool interrupt) { return orca->Say(text, interrupt); };
  e.stop = [orca] { return orca->Stop(); };
  // PresentMessage already shows every spoken text in braille; there is no braille-only call.
  e.braille = [](const std::string&) {};
  e.unload = [orca] { orca->Unload(); };
  return e;
}
