// Owned Win32 handles: one template, one close rule per kind. Movable, never copied, closed
// when the owner goes out of scope, so that no early return can leak one.
#pragma once
#include <windows.h>

namespace plxwin {

// Kernel objects: files, processes, threads, tokens, events. Both null and
// INVALID_HANDLE_VALUE mean "none", since CreateFile and CreateProcess disagree on which one
// they give back on failure.
struct KernelTraits {
  using Type = HANDLE;
  static Type None() { return nullptr; }
  static bool Valid(Type h) { return h && h != INVALID_HANDLE_VALUE; }
  static bool Close(Type h) { return CloseHandle(h) != 0; }
};

struct FindTraits {
  using Type = HANDLE;
  static Type None() { return INVALID_HANDLE_VALUE; }
  static bool Valid(Type h) { return h && h != INVALID_HANDLE_VALUE; }
  static bool Close(Type h) { return FindClose(h) != 0; }
};

struct RegKeyTraits {
  using Type = HKEY;
  static Type None() { return nullptr; }
  static bool Valid(Type h) { return h != nullptr; }
  static bool Close(Type h) { return RegCloseKey(h) == ERROR_SUCCESS; }
};

struct ServiceTraits {
  using Type = SC_HANDLE;
  static Type None() { return nullptr; }
  static bool Valid(Type h) { return h != nullptr; }
  static bool Close(Type h) { return CloseServiceHandle(h) != 0; }
};

// Libraries loaded at run time.
struct ModuleTraits {
  using Type = HMODULE;
  static Type None() { return nullptr; }
  static bool Valid(Type h) { return h != nullptr; }
  static bool Close(Type h) { return FreeLibrary(h) != 0; }
};

template <class Traits>
class Owned {
 public:
  using Type = typename Traits::Type;
  Owned() = default;
  explicit Owned(Type h) : h_(h) {}
  ~Owned() { Close(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& o) noexcept : h_(o.Release()) {}
  Owned& operator=(Owned&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }

  bool Valid() const { return Traits::Valid(h_); }
  explicit operator bool() const { return Valid(); }
  Type Get() const { return h_; }
  // For calls that hand the handle back through a pointer; whatever was held is closed first.
  Type* Receive() {
    Close();
    return &h_;
  }
  Type Release() {
    Type h = h_;
    h_ = Traits::None();
    return h;
  }
  void Reset(Type h = Traits::None()) {
    Close();
    h_ = h;
  }
  // False when the system refused to close it (a late write error on a file shows here).
  bool Close() {
    bool ok = true;
    if (Traits::Valid(h_)) ok = Traits::Close(h_);
    h_ = Traits::None();
    return ok;
  }

 private:
  Type h_ = Traits::None();
};

using Handle = Owned<KernelTraits>;      // file, process, thread, token
using FindHandle = Owned<FindTraits>;    // FindFirstFile searches
using RegKey = Owned<RegKeyTraits>;      // registry keys
using ServiceHandle = Owned<ServiceTraits>;  // service manager and services
using Module = Owned<ModuleTraits>;      // LoadLibrary

}  // namespace plxwin
