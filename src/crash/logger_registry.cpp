// SPDX-License-Identifier: MIT
#include "crash/logger_registry.h"

#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>

#include "layout/layout_access.h"

namespace velorin {
namespace logger_registry {
namespace {

// One registered store. Nodes are linked and unlinked under the registry's
// mutex and published with atomic pointers, so the handler can walk the list
// without a lock; a node is freed only once no walk can be on it. The name
// is kept as a pointer and a length for readers of the process's memory,
// which cannot know how the C++ library lays a string out; a store's name
// never changes.
struct node {
  const wex_lib_log_storage* store;
  std::atomic<node*> next;
  const char* name;
  size_t name_size;
};
static_assert(std::is_standard_layout<node>::value, "offsetof applies to the node");

// Sequentially consistent throughout: a leaving store's unlink and its look
// at `walkers`, and a walk's count and its look at the links, must not pass
// each other, or a walk could reach a node that is freed under it.
std::atomic<node*> head{nullptr};
std::atomic<int> walkers{0};
std::mutex writers;

}  // namespace

// The layout descriptor that readers of this process's memory look for.
// Written when the first store registers, magic last, so that a core taken
// earlier or meanwhile holds no descriptor that looks whole; its page is then
// the process's own (written, not the library file's), which every core
// holds. External linkage and `used`: nothing in the process reads it, and
// its stores must not be optimised away.
[[gnu::used]] layout::layout_descriptor layout_descriptor_of_this_library{};

namespace {

bool described = false;  // under `writers`

layout::field_place node_field(size_t offset, size_t size) {
  return {static_cast<uint32_t>(offset), static_cast<uint32_t>(size)};
}

void describe(const wex_lib_log_storage& store) {
  using namespace layout;
  layout_descriptor& d = layout_descriptor_of_this_library;
  d.version = kLayoutVersion;
  d.byte_order = kByteOrderMark;
  d.pointer_size = sizeof(void*);
  d.descriptor_size = sizeof d;
  d.registry = reinterpret_cast<uintptr_t>(&head);
  d.node_size = sizeof(node);
  d.field_count = kFieldCount;
  d.fields[node_store] = node_field(offsetof(node, store), sizeof(node::store));
  d.fields[node_next] = node_field(offsetof(node, next), sizeof(node::next));
  d.fields[node_name] = node_field(offsetof(node, name), sizeof(node::name));
  d.fields[node_name_size] = node_field(offsetof(node, name_size), sizeof(node::name_size));
  layout_access::describe(store, d);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(d.magic, kLayoutMagic, sizeof d.magic);
  described = true;
}

void wait_for_walks() {
  const timespec pause{0, 1000000};  // 1 ms
  while (walkers.load() != 0) nanosleep(&pause, nullptr);
}

}  // namespace

void enter(const wex_lib_log_storage& store) noexcept {
  node* added = new (std::nothrow)
      node{&store, {nullptr}, layout_access::name(store).data(), layout_access::name(store).size()};
  if (added == nullptr) return;
  const std::lock_guard<std::mutex> lock(writers);
  if (!described) describe(store);
  added->next.store(head.load());
  head.store(added);
}

void leave(const wex_lib_log_storage& store) noexcept {
  node* removed = nullptr;
  {
    const std::lock_guard<std::mutex> lock(writers);
    for (std::atomic<node*>* link = &head; node* n = link->load(); link = &n->next) {
      if (n->store == &store) {
        link->store(n->next.load());
        removed = n;
        break;
      }
    }
  }
  if (removed == nullptr) return;
  wait_for_walks();
  delete removed;
}

void walk(void (*visit)(const wex_lib_log_storage& store, void* context), void* context) noexcept {
  walkers.fetch_add(1);
  for (node* n = head.load(); n != nullptr; n = n->next.load()) visit(*n->store, context);
  walkers.fetch_sub(1);
}

}  // namespace logger_registry
}  // namespace velorin
