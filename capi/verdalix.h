/*
 * verdalix.h: the C interface of verdalix, a lossy wavelet compressor for
 * one-dimensional float signals.
 *
 * Two kinds of compressed data come out of this library:
 *  - a container: one signal, exactly what Python's verdalix.compress_signal
 *    gives for the same samples and options (vdx_compress);
 *  - a chunk: one stored chunk of an array of any shape, exactly what the
 *    storage codecs (verdalix.zarr, verdalix.numcodecs, the HDF5 filter)
 *    store for the same samples, options, dtype and shape
 *    (vdx_compress_chunk).
 * vdx_describe and vdx_decompress read both.
 *
 * Conventions
 *  - Every function that can fail returns a vdx_status; VDX_OK is 0. Nothing
 *    is thrown, nothing is printed, and the process is never stopped.
 *  - Every such function takes a last argument `vdx_error *error` that may be
 *    NULL; when it is not, it receives the status and a message in English
 *    (UTF-8, NUL-terminated, the same text Python's ValueError carries).
 *  - No global or thread-local state: every call works only on its
 *    arguments, so any number of threads may call any function at once, on
 *    distinct output buffers. The floating-point environment of the calling
 *    thread is saved and restored around the codec's work.
 *  - Structs that carry a `size` field are versioned by it: initialise them
 *    with the vdx_*_init function (or set `size = sizeof(struct)`), so that a
 *    program built against this header keeps working with later libraries
 *    that append fields.
 *  - Samples are native-endian; sample counts and shapes are in samples.
 */
#ifndef VERDALIX_H
#define VERDALIX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(VERDALIX_SHARED_BUILD)
#define VDX_API __declspec(dllexport)
#elif defined(__GNUC__)
#define VDX_API __attribute__((visibility("default")))
#else
#define VDX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. The values are part of the ABI and are never renumbered. */
typedef enum vdx_status {
  VDX_OK = 0,
  /* A NULL pointer where data is needed, an unknown enum value, a struct
     whose `size` is too small, a shape whose product does not fit. */
  VDX_ERROR_INVALID_ARGUMENT = 1,
  /* Options CompressionOptions refuses: scale outside 6..12, an unknown
     method, cutoff or coder, a target that is negative, NaN or infinite, a
     target given together with scale, cutoff or a multiplier. */
  VDX_ERROR_INVALID_OPTIONS = 2,
  /* A request the codec refuses for these samples: no samples, more than
     2^31 - 1, a multiplier the reader could not honour, more coefficients
     than the arans coder takes, an axis outside the chunk, an error target
     that no setting reaches. */
  VDX_ERROR_UNSUPPORTED = 3,
  /* The data does not start like a verdalix container or chunk. */
  VDX_ERROR_NOT_VERDALIX = 4,
  /* The data was written by a format version this library does not read. */
  VDX_ERROR_VERSION = 5,
  /* The data is damaged: a header field or the payload is inconsistent. */
  VDX_ERROR_CORRUPT = 6,
  /* The data holds another number of samples than the caller's buffer, or
     samples of another dtype (float32 may be widened to float64). */
  VDX_ERROR_SIZE_MISMATCH = 7,
  /* Memory could not be allocated. */
  VDX_ERROR_OUT_OF_MEMORY = 8,
  /* A failure inside the codec that no input should cause. */
  VDX_ERROR_INTERNAL = 9,
  /* Not statuses: they make the type hold any 32-bit int in C and C++
     alike, so a value from elsewhere can be passed and checked. */
  VDX_STATUS_RESERVED_MIN_ = -2147483647 - 1,
  VDX_STATUS_RESERVED_MAX_ = 2147483647
} vdx_status;

/* A short constant text for a status ("invalid options", ...); a text
   for unknown values too. Never NULL. */
VDX_API const char *vdx_status_message(vdx_status status);

typedef struct vdx_error {
  vdx_status status;
  char message[256]; /* truncated at a character boundary when longer */
} vdx_error;

/* Sample types. The values are those the chunk format records. */
typedef enum vdx_dtype {
  VDX_FLOAT32 = 0,
  VDX_FLOAT64 = 1,
  VDX_INT8 = 2,
  VDX_UINT8 = 3,
  VDX_INT16 = 4,
  VDX_UINT16 = 5,
  VDX_INT32 = 6,
  VDX_UINT32 = 7,
  /* Not types: any 32-bit int is a value of vdx_dtype (checked by every
     function that takes one). */
  VDX_DTYPE_RESERVED_MIN_ = -2147483647 - 1,
  VDX_DTYPE_RESERVED_MAX_ = 2147483647
} vdx_dtype;

typedef enum vdx_method {
  VDX_METHOD_CDF97 = 0, /* the default */
  VDX_METHOD_CDF53 = 1,
  VDX_METHOD_DB4 = 2,
  VDX_METHOD_SYM4 = 3,
  VDX_METHOD_ANY = 15   /* with a target only: the fitter chooses */
} vdx_method;

typedef enum vdx_cutoff {
  VDX_CUTOFF_LOW = 0, /* the default */
  VDX_CUTOFF_MEDIUM = 1,
  VDX_CUTOFF_HIGH = 2
} vdx_cutoff;

typedef enum vdx_coder {
  VDX_CODER_AUTO = 0, /* the default: the coefficient model */
  VDX_CODER_CMODEL = 1,
  VDX_CODER_ARANS = 2,
  VDX_CODER_DEFLATE = 3
} vdx_coder;

