// Compiled, never run: the filter's own declarations of HDF5's ABI
// (hdf5/h5_abi.hpp) against hdf5.h. HDF5's header defines some of the same
// names as macros, so the constants are copied before it is included.
#include <cstddef>
#include <type_traits>

#include "hdf5/h5_abi.hpp"

namespace ours = vdx::h5;
constexpr int kClassVersion = ours::H5Z_CLASS_T_VERS;
constexpr unsigned kFlagReverse = ours::H5Z_FLAG_REVERSE;
constexpr ours::hid_t kErrorDefault = ours::H5E_DEFAULT;
constexpr int kMaxRank = ours::H5S_MAX_RANK;

#include <hdf5.h>

static_assert(kClassVersion == H5Z_CLASS_T_VERS);
static_assert(kFlagReverse == H5Z_FLAG_REVERSE);
static_assert(kErrorDefault == H5E_DEFAULT);
static_assert(kMaxRank == H5S_MAX_RANK);

static_assert(std::is_same_v<ours::hid_t, ::hid_t>);
static_assert(std::is_same_v<ours::herr_t, ::herr_t>);
static_assert(std::is_same_v<ours::htri_t, ::htri_t>);
static_assert(std::is_same_v<ours::hsize_t, ::hsize_t>);
static_assert(std::is_same_v<ours::hbool_t, ::hbool_t>);
static_assert(std::is_same_v<ours::H5Z_filter_t, ::H5Z_filter_t>);

// Enumerations: same values, same size.
static_assert(ours::H5PL_TYPE_FILTER == static_cast<int>(::H5PL_TYPE_FILTER));
static_assert(ours::H5T_INTEGER == static_cast<int>(::H5T_INTEGER));
static_assert(ours::H5T_FLOAT == static_cast<int>(::H5T_FLOAT));
static_assert(ours::H5T_ORDER_LE == static_cast<int>(::H5T_ORDER_LE));
static_assert(ours::H5T_SGN_2 == static_cast<int>(::H5T_SGN_2));
static_assert(ours::H5T_SGN_NONE == static_cast<int>(::H5T_SGN_NONE));
static_assert(sizeof(ours::H5PL_type_t) == sizeof(::H5PL_type_t));
static_assert(sizeof(ours::H5T_class_t) == sizeof(::H5T_class_t));
static_assert(sizeof(ours::H5T_order_t) == sizeof(::H5T_order_t));
static_assert(sizeof(ours::H5T_sign_t) == sizeof(::H5T_sign_t));

// The class, field by field.
#define SAME_FIELD(field)                                                          \
  static_assert(offsetof(ours::H5Z_class2_t, field) == offsetof(::H5Z_class2_t, field)); \
  static_assert(sizeof(ours::H5Z_class2_t::field) == sizeof(::H5Z_class2_t::field))
SAME_FIELD(version);
SAME_FIELD(id);
SAME_FIELD(encoder_present);
SAME_FIELD(decoder_present);
SAME_FIELD(name);
SAME_FIELD(can_apply);
SAME_FIELD(set_local);
SAME_FIELD(filter);
static_assert(sizeof(ours::H5Z_class2_t) == sizeof(::H5Z_class2_t));
static_assert(std::is_same_v<ours::H5Z_can_apply_func_t, ::H5Z_can_apply_func_t>);
static_assert(std::is_same_v<ours::H5Z_set_local_func_t, ::H5Z_set_local_func_t>);
static_assert(std::is_same_v<ours::H5Z_func_t, ::H5Z_func_t>);

// The functions resolved at run time (those returning enumerations are
// checked through the enumerations above).
static_assert(std::is_same_v<ours::H5Pget_chunk_t, decltype(&::H5Pget_chunk)>);
static_assert(std::is_same_v<ours::H5Pget_filter_by_id2_t, decltype(&::H5Pget_filter_by_id2)>);
static_assert(std::is_same_v<ours::H5Pmodify_filter_t, decltype(&::H5Pmodify_filter)>);
static_assert(std::is_same_v<ours::H5Tget_size_t, decltype(&::H5Tget_size)>);
static_assert(std::is_same_v<ours::H5allocate_memory_t, decltype(&::H5allocate_memory)>);
static_assert(std::is_same_v<ours::H5free_memory_t, decltype(&::H5free_memory)>);
static_assert(std::is_same_v<ours::H5Epush2_t, decltype(&::H5Epush2)>);
static_assert(std::is_same_v<decltype(H5E_ERR_CLS_g), ours::hid_t>);
