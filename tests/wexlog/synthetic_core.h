// SPDX-License-Identifier: MIT
// Synthetic core files for the tests, fuzzers and benchmark of wexlog: ELF
// cores of either class and byte order, record stores laid out as the GNU
// C++ library lays them out, and a core with a layout descriptor.
#ifndef WEXLOG_SYNTHETIC_CORE_H
#define WEXLOG_SYNTHETIC_CORE_H

#include <wex_lib_log_ring_buffer.h>

#include "codec/layout_format.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace wexlog_test {

using core_bytes = std::vector<unsigned char>;
using ring_info = velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_;

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
inline core_bytes make_core(unsigned int p, bool big,
                            const std::vector<std::pair<uint64_t, core_bytes>>& regions,
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
  for (const auto& region : regions)
    o.b.insert(o.b.end(), region.second.begin(), region.second.end());
  return o.b;
}

// A record store as the GNU C++ library lays it out at `store`: its name in
// the string's own buffer, or at `name_at` when longer than 15 bytes, and
// `items` bytes of a record under construction at `items_at`, of which the
// first `whole` items are whole.
inline core_bytes store_image(bool big, unsigned int p, uint64_t store, const std::string& name,
                              int trace_id, const ring_info& info, uint64_t array, uint64_t name_at,
                              uint64_t items_at = 0, uint64_t items = 0, uint8_t whole = 0) {
  image m{big, p, {}};
  m.ptr(store).put(static_cast<uint32_t>(trace_id), 4).put(0, p - 4);
  const bool local = name.size() <= 15;
  m.ptr(local ? store + 4 * p : name_at).ptr(name.size());
  if (local) {
    m.b.insert(m.b.end(), name.begin(), name.end());
    m.put(0, 16 - static_cast<unsigned int>(name.size()));
  } else {
    m.ptr(name.size()).put(0, 16 - p);  // capacity
  }
  m.ptr(items_at).ptr(items_at + items).ptr(items_at + items);  // record under construction
  m.put(whole, 1).put(0, p - 1);                                // item count, padding
  m.put(static_cast<uint8_t>(info.empty), 4).put(info.write_pos, 4).put(info.read_pos, 4);
  m.put(info.size, 4).ptr(array);
  return m.b;
}

// A core whose byte array at 0x20000 is the ring `info` of `array`, used by
// a store "net" with trace id 42 at 0x10000 and bare at 0x10100 after bytes
// that are no store; at 0x10200 a store with a 17-byte name (at 0x30000)
// and trace id -5 holds an empty ring.
inline core_bytes sample_core(unsigned int p, bool big, const ring_info& info,
                              const core_bytes& array) {
  core_bytes stores = store_image(big, p, 0x10000, "net", 42, info, 0x20000, 0);
  const core_bytes fields(stores.begin() + 8 * p + 16, stores.end());
  stores.resize(0x100, 0xEE);
  stores.insert(stores.end(), fields.begin(), fields.end());
  const std::string name(17, 'h');
  const core_bytes empty = store_image(big, p, 0x10200, name, -5, {1, 9, 9, 64}, 0x20000, 0x30000);
  stores.resize(0x200);
  stores.insert(stores.end(), empty.begin(), empty.end());
  const core_bytes text(name.c_str(), name.c_str() + 18);
  return make_core(p, big, {{0x10000, stores}, {0x20000, array}, {0x30000, text}});
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

#endif  // WEXLOG_SYNTHETIC_CORE_H
