#include "harness.h"

#include <cstdio>
#include <mutex>

#include "standin_control.h"

namespace standin::harness {
namespace {

struct State {
  std::mutex mutex;
  Faults faults;
  int live = 0;
  int sinks = 0;
  int locks = 0;
  std::string log;
  std::string handed_out;  // what StandinLog last returned; stays valid until the next call
};

State& state() {
  static State shared;
  return shared;
}

}  // namespace

Faults faults_for_new_instance() {
  std::lock_guard lock(state().mutex);
  return state().faults;
}

bool set_faults(const char* text) {
  std::optional<Faults> parsed = Faults::parse(text ? text : "");
  if (!parsed) return false;
  std::lock_guard lock(state().mutex);
  state().faults = std::move(*parsed);
  return true;
}

void instance_made() {
  std::lock_guard lock(state().mutex);
  ++state().live;
}

void instance_destroyed() {
  std::lock_guard lock(state().mutex);
  --state().live;
}

int live_instances() {
  std::lock_guard lock(state().mutex);
  return state().live;
}

void sink_connected() {
  std::lock_guard lock(state().mutex);
  ++state().sinks;
}

void sink_disconnected() {
  std::lock_guard lock(state().mutex);
  --state().sinks;
}

int connected_sinks() {
  std::lock_guard lock(state().mutex);
  return state().sinks;
}

void server_locked(bool lock) {
  std::lock_guard guard(state().mutex);
  state().locks += lock ? 1 : -1;
}

bool can_unload() {
  std::lock_guard lock(state().mutex);
  return state().live == 0 && state().locks == 0;
}

void log(const std::string& line) {
  std::lock_guard lock(state().mutex);
  state().log.append(line).append("\n");
}

void log_result(std::string line, HRESULT result) {
  char code[16];
  std::snprintf(code, sizeof code, "%08lX", static_cast<unsigned long>(result));
  log(line.append(" -> 0x").append(code));
}

}  // namespace standin::harness

using namespace standin;

extern "C" int __stdcall StandinSetFaults(const char* faults) {
  return harness::set_faults(faults) ? 1 : 0;
}
extern "C" int __stdcall StandinLiveInstances() {
  return harness::live_instances();
}
extern "C" int __stdcall StandinConnectedSinks() {
  return harness::connected_sinks();
}

extern "C" const char* __stdcall StandinLog() {
  std::lock_guard lock(harness::state().mutex);
  harness::state().handed_out = harness::state().log;
  return harness::state().handed_out.c_str();
}

extern "C" void __stdcall StandinResetLog() {
  std::lock_guard lock(harness::state().mutex);
  harness::state().log.clear();
}
