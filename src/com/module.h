// Library-wide state of the automation server: its module handle, the counts that decide
// whether it may be unloaded, and the type information loaded from its own resources.
#pragma once

#include <ole2.h>

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

}  // namespace qel::com
