// The stand-in control's process-wide test state: the faults for instances made
// next, the live-instance and connected-sink counts, and the call log. Keeping
// this across instances is the stand-in's job; the lock makes it safe from any thread.
#pragma once

#include <string>

#include "faults.h"

namespace standin::harness {

Faults faults_for_new_instance();
bool set_faults(const char* text);

void instance_made();
void instance_destroyed();
int live_instances();

void sink_connected();
void sink_disconnected();
int connected_sinks();

void server_locked(bool lock);
bool can_unload();

void log(const std::string& line);
// A failed call's log line: the line, then " -> 0x" and the result in eight hex digits.
void log_result(std::string line, HRESULT result);

}  // namespace standin::harness
