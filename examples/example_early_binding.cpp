// Reads the scale through the dual interface (early binding), with the header and
// identifiers widl generates from Qel_weigher.idl.
// Usage: example_early_binding.exe [PORT]   (default COM3)
#include <ole2.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "Qel_weigher.h"

int wmain(int argc, wchar_t** argv) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  int status = 1;
  _Qelscale* scale = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_Qelscale, nullptr, CLSCTX_INPROC_SERVER, IID__Qelscale,
                                reinterpret_cast<void**>(&scale));
  if (SUCCEEDED(hr)) {
    BSTR port = SysAllocString(argc > 1 ? argv[1] : L"COM3");
    VARIANT_BOOL found = VARIANT_FALSE;
    BSTR weight = nullptr;
    hr = scale->OpenComPort_(&port, &found);
    if (SUCCEEDED(hr)) hr = scale->GetWeight_(&weight);
    if (SUCCEEDED(hr)) {
      std::printf("probe %d\nport %ls\nweight %ls\n", found, port, weight);
      status = 0;
    }
    SysFreeString(weight);
    SysFreeString(port);
    scale->Release();
  }
  if (FAILED(hr)) std::printf("failed 0x%08lX\n", static_cast<unsigned long>(hr));
  CoUninitialize();
  return status;
}
