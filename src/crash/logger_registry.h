// SPDX-License-Identifier: MIT
// The live record stores of the process, for the crash recorder.
//
// Every logger enters its store when it is constructed and leaves when it is
// destroyed. Writers (enter, leave) take a mutex; the one reader, the crash
// recorder's signal handler, takes none: it walks a singly linked list whose
// links are atomics, published after the node they point to is complete.
// A leaving store waits, after unlinking its node and before freeing it,
// until no walk is in progress, so a walk never meets a freed node; a walk
// that never ends (the process dies in it) keeps that store's destructor
// waiting for good, which is harmless in a dying process.
#ifndef WEX_LIB_LOG_LOGGER_REGISTRY_H
#define WEX_LIB_LOG_LOGGER_REGISTRY_H

namespace velorin {

class wex_lib_log_storage;

namespace logger_registry {

// Adds the store; without memory for its node the store is left out.
void enter(const wex_lib_log_storage& store) noexcept;
// Removes the store if it is there.
void leave(const wex_lib_log_storage& store) noexcept;
// Calls visit(store, context) for each registered store, newest first.
// Takes no lock and allocates nothing: safe in a signal handler.
void walk(void (*visit)(const wex_lib_log_storage& store, void* context), void* context) noexcept;

}  // namespace logger_registry
}  // namespace velorin

#endif  // WEX_LIB_LOG_LOGGER_REGISTRY_H
