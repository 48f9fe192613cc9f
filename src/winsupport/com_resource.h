// Owners for COM references, BSTRs, VARIANTs, EXCEPINFO strings and the apartment, so that
// every exit path releases what it was handed.
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <oleauto.h>

#include <cstddef>
#include <string_view>
#include <utility>

namespace qel::win {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes over a reference the caller already owns.
  static ComPtr attach(T* raw) {
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
  // For out-parameters: releases what is held first.
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
  HRESULT as(ComPtr<U>& out) const {
    return ptr_ ? ptr_->QueryInterface(__uuidof(U), out.put_void()) : E_POINTER;
  }

 private:
  T* ptr_ = nullptr;
};

class UniqueBstr {
 public:
  UniqueBstr() = default;
  explicit UniqueBstr(std::wstring_view text)
      : str_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  UniqueBstr(UniqueBstr&& other) noexcept : str_(std::exchange(other.str_, nullptr)) {}
  UniqueBstr& operator=(UniqueBstr&& other) noexcept {
    if (this != &other) {
      reset();
      str_ = std::exchange(other.str_, nullptr);
    }
    return *this;
  }
  ~UniqueBstr() { reset(); }

  BSTR get() const { return str_; }
  // For out-parameters: frees what is held first.
  BSTR* put() {
    reset();
    return &str_;
  }
  // For in/out arguments: a callee that replaces the string frees the old one, we free the new.
  BSTR* address() { return &str_; }
  BSTR detach() { return std::exchange(str_, nullptr); }
  void reset() { ::SysFreeString(std::exchange(str_, nullptr)); }
  // A NULL BSTR is the empty string by automation rules.
  std::wstring_view view() const {
    return str_ ? std::wstring_view(str_, ::SysStringLen(str_)) : std::wstring_view();
  }

 private:
  BSTR str_ = nullptr;
};

class UniqueVariant {
 public:
  UniqueVariant() { ::VariantInit(&value_); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { ::VariantClear(&value_); }

  VARIANT* get() { return &value_; }
  const VARIANT& operator*() const { return value_; }
  const VARIANT* operator->() const { return &value_; }
  void reset() { ::VariantClear(&value_); }

 private:
  VARIANT value_;
};

// The strings a failed Invoke may hand back in its EXCEPINFO.
class UniqueExcepInfo {
 public:
  UniqueExcepInfo() : info_() {}
  UniqueExcepInfo(const UniqueExcepInfo&) = delete;
  UniqueExcepInfo& operator=(const UniqueExcepInfo&) = delete;
  ~UniqueExcepInfo() { reset(); }

  EXCEPINFO* get() { return &info_; }
  const EXCEPINFO* operator->() const { return &info_; }
  void reset() {
    ::SysFreeString(info_.bstrSource);
    ::SysFreeString(info_.bstrDescription);
    ::SysFreeString(info_.bstrHelpFile);
    info_ = EXCEPINFO();
  }

 private:
  EXCEPINFO info_;
};

// COM initialised on the calling thread for as long as the owner lives. A failed
// CoInitializeEx must not be balanced by CoUninitialize, so the result is kept.
class ComApartment {
 public:
  explicit ComApartment(DWORD model = COINIT_APARTMENTTHREADED)
      : result_(::CoInitializeEx(nullptr, model)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(result_)) ::CoUninitialize();
  }

  bool ok() const { return SUCCEEDED(result_); }

 private:
  HRESULT result_;
};

}  // namespace qel::win
