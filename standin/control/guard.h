// The fence around every COM entry point of the stand-in: a C++ exception must never
// reach the caller (it would end the host in std::terminate), so it becomes a result.
#pragma once

#include <windows.h>

#include <new>

namespace standin {

template <class Body>
HRESULT guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace standin
