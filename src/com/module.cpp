#include "module.h"

#include <iterator>
#include <utility>

#include "Qel_weigher.h"
#include "com_resource.h"
#include "srw_lock.h"

namespace qel::com {
namespace {

HMODULE g_module = nullptr;
LONG g_objects = 0;
LONG g_locks = 0;

// The interface of each TypeId, in the enum's order.
const IID* const kTypeIids[] = {&IID__Qelscale};
static_assert(std::size(kTypeIids) == static_cast<std::size_t>(TypeId::kCount));

// Objects on any thread may ask for type information at once; DLL_PROCESS_DETACH empties
// the cache under the same lock.
win::SrwLock g_type_lock;
ITypeLib* g_type_lib = nullptr;
ITypeInfo* g_type_infos[static_cast<std::size_t>(TypeId::kCount)] = {};

// Caller holds the lock. A failure is not cached, so a later call may still succeed.
HRESULT LoadTypeLibLocked() {
  if (g_type_lib) return S_OK;
  // From the file itself, registered or not: DllRegisterServer needs it before the
  // registry names it.
  win::ComPtr<ITypeLib> library;
  const HRESULT hr = ::LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, library.put());
  if (SUCCEEDED(hr)) g_type_lib = library.detach();
  return hr;
}

// Caller holds the lock.
HRESULT LoadTypeInfoLocked(TypeId id) {
  ITypeInfo*& cached = g_type_infos[static_cast<std::size_t>(id)];
  if (cached) return S_OK;
  const HRESULT hr = LoadTypeLibLocked();
  if (FAILED(hr)) return hr;
  win::ComPtr<ITypeInfo> info;
  const HRESULT found =
      g_type_lib->GetTypeInfoOfGuid(*kTypeIids[static_cast<std::size_t>(id)], info.put());
  if (SUCCEEDED(found)) cached = info.detach();
  return found;
}

}  // namespace

void SetModule(HMODULE module) { g_module = module; }

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD length = ::GetModuleFileNameW(g_module, path.data(), size);
    if (length == 0) return {};
    if (length < size) {
      path.resize(length);
      return path;
    }
    // Truncated: a longer path than MAX_PATH (long-path aware systems).
    path.resize(path.size() * 2);
  }
}

void ObjectCreated() { ::InterlockedIncrement(&g_objects); }
void ObjectDestroyed() { ::InterlockedDecrement(&g_objects); }
void LockServer(bool lock) {
  if (lock) {
    ::InterlockedIncrement(&g_locks);
  } else {
    ::InterlockedDecrement(&g_locks);
  }
}
bool CanUnload() {
  return ::InterlockedCompareExchange(&g_objects, 0, 0) == 0 &&
         ::InterlockedCompareExchange(&g_locks, 0, 0) == 0;
}

HRESULT CachedTypeInfo(TypeId id, ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (id >= TypeId::kCount) return E_INVALIDARG;
  const auto lock = g_type_lock.lock_exclusive();
  const HRESULT hr = LoadTypeInfoLocked(id);
  if (FAILED(hr)) return hr;
  ITypeInfo* info = g_type_infos[static_cast<std::size_t>(id)];
  info->AddRef();
  *out = info;
  return S_OK;
}

void ReleaseCachedTypeInfo() {
  const auto lock = g_type_lock.lock_exclusive();
  for (ITypeInfo*& info : g_type_infos) {
    win::ComPtr<ITypeInfo>::attach(std::exchange(info, nullptr));
  }
  win::ComPtr<ITypeLib>::attach(std::exchange(g_type_lib, nullptr));
}

}  // namespace qel::com
