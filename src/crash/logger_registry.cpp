#include "crash/logger_registry.h"

#include <time.h>

#include <atomic>
#include <mutex>
#include <new>

namespace velorin {
namespace logger_registry {
namespace {

// One registered store. Nodes are linked and unlinked under the registry's
// mutex and published with atomic pointers, so the handler can walk the list
// without a lock; a node is freed only once no walk can be on it.
struct node {
  const wex_lib_log_storage* store;
  std::atomic<node*> next;
};

// Sequentially consistent throughout: a leaving store's unlink and its look
// at `walkers`, and a walk's count and its look at the links, must not pass
// each other, or a walk could reach a node that is freed under it.
std::atomic<node*> head{nullptr};
std::atomic<int> walkers{0};
std::mutex writers;

void wait_for_walks() {
  const timespec pause{0, 1000000};  // 1 ms
  while (walkers.load() != 0) nanosleep(&pause, nullptr);
}

}  // namespace

void enter(const wex_lib_log_storage& store) noexcept {
  node* added = new (std::nothrow) node{&store, {nullptr}};
  if (added == nullptr) return;
  const std::lock_guard<std::mutex> lock(writers);
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