typedef enum vdx_target {
  VDX_TARGET_NONE = 0,      /* explicit settings: scale, cutoff, multiplier */
  VDX_TARGET_MAX_ERROR = 1, /* max |x - y|, in the signal's units */
  VDX_TARGET_RMS_ERROR = 2, /* sqrt(mean((x - y)^2)) */
  VDX_TARGET_PRD = 3        /* normalised PRD, percent */
} vdx_target;

/* The options of Python's CompressionOptions, plus the storage codecs'
   error target and time axis. Fields hold the enum values above. */
typedef struct vdx_options {
  uint32_t size;             /* sizeof(vdx_options) */
  int32_t method;            /* vdx_method */
  int32_t scale;             /* 6..12; the quantiser's multiplier is 2^scale */
  int32_t cutoff;            /* vdx_cutoff */
  int32_t coder;             /* vdx_coder */
  int32_t has_quant_multiplier;
  float quant_multiplier;    /* replaces 2^scale when has_quant_multiplier */
  int32_t target;            /* vdx_target; when set, scale, cutoff and the
                                multiplier must keep their defaults */
  double target_value;       /* finite and >= 0 */
  /* Chunks only: nonzero compresses each line along `axis` as its own
     signal; zero compresses the C-order flattening as one signal. */
  int32_t has_axis;
  int32_t axis;              /* negative counts from the last dimension */
} vdx_options;

/* Defaults: cdf97, scale 11, low cutoff, coder auto, no multiplier, no
   target, axis -1. */
VDX_API void vdx_options_init(vdx_options *options);

/* Memory the library allocated for the caller; release with vdx_buffer_free. */
typedef struct vdx_buffer {
  uint8_t *data;
  size_t size;
} vdx_buffer;

/* Frees out->data (NULL is fine) and zeroes the struct. */
VDX_API void vdx_buffer_free(vdx_buffer *buffer);

/* Compresses `count` samples (VDX_FLOAT32, or VDX_FLOAT64 rounded to
   float32 first) into one container, as compress_signal does; with a target
   the container meets it on the decoded samples. On success `out` owns the
   container; on failure it is zeroed. Whatever `out` held before is
   overwritten, not freed. */
VDX_API vdx_status vdx_compress(const void *samples, size_t count, vdx_dtype dtype,
                                const vdx_options *options, vdx_buffer *out,
                                vdx_error *error);

/* Compresses one chunk of `ndim` (1..32) dimensions `shape`, samples of
   `dtype` in C order, into exactly the bytes the storage codecs store for it
   (any alignment of `samples` is accepted): each line along `axis` its own
   container behind the chunk frame, integers rounded back on decoding,
   NaN, infinities and long runs of one value kept exactly. A float32 chunk
   of one line with nothing kept aside is the bare container vdx_compress
   gives. */
VDX_API vdx_status vdx_compress_chunk(const void *samples, vdx_dtype dtype,
                                      const uint64_t *shape, size_t ndim,
                                      const vdx_options *options, vdx_buffer *out,
                                      vdx_error *error);

#define VDX_MAX_DIMS 32

/* What a container or chunk holds, read without decoding it. */
typedef struct vdx_description {
  uint32_t size;          /* sizeof(vdx_description) */
  int32_t framed;         /* 0: a bare container of float32 samples */
  int32_t dtype;          /* vdx_dtype the samples were given as */
  uint64_t sample_count;  /* the size query: samples vdx_decompress writes */
  uint32_t ndim;
  uint64_t shape[VDX_MAX_DIMS]; /* a bare container: {sample_count} */
  int32_t has_axis;       /* 0: one line, the C-order flattening */
  int32_t axis;           /* the dimension the lines run along (0..ndim-1) */
} vdx_description;

VDX_API void vdx_description_init(vdx_description *description);

/* Reads the header (or chunk frame) of `size` bytes; allocates nothing in
   proportion to what the data declares. */
VDX_API vdx_status vdx_describe(const void *data, size_t size, vdx_description *out,
                                vdx_error *error);

/* Decodes a container or chunk into `out`, which holds `out_count` samples
   of `out_dtype`; out_count must equal the described sample_count, and
   out_dtype the described dtype, or VDX_FLOAT64 for float32 samples (widened
   exactly); both are checked before anything is decoded. `out` need not be
   aligned. */
VDX_API vdx_status vdx_decompress(const void *data, size_t size, vdx_dtype out_dtype,
                                  void *out, size_t out_count, vdx_error *error);

/* The 52-byte header of a container, field by field as stored. */
typedef struct vdx_header {
  uint32_t size;          /* sizeof(vdx_header) */
  uint8_t version_major;
  uint8_t version_minor;
  int32_t method;         /* vdx_method */
  uint32_t levels;
  uint32_t scale;
  int32_t coder;          /* vdx_coder the payload is in (never AUTO) */
  uint32_t sample_count;
  float min_value;
  float max_value;
  float mean_value;
  uint32_t payload_length;
  float quant_multiplier; /* as stored (0: 2^scale) */
} vdx_header;

VDX_API void vdx_header_init(vdx_header *header);

/* Reads and checks a container's header (not a chunk frame). */
VDX_API vdx_status vdx_read_header(const void *container, size_t size, vdx_header *out,
                                   vdx_error *error);

/* The library's version, "major.minor.patch". */
VDX_API const char *vdx_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VERDALIX_H */
