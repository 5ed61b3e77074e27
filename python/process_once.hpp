// ProcessOnce: a value created at most once per process, on first use, from
// any number of threads.
//
// Creating a type or importing a module can release the GIL (a collection
// may run finalisers, an import may wait on its lock). A thread that blocked
// on a plain once-flag while holding the GIL could then wait forever for a
// creator that waits for the GIL. So waiters release the GIL before they take
// the mutex: the lock order is always mutex, then GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>

namespace vdx::python {

template <class T>
class ProcessOnce {
 public:
  // `create` runs with the GIL held and returns nullptr with a Python error
  // set on failure; a failed creation is retried by the next caller.
  T* get(T* (*create)()) {
    if (T* value = value_.load(std::memory_order_acquire)) return value;
    Py_BEGIN_ALLOW_THREADS
    mutex_.lock();
    Py_END_ALLOW_THREADS
    std::lock_guard<std::mutex> hold(mutex_, std::adopt_lock);
    T* value = value_.load(std::memory_order_relaxed);
    if (value == nullptr) {
      value = create();
      if (value != nullptr) value_.store(value, std::memory_order_release);
    }
    return value;
  }

 private:
  std::atomic<T*> value_{nullptr};
  std::mutex mutex_;
};

}  // namespace vdx::python
