// Owning wrappers for COM references, BSTRs and VARIANTs.
#pragma once

#include <ole2.h>
#include <oleauto.h>

#include <string_view>
#include <utility>

namespace qel::com {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes over a reference the caller already owns.
  static ComPtr Attach(T* raw) {
    ComPtr result;
    result.ptr_ = raw;
    return result;
  }
  ComPtr(const ComPtr& other) : ptr_(other.ptr_) {
    if (ptr_) ptr_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~ComPtr() { reset(); }

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  T** put() {
    reset();
    return &ptr_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  T* detach() { return std::exchange(ptr_, nullptr); }
  void reset() {
    if (T* old = std::exchange(ptr_, nullptr)) old->Release();
  }

  template <typename U>
  HRESULT As(ComPtr<U>& out) const {
    return ptr_ ? ptr_->QueryInterface(__uuidof(U), out.put_void()) : E_POINTER;
  }

 private:
  T* ptr_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::wstring_view text)
      : str_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  Bstr(Bstr&& other) noexcept : str_(std::exchange(other.str_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) {
      reset();
      str_ = std::exchange(other.str_, nullptr);
    }
    return *this;
  }
  ~Bstr() { reset(); }

  BSTR get() const { return str_; }
  BSTR* put() {
    reset();
    return &str_;
  }
  BSTR detach() { return std::exchange(str_, nullptr); }
  void reset() { ::SysFreeString(std::exchange(str_, nullptr)); }
  // A NULL BSTR is the empty string by automation rules.
  std::wstring_view view() const {
    return str_ ? std::wstring_view(str_, ::SysStringLen(str_)) : std::wstring_view();
  }

 private:
  BSTR str_ = nullptr;
};

class Variant {
 public:
  Variant() { ::VariantInit(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { ::VariantClear(&value_); }

  VARIANT* get() { return &value_; }
  const VARIANT& operator*() const { return value_; }
  const VARIANT* operator->() const { return &value_; }
  void clear() { ::VariantClear(&value_); }

 private:
  VARIANT value_;
};

// Views a BSTR held in any of the forms automation clients pass for a string argument.
// No value: the variant holds no string.
bool StringArgument(const VARIANT& arg, std::wstring_view& out);

}  // namespace qel::com
