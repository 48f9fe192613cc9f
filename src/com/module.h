// Library-wide state of the automation server: its module handle, the counts that decide
// whether it may be unloaded, and the type information loaded from its own resources.
#pragma once

#include <ole2.h>

#include <string>

namespace qel::com {

void SetModule(HMODULE module);
HMODULE Module();
// Full path of the library file, as registered for InprocServer32.
std::wstring ModulePath();

void ObjectCreated();
void ObjectDestroyed();
void LockServer(bool lock);
bool CanUnload();
long LiveObjects();

// The type library embedded as TYPELIB 1 and the type info of _Qelscale, loaded once.
HRESULT EmbeddedTypeLib(ITypeLib** out);
HRESULT QelscaleTypeInfo(ITypeInfo** out);
// Called when the library is unloaded (not at process exit, when oleaut32 may be gone).
void ReleaseCachedTypeInfo();

}  // namespace qel::com
