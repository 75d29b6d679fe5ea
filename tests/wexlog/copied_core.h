// SPDX-License-Identifier: MIT
// Cores for the tests, fuzzers and benchmark of wexlog: a small ELF wrapper
// of either class and byte order around memory regions, filled with the
// memory of this process's own record stores at their own addresses, so
// that the cores follow the library's layout wherever it goes. Only what no
// compiler lays out (forged rings, a store placed by a layout descriptor of
// its own) is written field by field.
#ifndef WEXLOG_COPIED_CORE_H
#define WEXLOG_COPIED_CORE_H

#include <malloc.h>
#include <wex_lib_log_storage.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "codec/layout_format.h"
#include "crash/crash_access.h"
#include "layout/layout_access.h"

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_DEFINED(address, size) ((void)(address), (void)(size))
#endif

namespace wexlog_test {

using core_bytes = std::vector<unsigned char>;
using region = std::pair<uint64_t, core_bytes>;
using ring_info = velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_;
constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// Values in a core's byte order and pointer width.
struct image {
  bool big;
  unsigned int p;
  core_bytes b;
  image& put(uint64_t value, unsigned int n) {
    for (unsigned int i = 0; i < n; ++i) {
      const unsigned int shift = 8 * (big ? n - 1 - i : i);
      b.push_back(shift < 64 ? static_cast<unsigned char>(value >> shift) : 0);
    }
    return *this;
  }
  image& ptr(uint64_t value) { return put(value, p); }
};

// An ELF file of `type` (4: core) with one writable loaded segment per region.
inline core_bytes make_core(unsigned int p, bool big, const std::vector<region>& regions,
                            unsigned int type = 4) {
  const unsigned int header = p == 8 ? 64 : 52, entry = p == 8 ? 56 : 32;
  image o{big, p, {0x7F, 'E', 'L', 'F', static_cast<unsigned char>(p / 4), 1, 1}};
  if (big) o.b[5] = 2;
  o.b.resize(16);
  o.put(type, 2).put(p == 8 ? 62 : 20, 2).put(1, 4).ptr(0).ptr(header).ptr(0).put(0, 4);
  o.put(header, 2).put(entry, 2).put(regions.size(), 2).put(0, 6);
  uint64_t offset = header + entry * regions.size();
  for (const auto& [address, content] : regions) {
    const uint64_t size = content.size();
    if (p == 8) o.put(1, 4).put(6, 4).ptr(offset).ptr(address).ptr(0).ptr(size).ptr(size).ptr(1);
    if (p == 4) o.put(1, 4).ptr(offset).ptr(address).ptr(0).ptr(size).ptr(size).put(6, 4).ptr(1);
    offset += size;
  }
  for (const auto& [address, content] : regions)
    o.b.insert(o.b.end(), content.begin(), content.end());
  return o.b;
}

inline uint64_t address_of(const void* at) {
  return reinterpret_cast<uintptr_t>(at);
}

// A core holds every byte of the memory it copies, the padding of objects
// included; so do these copies, so that memcheck judges the reader of the
// core, not the holes no constructor writes.
inline region copy_of(const void* at, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(at);
  region copy{address_of(at), core_bytes(bytes, bytes + size)};
  VALGRIND_MAKE_MEM_DEFINED(copy.second.data(), copy.second.size());
  return copy;
}

// What a reader of a core needs of one store, copied now: the store itself
// (whose fields `set` may change), the word its vtable pointer points at,
// its ring's array, its name when that lies outside the store, and its
// record under construction; those without bytes are left out of a core.
struct store_copy {
  explicit store_copy(const velorin::wex_lib_log_storage& store)
      : view(velorin::crash_access::view(store)), object(copy_of(&store, sizeof store)) {
    velorin::layout_access::describe(store, layout);
    uintptr_t vptr = 0;
    std::memcpy(&vptr, object.second.data(), sizeof vptr);
    vtable = copy_of(reinterpret_cast<const void*>(vptr), sizeof vptr);
    if (view.bytes != nullptr) array = copy_of(view.bytes, view.size);
    const auto* begin = reinterpret_cast<const char*>(&store);
    if (view.name < begin || view.name >= begin + sizeof store) {
      name = copy_of(view.name, view.name_size + 1);
    }
    // The store's record buffer only grows: its whole heap block, so that
    // the record's vector reaches no further than the copy does.
    if (view.building_size != 0) {
      building =
          copy_of(view.building, malloc_usable_size(const_cast<unsigned char*>(view.building)));
    }
  }

