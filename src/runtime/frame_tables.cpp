// The 32-bit unwinder's lookup of the module's frame descriptions, defined here in
// place of the runtime's registry of frame tables. The runtime's start-up code
// (crtbegin.o) registers the module's tables with a libgcc_s_dw2-1.dll that the host
// has already loaded instead of with the module's own unwinder, which then finds no
// frame of the module, so the first throw would end the host; and the registry's lock
// is a semaphore that nothing closes, a handle left behind by every load. This lookup
// reads the module's own .eh_frame whoever else has it, and takes no handle.
#include "runtime/frame_tables.h"

#if defined(__i386__) && !defined(__SEH__) && !defined(__USING_SJLJ_EXCEPTIONS__)

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// The module's .eh_frame section, both ends set by the link (src/CMakeLists.txt).
extern "C" const unsigned char __ulvane_eh_frame_begin[];
extern "C" const unsigned char __ulvane_eh_frame_end[];

namespace {

// The bases the unwinder reads an FDE's encoded values against (libgcc's
// dwarf_eh_bases). The runtime's registry gives 0 for the text and data bases of
// tables registered the way crtbegin.o registers them; so does this lookup.
struct EhBases {
  void* tbase;
  void* dbase;
  void* func;
};

// How a pointer is written in the tables (the DW_EH_PE_* codes).
constexpr unsigned kOmit = 0xff;
constexpr unsigned kIndirect = 0x80;
constexpr unsigned kApplication = 0x70;
constexpr unsigned kPcRelative = 0x10;
constexpr unsigned kFunctionRelative = 0x40;
constexpr unsigned kAligned = 0x50;
constexpr unsigned kFormat = 0x0f;

// Reads the values of one record; the tables come from the compiler, so a value is
// trusted to lie within its record.
class Reader {
public:
  explicit Reader(const unsigned char* at) : at_(at) {}
  const unsigned char* at() const { return at_; }

