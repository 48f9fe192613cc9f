#include "module.h"

#include "Qel_weigher.h"
#include "com_ptr.h"

namespace qel::com {
namespace {

HMODULE g_module = nullptr;
LONG g_objects = 0;
LONG g_locks = 0;

SRWLOCK g_type_lock = SRWLOCK_INIT;
ITypeLib* g_type_lib = nullptr;
ITypeInfo* g_type_info = nullptr;

class TypeLock {
 public:
  TypeLock() { ::AcquireSRWLockExclusive(&g_type_lock); }
  ~TypeLock() { ::ReleaseSRWLockExclusive(&g_type_lock); }
  TypeLock(const TypeLock&) = delete;
  TypeLock& operator=(const TypeLock&) = delete;
};

// Caller holds the lock. A failure is not cached, so a later call may still succeed.
HRESULT LoadTypeInfoLocked() {
  if (g_type_info) return S_OK;
  ComPtr<ITypeLib> library;
  HRESULT hr = ::LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, library.put());
  if (FAILED(hr)) return hr;
  ComPtr<ITypeInfo> info;
  hr = library->GetTypeInfoOfGuid(IID__Qelscale, info.put());
  if (FAILED(hr)) return hr;
  g_type_lib = library.detach();
  g_type_info = info.detach();
  return S_OK;
}

}  // namespace

void SetModule(HMODULE module) { g_module = module; }
HMODULE Module() { return g_module; }

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
long LiveObjects() { return ::InterlockedCompareExchange(&g_objects, 0, 0); }

HRESULT EmbeddedTypeLib(ITypeLib** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  TypeLock lock;
  const HRESULT hr = LoadTypeInfoLocked();
  if (FAILED(hr)) return hr;
  g_type_lib->AddRef();
  *out = g_type_lib;
  return S_OK;
}

HRESULT QelscaleTypeInfo(ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  TypeLock lock;
  const HRESULT hr = LoadTypeInfoLocked();
  if (FAILED(hr)) return hr;
  g_type_info->AddRef();
  *out = g_type_info;
  return S_OK;
}

void ReleaseCachedTypeInfo() {
  TypeLock lock;
  ComPtr<ITypeInfo>::Attach(g_type_info);
  ComPtr<ITypeLib>::Attach(g_type_lib);
  g_type_info = nullptr;
  g_type_lib = nullptr;
}

}  // namespace qel::com
