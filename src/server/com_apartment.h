// Initialises COM for the calling thread for the length of one export call.
#pragma once

#include <objbase.h>

namespace ulvane {

// Pairs CoInitialize with CoUninitialize. A thread already in the multithreaded
// apartment refuses single-threaded initialisation; it is then left exactly as it
// was, and the call goes on in that apartment.
class ComApartment {
public:
  ComApartment() : initialised_(SUCCEEDED(CoInitialize(nullptr))) {}
  ~ComApartment() {
    if (initialised_) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

private:
  bool initialised_;
};

}  // namespace ulvane
