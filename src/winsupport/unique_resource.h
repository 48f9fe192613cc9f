// Owners for Win32 handles. Each kind of handle has its own "no handle" value
// (INVALID_HANDLE_VALUE for files and devices, NULL for most others), so each gets its own
// traits and type, and a handle can never be checked against the wrong one. The driver holds
// registry keys; other owners are declared beside the code that holds them.
#pragma once

#include <windows.h>

#include <utility>

namespace qel::win {

template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() = default;
  explicit UniqueResource(Type handle) : handle_(handle) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : handle_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  Type get() const { return handle_; }
  bool valid() const { return handle_ != Traits::Invalid(); }
  explicit operator bool() const { return valid(); }

  Type release() { return std::exchange(handle_, Traits::Invalid()); }
  void reset(Type handle = Traits::Invalid()) {
    const Type old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }
  // For APIs that hand a new handle back through a pointer.
  Type* put() {
    reset();
    return &handle_;
  }

 private:
  Type handle_ = Traits::Invalid();
};

// Registry keys: no key is NULL.
struct HkeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type key) { ::RegCloseKey(key); }
};
using UniqueHkey = UniqueResource<HkeyTraits>;

}  // namespace qel::win