  template <class Value>
  Value fixed() {
    Value value;
    std::memcpy(&value, at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  std::uintptr_t uleb() { return leb128(false); }
  std::uintptr_t sleb() { return leb128(true); }
  const char* string() {
    auto* text = reinterpret_cast<const char*>(at_);
    at_ += std::strlen(text) + 1;
    return text;
  }

  // A pointer written as `encoding` says, as the runtime reads it; false for a way
  // of writing it that the runtime's registry would not read either.
  bool pointer(unsigned encoding, std::uintptr_t& value) {
    if (encoding == kOmit || (encoding & kApplication) == kFunctionRelative) return false;
    const unsigned char* field = at_;
    if ((encoding & kApplication) == kAligned) {
      auto address = reinterpret_cast<std::uintptr_t>(at_);
      at_ += (sizeof(void*) - address % sizeof(void*)) % sizeof(void*);
      value = fixed<std::uintptr_t>();
      return true;
    }
    // Pointer-sized, LEB128, or 2, 4 or 8 bytes unsigned (0x0n) or signed (0x0n + 8).
    switch (encoding & kFormat) {
      case 0x00:
        value = fixed<std::uintptr_t>();
        break;
      case 0x01:
        value = uleb();
        break;
      case 0x02:
        value = fixed<std::uint16_t>();
        break;
      case 0x03:
        value = fixed<std::uint32_t>();
        break;
      case 0x04:
        value = std::uintptr_t(fixed<std::uint64_t>());
        break;
      case 0x09:
        value = sleb();
        break;
      case 0x0a:
        value = std::uintptr_t(fixed<std::int16_t>());
        break;
      case 0x0b:
        value = std::uintptr_t(fixed<std::int32_t>());
        break;
      case 0x0c:
        value = std::uintptr_t(fixed<std::int64_t>());
        break;
      default:
        return false;
    }
    // Zero stays zero: a function the link dropped.
    if (value != 0) {
      if ((encoding & kApplication) == kPcRelative) value += reinterpret_cast<std::uintptr_t>(field);
      if (encoding & kIndirect) value = *reinterpret_cast<const std::uintptr_t*>(value);
    }
    return true;
  }

private:
  std::uintptr_t leb128(bool is_signed) {
    std::uintptr_t value = 0;
    unsigned shift = 0;
    unsigned char byte;
    do {
      byte = *at_++;
      if (shift < 8 * sizeof value) value |= std::uintptr_t(byte & 0x7f) << shift;
      shift += 7;
    } while (byte & 0x80);
    if (is_signed && shift < 8 * sizeof value && (byte & 0x40)) value |= ~std::uintptr_t(0) << shift;
    return value;
  }

  const unsigned char* at_;
};

// How the FDEs of the CIE at `cie` write their function's address (its 'R'
// augmentation); kOmit when the CIE is one the runtime would not read either.
unsigned address_encoding(const unsigned char* cie) {
  Reader reader(cie + 8);  // past the length and the CIE id
  const unsigned version = reader.fixed<std::uint8_t>();
  const char* augmentation = reader.string();
  if (version >= 4) {
    const unsigned address_size = reader.fixed<std::uint8_t>();
    const unsigned segment_size = reader.fixed<std::uint8_t>();
    if (address_size != sizeof(void*) || segment_size != 0) return kOmit;
  }
  if (augmentation[0] != 'z') return 0;  // written as plain pointers
  reader.uleb();                         // code alignment
  reader.sleb();                         // data alignment
  if (version == 1)
    reader.fixed<std::uint8_t>();  // return address column
  else
    reader.uleb();
  reader.uleb();  // augmentation length
  for (const char* letter = augmentation + 1;; ++letter) {
    std::uintptr_t skipped;
    switch (*letter) {
      case 'R':
        return reader.fixed<std::uint8_t>();
      case 'P':  // the personality routine, not followed to where it points
        if (!reader.pointer(reader.fixed<std::uint8_t>() & ~kIndirect, skipped)) return kOmit;
        break;
      case 'L':
        reader.fixed<std::uint8_t>();
        break;
      case 'S':
        break;
      default:
        return 0;  // no 'R': plain pointers
    }
  }
}

struct Frame {
  std::uintptr_t begin;
  std::uintptr_t end;
  const unsigned char* fde;
};

// Calls found(frame) for each function the module's tables describe, in their order,
// until it returns true.
template <class Found>
void for_each_frame(Found found) {
  const unsigned char* const first = __ulvane_eh_frame_begin;
  const unsigned char* const last = __ulvane_eh_frame_end;
  const unsigned char* cie = nullptr;
  unsigned encoding = kOmit;
  for (const unsigned char* record = first; last - record >= 8;) {
    Reader reader(record);
    const auto length = reader.fixed<std::uint32_t>();
    // A zero length ends the tables (crtend.o writes it); 64-bit lengths are not
    // written for this target.
    if (length == 0 || length == 0xffffffff || length > std::uintptr_t(last - record) - 4) return;
    const unsigned char* const next = record + 4 + length;
    // An FDE names its CIE by the distance back to it from this field; a CIE has 0.
    const auto cie_distance = reader.fixed<std::uint32_t>();
    if (cie_distance != 0 && cie_distance <= std::uintptr_t(reader.at() - 4 - first)) {
      const unsigned char* its_cie = reader.at() - 4 - cie_distance;
      if (its_cie != cie) {
        cie = its_cie;
        encoding = address_encoding(cie);
      }
      std::uintptr_t begin = 0;
      std::uintptr_t size = 0;
      if (reader.pointer(encoding, begin) && begin != 0 && reader.pointer(encoding & kFormat, size) &&
          size != 0 && found(Frame{begin, begin + size, record}))
        return;
    }
    record = next;
  }
}

// The frames sorted by address, made on the first throw: a throw looks up every frame
// it passes, and the module has about a thousand of them.
struct Index {
  Frame* frames = nullptr;
  std::size_t count = 0;
};

SRWLOCK index_lock = SRWLOCK_INIT;
Index index;
// Set once the index is made or given back; read without the lock, written under it.
bool index_settled = false;

Index make_index() noexcept {
  std::size_t count = 0;
  for_each_frame([&](const Frame&) { return ++count, false; });
  auto* frames = static_cast<Frame*>(std::malloc(count * sizeof(Frame)));
  // Without memory for it the lookup reads the tables through at each frame.
  if (!frames) return Index();
  std::size_t filled = 0;
  for_each_frame([&](const Frame& frame) { return frames[filled++] = frame, false; });
  std::sort(frames, frames + count, [](const Frame& a, const Frame& b) { return a.begin < b.begin; });
  return Index{frames, count};
}

const Index& settled_index() noexcept {
  if (!__atomic_load_n(&index_settled, __ATOMIC_ACQUIRE)) {
    AcquireSRWLockExclusive(&index_lock);
    if (!index_settled) {
      index = make_index();
      __atomic_store_n(&index_settled, true, __ATOMIC_RELEASE);
    }
    ReleaseSRWLockExclusive(&index_lock);
  }
  return index;
}

bool contains(const Frame& frame, std::uintptr_t address) {
  return frame.begin <= address && address < frame.end;
}

}  // namespace

// The runtime's unwinder asks for the frame description of the code at pc (a return
// address less one) for each frame it passes; null for code that is not the module's.
extern "C" const void* _Unwind_Find_FDE(void* pc, EhBases* bases) {
  const auto address = reinterpret_cast<std::uintptr_t>(pc);
  const Index& sorted = settled_index();
  Frame found{};
  if (sorted.frames) {
    const Frame* first = sorted.frames;
    const Frame* after =
        std::upper_bound(first, first + sorted.count, address,
                         [](std::uintptr_t value, const Frame& frame) { return value < frame.begin; });
    if (after != first && contains(after[-1], address)) found = after[-1];
  } else {
    for_each_frame([&](const Frame& frame) { return contains(frame, address) && (found = frame, true); });
  }
  if (!found.fde) return nullptr;
  bases->tbase = nullptr;
  bases->dbase = nullptr;
  bases->func = reinterpret_cast<void*>(found.begin);
  return found.fde;
}

namespace ulvane {

void release_frame_tables() noexcept {
  AcquireSRWLockExclusive(&index_lock);
  std::free(index.frames);
  index = Index();
  // Not made again while the module unloads: a throw then reads the tables through.
  __atomic_store_n(&index_settled, true, __ATOMIC_RELEASE);
  ReleaseSRWLockExclusive(&index_lock);
}

}  // namespace ulvane

#else

namespace ulvane {

// The 64-bit twin unwinds through the platform's own function tables.
void release_frame_tables() noexcept {}

}  // namespace ulvane

#endif