  // Changes a field of the copied store or of its ring, in its own width.
  void set(velorin::layout::layout_field_id field, uint64_t value) {
    using namespace velorin::layout;
    const field_place place = layout.fields[field];
    const bool in_ring = kFieldWidths[field].object == velorin::layout::in_ring;
    const uint32_t at = (in_ring ? layout.fields[store_ring].offset : 0) + place.offset;
    const image bytes = image{kHostBigEndian, 8, {}}.put(value, place.size);
    std::copy(bytes.b.begin(), bytes.b.end(), object.second.begin() + at);
  }

  // The ring's address: what wexlog names it by.
  uint64_t ring() const { return view.ring_address; }

  velorin::crash_view view;
  velorin::layout::layout_descriptor layout{};
  region object, vtable, array, name, building;
};

// A core of this process's class and byte order holding the stores and
// `more` regions, each address once.
inline core_bytes native_core(const std::vector<store_copy>& stores,
                              std::vector<region> more = {}) {
  for (const auto& store : stores) {
    for (const region& part : {store.object, store.vtable, store.array, store.name, store.building})
      if (!part.second.empty()) more.push_back(part);
  }
  std::sort(more.begin(), more.end());
  more.erase(std::unique(more.begin(), more.end()), more.end());
  return make_core(sizeof(void*), kHostBigEndian, more);
}

// A 32-bit big-endian core with a layout descriptor of `version` at 0x10000
// whose store is laid out unlike any compiler would: trace id at 0, ring at
// 8, record under construction from 28. Its registry's one node, of the
// store at 0x11000 named "net" with trace id 42, links to itself; the store's
// ring is `info` on `array` at 0x20000.
inline core_bytes layout_core(uint32_t version, const ring_info& info, const core_bytes& array) {
  using namespace velorin::layout;
  image d{true, 4, core_bytes(kLayoutMagic, kLayoutMagic + 16)};
  d.put(version, 4).put(kByteOrderMark, 4).put(4, 4).put(kDescriptorSize, 4);
  d.put(0x10100, 8).put(16, 4).put(52, 4).put(20, 4).put(kFieldCount, 4);
  const uint32_t places[kFieldCount][2] = {{0, 4},  {4, 4},  {8, 4},  {12, 4},  // node
                                           {0, 4},  {8, 20}, {28, 4}, {32, 4}, {36, 1},
                                           {40, 4}, {44, 4}, {48, 1},                     // store
                                           {0, 4},  {4, 4},  {8, 4},  {12, 4}, {16, 4}};  // ring
  for (const auto& place : places) d.put(place[0], 4).put(place[1], 4);
  d.b.resize(0x100);
  d.ptr(0x10200).put(0, 0xFC);                                   // the registry's head
  d.ptr(0x11000).ptr(0x10200).ptr(0x10300).ptr(3).put(0, 0xF0);  // store, next, name, length
  d.b.insert(d.b.end(), {'n', 'e', 't'});
  image store{true, 4, {}};
  store.put(42, 4).put(0, 4).put(static_cast<uint8_t>(info.empty), 4).put(info.write_pos, 4);
  store.put(info.read_pos, 4).put(info.size, 4).ptr(0x20000).put(0, 24);
  return make_core(4, true, {{0x10000, d.b}, {0x11000, store.b}, {0x20000, array}});
}

}  // namespace wexlog_test

#endif  // WEXLOG_COPIED_CORE_H
