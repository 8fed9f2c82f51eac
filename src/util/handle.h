// Small owners of system resources, so that every way out of a function gives them back.
#pragma once
#include <windows.h>

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  void reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (valid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Holds a critical section for the scope it is made in.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
  ~CriticalSectionLock() { LeaveCriticalSection(&cs_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};

// Holds one reference to a COM object and releases it.
template <typename T>
class ComPointer {
 public:
  ComPointer() = default;
  ~ComPointer() { reset(); }
  ComPointer(const ComPointer&) = delete;
  ComPointer& operator=(const ComPointer&) = delete;

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  // Takes over a reference the caller holds.
  void reset(T* p = nullptr) {
    if (p_) p_->Release();
    p_ = p;
  }

 private:
  T* p_ = nullptr;
};

// The screen's device context for the scope it is made in.
class ScreenDC {
 public:
  ScreenDC() : dc_(GetDC(nullptr)) {}
  ~ScreenDC() {
    if (dc_) ReleaseDC(nullptr, dc_);
  }
  ScreenDC(const ScreenDC&) = delete;
  ScreenDC& operator=(const ScreenDC&) = delete;

  HDC get() const { return dc_; }

 private:
  HDC dc_;
};
