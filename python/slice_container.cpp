#include "python/slice_container.hpp"

#include <new>

#include "python/numpy_api.hpp"
#include "python/process_once.hpp"
#include "python/py_ref.hpp"

namespace vdx::python {
namespace {

using SampleBuffer = std::vector<float>;

struct SliceContainer {
  PyObject_HEAD
  float* data;
  Py_ssize_t length;    // elements
  Py_ssize_t capacity;  // elements allocated
  void (*release)(SliceContainer*);
  // The vector that allocated the buffer, moved in place here, so releasing
  // goes back to the allocator the decompressor used.
  alignas(SampleBuffer) unsigned char owner[sizeof(SampleBuffer)];
};

void release_vector(SliceContainer* self) {
  std::launder(reinterpret_cast<SampleBuffer*>(self->owner))->~SampleBuffer();
}

void slice_container_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<SliceContainer*>(object);
  if (self->release != nullptr) self->release(self);
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},
};

// Instances come only from decompress_signal.
PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

ProcessOnce<PyTypeObject> slice_container_class;

PyTypeObject* create_slice_container_type() {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&slice_container_spec));
}

PyObject* new_slice_container(SampleBuffer&& samples) {
  PyTypeObject* type = slice_container_class.get(create_slice_container_type);
  if (type == nullptr) return nullptr;
  PyObject* object = type->tp_alloc(type, 0);  // zero-filled: release is null
  if (object == nullptr) return nullptr;
  auto* self = reinterpret_cast<SliceContainer*>(object);
  auto* owner = new (self->owner) SampleBuffer(std::move(samples));
  self->data = owner->data();
  self->length = static_cast<Py_ssize_t>(owner->size());
  self->capacity = static_cast<Py_ssize_t>(owner->capacity());
  self->release = release_vector;
  return object;
}

// A zero-length result may have no buffer at all; NumPy would allocate its
// own memory for a null data pointer, so an empty array points here instead.
float empty_samples[1];

}  // namespace

PyObject* array_over_samples(SampleBuffer&& samples) {
  SampleBuffer taken = std::move(samples);
  PyRef container(new_slice_container(std::move(taken)));
  if (!container) return nullptr;
  auto* self = reinterpret_cast<SliceContainer*>(container.get());
  npy_intp dims[1] = {self->length};
  npy_intp strides[1] = {sizeof(float)};
  void* data = self->length > 0 ? static_cast<void*>(self->data) : empty_samples;
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT32);
  if (descr == nullptr) return nullptr;
  // Steals `descr`, even on failure.
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, data,
                                         NPY_ARRAY_WRITEABLE, nullptr);
  if (array == nullptr) return nullptr;
  // Steals the container reference, even on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), container.release()) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace vdx::python
