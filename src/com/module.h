// Library-wide state of the automation server: its module handle, the counts that decide
// whether it may be unloaded, and the type information loaded from its own resources.
#pragma once

#include <ole2.h>

#include <memory>
#include <new>
#include <string>

namespace qel::com {

void SetModule(HMODULE module);
// Full path of the library file, as registered for InprocServer32.
std::wstring ModulePath();

void ObjectCreated();
void ObjectDestroyed();
void LockServer(bool lock);
bool CanUnload();

// The interfaces whose type information the library hands out: indexes into its cache.
enum class TypeId { kQelscale, kCount };

// The type information of one interface, from the type library embedded as TYPELIB 1.
// Loaded on first use and kept until the library is unloaded; the caller gets its own
// reference. The library itself is the type information's GetContainingTypeLib.
HRESULT CachedTypeInfo(TypeId id, ITypeInfo** out);
// Called when the library is unloaded (not at process exit, when oleaut32 may be gone).
void ReleaseCachedTypeInfo();

// A new object of one of the library's classes, asked for `riid`: what each class's factory
// hands out. From its creation on the object's reference count owns it.
template <class Object, class... Args>
HRESULT CreateObject(REFIID riid, void** out, Args&... args) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    Object* object = std::make_unique<Object>(args...).release();
    const HRESULT hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace qel::com
