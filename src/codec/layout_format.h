// SPDX-License-Identifier: MIT
// The layout descriptor: where a reader of the process's memory (a core, or
// later a live process) finds the live loggers and the fields of their record
// stores and rings, without guessing how the compiler and the C++ library laid
// the classes out.
//
// The library keeps one descriptor in writable data. All of its integers are
// in the process's own byte order:
//   magic            16 bytes, kLayoutMagic
//   version          uint32, kLayoutVersion
//   byte_order       uint32, 0x01020304 as the process writes it
//   pointer_size     uint32, bytes of a pointer
//   descriptor_size  uint32, sizeof(layout_descriptor)
//   registry         uint64, address of the registry's head: a pointer to
//                    the newest node, null when no logger lives
//   node_size, store_size, ring_size   uint32 each, sizeof of the three
//   field_count      uint32, kFieldCount
//   fields           kFieldCount {offset, size} pairs of uint32, in the order
//                    of layout_field_id, each within its object
// A registry node holds the store's address, the next node's address (null
// at the end), and the store's name as a pointer and a length (no NUL
// needed), so that reading the name needs no knowledge of std::string.
// The store holds its trace id, its ring (an object of ring_size bytes), and
// the record under construction: the bytes of its whole items (pointer and
// size), their count, and a data item lent by the caller that begins the
// record (pointer, size and kind, null pointer when there is none).
// The ring holds its empty flag, write and read positions, size and array.
//
// A reader takes a descriptor only when every field is what this version
// says: magic, version, byte order and pointer width of the core, each field
// of the width kFieldWidths gives and within its object.
#ifndef WEXLOG_CODEC_LAYOUT_FORMAT_H
#define WEXLOG_CODEC_LAYOUT_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace velorin {
namespace layout {

// Bytes no other data of the process is likely to hold, with a high bit and a
// NUL so that no text matches them.
constexpr unsigned char kLayoutMagic[16] = {0xd7, 'w', 'e', 'x', 'l', 'o', 'g',  ' ',
                                            'l',  'a', 'y', 'o', 'u', 't', 0x00, 0x8e};
constexpr uint32_t kLayoutVersion = 1;
constexpr uint32_t kByteOrderMark = 0x01020304;

enum layout_field_id : unsigned int {
  node_store,
  node_next,
  node_name,
  node_name_size,
  store_trace_id,
  store_ring,
  store_building,
  store_building_size,
  store_item_count,
  store_lent,
  store_lent_size,
  store_lent_kind,
  ring_empty,
  ring_write_pos,
  ring_read_pos,
  ring_size,
  ring_array,
  kFieldCount
};

enum layout_object : unsigned char { in_node, in_store, in_ring };

// What a field must be: its object, and its width in bytes, kPointerWidth
// for a pointer or pointer-sized count, kRingWidth for the ring object.
constexpr unsigned char kPointerWidth = 0;
constexpr unsigned char kRingWidth = 0xff;
struct field_shape {
  layout_object object;
  unsigned char width;
};
constexpr field_shape kFieldWidths[kFieldCount] = {{in_node, kPointerWidth},
                                                   {in_node, kPointerWidth},
                                                   {in_node, kPointerWidth},
                                                   {in_node, kPointerWidth},
                                                   {in_store, 4},
                                                   {in_store, kRingWidth},
                                                   {in_store, kPointerWidth},
                                                   {in_store, 4},
                                                   {in_store, 1},
                                                   {in_store, kPointerWidth},
                                                   {in_store, 4},
                                                   {in_store, 1},
                                                   {in_ring, 4},
                                                   {in_ring, 4},
                                                   {in_ring, 4},
                                                   {in_ring, 4},
                                                   {in_ring, kPointerWidth}};

struct field_place {
  uint32_t offset;
  uint32_t size;
};

struct layout_descriptor {
  unsigned char magic[16];
  uint32_t version;
  uint32_t byte_order;
  uint32_t pointer_size;
  uint32_t descriptor_size;
  uint64_t registry;
  uint32_t node_size;
  uint32_t store_size;
  uint32_t ring_size;
  uint32_t field_count;
  field_place fields[kFieldCount];
};

// Where each header field lies, for readers of another byte order or width.
constexpr unsigned int kVersionAt = 16, kByteOrderAt = 20, kPointerSizeAt = 24,
                       kDescriptorSizeAt = 28, kRegistryAt = 32, kObjectSizesAt = 40,
                       kFieldCountAt = 52, kFieldsAt = 56;
constexpr unsigned int kDescriptorSize = kFieldsAt + 8 * kFieldCount;
static_assert(sizeof(layout_descriptor) == kDescriptorSize, "no padding in the descriptor");
static_assert(offsetof(layout_descriptor, registry) == kRegistryAt &&
                  offsetof(layout_descriptor, node_size) == kObjectSizesAt &&
                  offsetof(layout_descriptor, fields) == kFieldsAt,
              "the descriptor's fields where readers look for them");

}  // namespace layout
}  // namespace velorin

#endif  // WEXLOG_CODEC_LAYOUT_FORMAT_H
