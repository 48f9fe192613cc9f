// Per-thread link states without thread_local: a library that can be unloaded while its
// client's threads live on must not leave per-thread destructors behind. Each state is
// reached through a TLS slot and owned by a small registry, so the DLL entry point can free
// one state when its thread ends and all remaining ones when the library is unloaded.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "platform.h"
#include "srw_lock.h"
#include "win32_services.h"

namespace qel::win32 {
namespace {

INIT_ONCE g_slot_once = INIT_ONCE_STATIC_INIT;
DWORD g_slot = TLS_OUT_OF_INDEXES;
// Guards the registry: threads add their states while DLL_THREAD_DETACH removes others'.
win::SrwLock g_lock;

std::vector<std::unique_ptr<LinkState>>& Registry() {
  static std::vector<std::unique_ptr<LinkState>> states;
  return states;
}

BOOL CALLBACK AllocateSlot(PINIT_ONCE, PVOID, PVOID*) {
  g_slot = ::TlsAlloc();
  return g_slot != TLS_OUT_OF_INDEXES;
}

DWORD Slot() {
  if (!::InitOnceExecuteOnce(&g_slot_once, AllocateSlot, nullptr, nullptr)) throw std::bad_alloc();
  return g_slot;
}

}  // namespace

LinkState& TlsLinkStateStore::ForCurrentThread() {
  const DWORD slot = Slot();
  if (auto* state = static_cast<LinkState*>(::TlsGetValue(slot))) return *state;
  auto created = std::make_unique<LinkState>();
  LinkState* state = created.get();
  {
    const auto lock = g_lock.lock_exclusive();
    Registry().push_back(std::move(created));
  }
  ::TlsSetValue(slot, state);
  return *state;
}

void ReleaseThreadLinkState() {
  if (g_slot == TLS_OUT_OF_INDEXES) return;
  auto* state = static_cast<LinkState*>(::TlsGetValue(g_slot));
  if (state == nullptr) return;
  ::TlsSetValue(g_slot, nullptr);
  const auto lock = g_lock.lock_exclusive();
  auto& states = Registry();
  states.erase(std::remove_if(states.begin(), states.end(),
                              [state](const auto& owned) { return owned.get() == state; }),
               states.end());
}

void ReleaseAllLinkStates() {
  {
    const auto lock = g_lock.lock_exclusive();
    Registry().clear();
    Registry().shrink_to_fit();
  }
  if (g_slot != TLS_OUT_OF_INDEXES) {
    ::TlsFree(g_slot);
    g_slot = TLS_OUT_OF_INDEXES;
  }
}

}  // namespace qel::win32
