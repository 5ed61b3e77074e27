/*
 * The C interface as a C program sees it: round trips, the size query, the
 * header, byte identity between its entry points, threads, and every
 * status an input can cause. VDX_ERROR_INTERNAL has no input that causes
 * it; tests/cpp/test_capi_boundary.cpp checks its mapping.
 */
#include <math.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "verdalix.h"

static int failures = 0;

#define CHECK(cond)                                                  \
  do {                                                               \
    if (!(cond)) {                                                   \
      fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

/* The status, and a message that is non-empty exactly when it failed. */
#define CHECK_STATUS(call, expected)                                 \
  do {                                                               \
    vdx_error e_;                                                    \
    memset(&e_, 0x55, sizeof e_);                                    \
    vdx_status s_ = call;                                            \
    if (s_ != (expected) || e_.status != s_ ||                       \
        (s_ == VDX_OK) != (e_.message[0] == '\0')) {                 \
      fprintf(stderr, "%s:%d: %s gave %d (%s), expected %d\n", __FILE__, __LINE__, #call, \
              (int)s_, e_.message, (int)(expected));                 \
      ++failures;                                                    \
    }                                                                \
  } while (0)
#define ERR (&e_)

enum { kCount = 5000 };
static float signal32[kCount];
static double signal64[kCount];

static void make_signals(void) {
  for (int i = 0; i < kCount; ++i) {
    signal64[i] = 3.0 * sin(i * 0.02) + 0.1 * cos(i * 0.7) + 1e-3 * i;
    signal32[i] = (float)signal64[i];
  }
}

static vdx_buffer compress_default(const void *samples, vdx_dtype dtype) {
  vdx_buffer out = {0};
  vdx_options options;
  vdx_options_init(&options);
  CHECK(vdx_compress(samples, kCount, dtype, &options, &out, NULL) == VDX_OK);
  return out;
}

static int same_bytes(const vdx_buffer *a, const vdx_buffer *b) {
  return a->size == b->size && memcmp(a->data, b->data, a->size) == 0;
}

static void test_round_trips(void) {
  vdx_buffer c32 = compress_default(signal32, VDX_FLOAT32);
  vdx_buffer c64 = compress_default(signal64, VDX_FLOAT64);
  /* float64 is rounded to float32 once, then compressed the same way. */
  CHECK(same_bytes(&c32, &c64));

  vdx_description d;
  vdx_description_init(&d);
  CHECK_STATUS(vdx_describe(c32.data, c32.size, &d, ERR), VDX_OK);
  CHECK(d.sample_count == kCount && d.framed == 0 && d.dtype == VDX_FLOAT32);
  CHECK(d.ndim == 1 && d.shape[0] == kCount);

  float *out32 = malloc(kCount * sizeof(float));
  double *out64 = malloc(kCount * sizeof(double));
  CHECK_STATUS(vdx_decompress(c32.data, c32.size, VDX_FLOAT32, out32, kCount, ERR), VDX_OK);
  CHECK_STATUS(vdx_decompress(c32.data, c32.size, VDX_FLOAT64, out64, kCount, ERR), VDX_OK);
  double worst = 0.0;
  for (int i = 0; i < kCount; ++i) {
    CHECK(out64[i] == (double)out32[i]); /* widened exactly */
    worst = fmax(worst, fabs(out32[i] - signal32[i]));
  }
  CHECK(worst > 0.0 && worst < 0.01);

  /* The header as stored: defaults cdf97, scale 11, the coefficient model. */
  vdx_header h;
  vdx_header_init(&h);
  CHECK_STATUS(vdx_read_header(c32.data, c32.size, &h, ERR), VDX_OK);
  CHECK(h.version_major == 1 && h.method == VDX_METHOD_CDF97 && h.scale == 11);
  CHECK(h.coder == VDX_CODER_CMODEL && h.sample_count == kCount);
  CHECK(h.payload_length + 52 == c32.size && h.min_value <= h.max_value);

  /* A 1-D float32 chunk is the signal's container; a float64 chunk is
     framed (its dtype recorded) around the same line, and reads back as
     float64 with the container's samples. */
  vdx_options flat;
  vdx_options_init(&flat);
  flat.has_axis = 0;
  const uint64_t line[1] = {kCount};
  const uint64_t grid[2] = {5, kCount / 5};
  vdx_buffer chunk1 = {0}, chunk2 = {0};
  CHECK(vdx_compress_chunk(signal32, VDX_FLOAT32, line, 1, NULL, &chunk1, NULL) == VDX_OK);
  CHECK(same_bytes(&chunk1, &c32));
  CHECK(vdx_compress_chunk(signal64, VDX_FLOAT64, grid, 2, &flat, &chunk2, NULL) == VDX_OK);
  CHECK_STATUS(vdx_describe(chunk2.data, chunk2.size, &d, ERR), VDX_OK);
  CHECK(d.framed == 1 && d.dtype == VDX_FLOAT64 && d.sample_count == kCount);
  CHECK(d.ndim == 2 && d.shape[0] == 5 && d.shape[1] == kCount / 5 && d.has_axis == 0);
  double *framed64 = malloc(kCount * sizeof(double));
  CHECK_STATUS(vdx_decompress(chunk2.data, chunk2.size, VDX_FLOAT64, framed64, kCount, ERR),
               VDX_OK);
  CHECK(memcmp(framed64, out64, kCount * sizeof(double)) == 0);
  free(framed64);

  /* Unaligned input and output give the same bytes and samples. */
  unsigned char *shifted = malloc(kCount * sizeof(double) + 1);
  memcpy(shifted + 1, signal64, kCount * sizeof(double));
  vdx_buffer c_shifted = {0}, c_aligned = {0};
  CHECK(vdx_compress_chunk(shifted + 1, VDX_FLOAT64, line, 1, NULL, &c_shifted, NULL) == VDX_OK);
  CHECK(vdx_compress_chunk(signal64, VDX_FLOAT64, line, 1, NULL, &c_aligned, NULL) == VDX_OK);
  CHECK(same_bytes(&c_shifted, &c_aligned));
  vdx_buffer_free(&c_aligned);
  CHECK_STATUS(vdx_decompress(c32.data, c32.size, VDX_FLOAT64, shifted + 1, kCount, ERR), VDX_OK);
  CHECK(memcmp(shifted + 1, out64, kCount * sizeof(double)) == 0);

  /* Every option reaches the codec: each changes the container. */
  vdx_options o;
  vdx_options_init(&o);
  o.method = VDX_METHOD_SYM4;
  o.scale = 8;
  o.cutoff = VDX_CUTOFF_HIGH;
  o.coder = VDX_CODER_DEFLATE;
  vdx_buffer c_opts = {0};
  CHECK(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &c_opts, NULL) == VDX_OK);
  CHECK_STATUS(vdx_read_header(c_opts.data, c_opts.size, &h, ERR), VDX_OK);
  CHECK(h.method == VDX_METHOD_SYM4 && h.scale == 8 && h.coder == VDX_CODER_DEFLATE);
  o.has_quant_multiplier = 1;
  o.quant_multiplier = 300.5f;
  vdx_buffer_free(&c_shifted);
  CHECK(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &c_shifted, NULL) == VDX_OK);
  CHECK_STATUS(vdx_read_header(c_shifted.data, c_shifted.size, &h, ERR), VDX_OK);
  CHECK(h.quant_multiplier == 300.5f);

  vdx_buffer_free(&c32);
  vdx_buffer_free(&c64);
  vdx_buffer_free(&chunk1);
  vdx_buffer_free(&chunk2);
  vdx_buffer_free(&c_shifted);
  vdx_buffer_free(&c_opts);
  CHECK(c32.data == NULL && c32.size == 0);
  vdx_buffer_free(NULL);
  free(shifted);
  free(out32);
  free(out64);
}

static void test_error_statuses(void) {
  vdx_buffer good = compress_default(signal32, VDX_FLOAT32);
  vdx_buffer out = {0};
  vdx_options o;
  float sample[kCount];
  const uint64_t shape[1] = {kCount};

  /* VDX_ERROR_INVALID_ARGUMENT */
  CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, NULL, NULL, ERR),
               VDX_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(vdx_compress(NULL, kCount, VDX_FLOAT32, NULL, &out, ERR),
               VDX_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(vdx_compress(signal32, kCount, VDX_INT16, NULL, &out, ERR),
               VDX_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(vdx_compress_chunk(signal32, (vdx_dtype)99, shape, 1, NULL, &out, ERR),
               VDX_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(vdx_compress_chunk(signal32, VDX_FLOAT32, shape, 0, NULL, &out, ERR),
               VDX_ERROR_INVALID_ARGUMENT);
  const uint64_t huge[2] = {UINT64_C(1) << 40, UINT64_C(1) << 40};
  CHECK_STATUS(vdx_compress_chunk(signal32, VDX_FLOAT32, huge, 2, NULL, &out, ERR),
               VDX_ERROR_INVALID_ARGUMENT);
  vdx_options_init(&o);
  o.size = 8; /* an uninitialised or older struct */
  CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, ERR),
               VDX_ERROR_INVALID_ARGUMENT);
  vdx_description small = {0};
  CHECK_STATUS(vdx_describe(good.data, good.size, &small, ERR), VDX_ERROR_INVALID_ARGUMENT);
  CHECK_STATUS(vdx_decompress(good.data, good.size, VDX_FLOAT32, NULL, kCount, ERR),
               VDX_ERROR_INVALID_ARGUMENT);
  CHECK(out.data == NULL && out.size == 0);

  /* VDX_ERROR_INVALID_OPTIONS: what CompressionOptions refuses. */
  const int32_t bad_scales[] = {5, 13, -1, 300};
  for (int i = 0; i < 4; ++i) {
    vdx_options_init(&o);
    o.scale = bad_scales[i];
    CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, ERR),
                 VDX_ERROR_INVALID_OPTIONS);
  }
  vdx_options_init(&o);
  o.method = 4;
  CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, ERR),
               VDX_ERROR_INVALID_OPTIONS);
  o.method = VDX_METHOD_ANY; /* only with a target */
  CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, ERR),
               VDX_ERROR_INVALID_OPTIONS);
  vdx_options_init(&o);
  o.cutoff = 3;
  CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, ERR),
               VDX_ERROR_INVALID_OPTIONS);
  vdx_options_init(&o);
  o.coder = -1;
  CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, ERR),
               VDX_ERROR_INVALID_OPTIONS);
  vdx_options_init(&o);
  o.target = 4;
  CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, ERR),
               VDX_ERROR_INVALID_OPTIONS);
  const double bad_targets[] = {-0.5, NAN, INFINITY};
  for (int i = 0; i < 3; ++i) {
    vdx_options_init(&o);
    o.target = VDX_TARGET_MAX_ERROR;
    o.target_value = bad_targets[i];
    CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, ERR),
                 VDX_ERROR_INVALID_OPTIONS);
  }
  vdx_options_init(&o);
  o.target = VDX_TARGET_PRD;
  o.target_value = 1.0;
  o.scale = 9; /* a target replaces scale, cutoff and multiplier */
  CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, ERR),
               VDX_ERROR_INVALID_OPTIONS);

  /* VDX_ERROR_UNSUPPORTED: requests the codec refuses for these samples. */
  CHECK_STATUS(vdx_compress(signal32, 0, VDX_FLOAT32, NULL, &out, ERR), VDX_ERROR_UNSUPPORTED);
  const float bad_multipliers[] = {-1.0f, INFINITY, NAN, 1e-39f};
  for (int i = 0; i < 4; ++i) {
    vdx_options_init(&o);
    o.has_quant_multiplier = 1;
    o.quant_multiplier = bad_multipliers[i];
    CHECK_STATUS(vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, ERR),
                 VDX_ERROR_UNSUPPORTED);
  }
  vdx_options_init(&o);
  o.axis = 1; /* outside a 1-D chunk */
  CHECK_STATUS(vdx_compress_chunk(signal32, VDX_FLOAT32, shape, 1, &o, &out, ERR),
               VDX_ERROR_UNSUPPORTED);

  /* Decoding: not verdalix, another version, damaged, the wrong size. */
  unsigned char *copy = malloc(good.size);
  memcpy(copy, good.data, good.size);
  copy[0] = 'X';
  CHECK_STATUS(vdx_describe(copy, good.size, &(vdx_description){.size = sizeof(vdx_description)},
                            ERR),
               VDX_ERROR_NOT_VERDALIX);
  CHECK_STATUS(vdx_decompress(copy, good.size, VDX_FLOAT32, sample, kCount, ERR),
               VDX_ERROR_NOT_VERDALIX);
  memcpy(copy, good.data, good.size);
  copy[4] = 9; /* major version */
  vdx_header h;
  vdx_header_init(&h);
  CHECK_STATUS(vdx_read_header(copy, good.size, &h, ERR), VDX_ERROR_VERSION);
  CHECK_STATUS(vdx_decompress(copy, good.size, VDX_FLOAT32, sample, kCount, ERR),
               VDX_ERROR_VERSION);
  CHECK_STATUS(vdx_read_header(good.data, 51, &h, ERR), VDX_ERROR_CORRUPT);
  CHECK_STATUS(vdx_decompress(good.data, good.size - 7, VDX_FLOAT32, sample, kCount, ERR),
               VDX_ERROR_CORRUPT);
  memcpy(copy, good.data, good.size);
  for (size_t i = 52; i < good.size; ++i) copy[i] ^= 0xA5; /* a scrambled payload */
  vdx_status scrambled = vdx_decompress(copy, good.size, VDX_FLOAT32, sample, kCount, NULL);
  CHECK(scrambled == VDX_OK || scrambled == VDX_ERROR_CORRUPT);
  CHECK_STATUS(vdx_decompress(good.data, good.size, VDX_FLOAT32, sample, kCount - 1, ERR),
               VDX_ERROR_SIZE_MISMATCH);
  free(copy);
  vdx_buffer_free(&good);
}

/* The chunk frame through C: lines along an axis, int16 counts back
   exactly under max_error 0.49, NaN kept exactly, the dtype checked. */
static void test_chunk_frame(void) {
  enum { kChannels = 4, kTime = 1200 };
  int16_t counts[kChannels * kTime];
  float with_gap[kChannels * kTime];
  for (int c = 0; c < kChannels; ++c) {
    for (int t = 0; t < kTime; ++t) {
      counts[c * kTime + t] = (int16_t)(400.0 * sin(t * 0.01 * (c + 1)) + 40 * c);
      with_gap[c * kTime + t] = (float)(sin(t * 0.03) * pow(10.0, 3 * c - 4));
    }
  }
  for (int t = 100; t < 160; ++t) with_gap[kTime + t] = NAN;
  const uint64_t shape[2] = {kChannels, kTime};

  vdx_options o;
  vdx_options_init(&o);
  o.target = VDX_TARGET_MAX_ERROR;
  o.target_value = 0.49;
  vdx_buffer chunk = {0};
  CHECK_STATUS(vdx_compress_chunk(counts, VDX_INT16, shape, 2, &o, &chunk, ERR), VDX_OK);
  vdx_description d;
  vdx_description_init(&d);
  CHECK_STATUS(vdx_describe(chunk.data, chunk.size, &d, ERR), VDX_OK);
  CHECK(d.framed && d.dtype == VDX_INT16 && d.has_axis && d.axis == 1 && d.ndim == 2);
  int16_t back[kChannels * kTime];
  CHECK_STATUS(vdx_decompress(chunk.data, chunk.size, VDX_INT16, back, kChannels * kTime, ERR),
               VDX_OK);
  CHECK(memcmp(back, counts, sizeof counts) == 0);
  float wrong[kChannels * kTime];
  CHECK_STATUS(vdx_decompress(chunk.data, chunk.size, VDX_FLOAT32, wrong, kChannels * kTime, ERR),
               VDX_ERROR_SIZE_MISMATCH);
  vdx_buffer_free(&chunk);

  vdx_options_init(&o);
  CHECK_STATUS(vdx_compress_chunk(with_gap, VDX_FLOAT32, shape, 2, &o, &chunk, ERR), VDX_OK);
  float decoded[kChannels * kTime];
  CHECK_STATUS(vdx_decompress(chunk.data, chunk.size, VDX_FLOAT32, decoded, kChannels * kTime,
                              ERR),
               VDX_OK);
  for (int c = 0; c < kChannels; ++c) {
    const double amplitude = pow(10.0, 3 * c - 4);
    for (int t = 0; t < kTime; ++t) {
      const float x = with_gap[c * kTime + t], y = decoded[c * kTime + t];
      if (isnan(x)) {
        CHECK(isnan(y));
      } else {
        /* Each channel on its own scale: the quiet ones keep their shape. */
        CHECK(fabs(y - x) <= 1e-3 * amplitude);
      }
    }
  }
  vdx_buffer_free(&chunk);
}

/* A target holds on every decoded sample against the caller's samples
   (float64 ones included); one no setting reaches is refused. */
static double measured(const vdx_buffer *container, int32_t target, int wide) {
  float out[kCount];
  if (vdx_decompress(container->data, container->size, VDX_FLOAT32, out, kCount, NULL) != VDX_OK) {
    return INFINITY;
  }
  double worst = 0.0, squares = 0.0, deviation = 0.0, mean = 0.0;
  for (int i = 0; i < kCount; ++i) mean += wide ? signal64[i] : signal32[i];
  mean /= kCount;
  for (int i = 0; i < kCount; ++i) {
    const double x = wide ? signal64[i] : signal32[i];
    worst = fmax(worst, fabs(out[i] - x));
    squares += (out[i] - x) * (out[i] - x);
    deviation += (x - mean) * (x - mean);
  }
  if (target == VDX_TARGET_MAX_ERROR) return worst;
  if (target == VDX_TARGET_RMS_ERROR) return sqrt(squares / kCount);
  return 100.0 * sqrt(squares / deviation);
}

static void test_targets(void) {
  const struct { int32_t target; double value; } cases[] = {
      {VDX_TARGET_MAX_ERROR, 0.01}, {VDX_TARGET_RMS_ERROR, 0.002}, {VDX_TARGET_PRD, 0.5}};
  for (int c = 0; c < 3; ++c) {
    for (int wide = 0; wide < 2; ++wide) {
      vdx_options o;
      vdx_options_init(&o);
      o.method = VDX_METHOD_ANY;
      o.target = cases[c].target;
      o.target_value = cases[c].value;
      vdx_buffer out = {0};
      CHECK_STATUS(vdx_compress(wide ? (const void *)signal64 : (const void *)signal32, kCount,
                                wide ? VDX_FLOAT64 : VDX_FLOAT32, &o, &out, ERR),
                   VDX_OK);
      CHECK(measured(&out, cases[c].target, wide) <= cases[c].value);
      vdx_buffer_free(&out);
    }
  }
  vdx_options o;
  vdx_options_init(&o);
  o.target = VDX_TARGET_MAX_ERROR;
  o.target_value = 0.0;
  vdx_buffer out = {0};
  vdx_error e;
  CHECK(vdx_compress(signal64, kCount, VDX_FLOAT64, &o, &out, &e) == VDX_ERROR_UNSUPPORTED);
  CHECK(strstr(e.message, "no setting reaches max_error=0") != NULL);
}

/* VDX_ERROR_OUT_OF_MEMORY: 2^31 - 1 float64 samples (zero pages, mapped
   before the limit) need an 8 GiB float32 copy, refused under an address
   space limit. In a child process, so the limit stays there. The address
   sanitizer reserves its shadow beyond any such limit, so not under it. */
#if defined(__SANITIZE_ADDRESS__)
#define VDX_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VDX_UNDER_ASAN 1
#endif
#endif

static void test_out_of_memory(void) {
#ifndef VDX_UNDER_ASAN
  const size_t count = 2147483647u;
  pid_t child = fork();
  if (child == 0) {
    void *zeros = mmap(NULL, count * sizeof(double), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS |
                       MAP_NORESERVE, -1, 0);
    if (zeros == MAP_FAILED) _exit(3);
    long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm == NULL || fscanf(statm, "%ld", &pages) != 1) _exit(4);
    fclose(statm);
    const rlim_t limit = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + ((rlim_t)1 << 30);
    struct rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(5);
    vdx_buffer out = {0};
    vdx_error e;
    vdx_status s = vdx_compress(zeros, count, VDX_FLOAT64, NULL, &out, &e);
    _exit(s == VDX_ERROR_OUT_OF_MEMORY && e.status == s && out.data == NULL ? 0 : 6);
  }
  int status = 0;
  CHECK(child > 0 && waitpid(child, &status, 0) == child);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
}

static void test_messages(void) {
  for (int s = VDX_OK; s <= VDX_ERROR_INTERNAL; ++s) {
    const char *text = vdx_status_message((vdx_status)s);
    CHECK(text != NULL && text[0] != '\0');
    for (int t = VDX_OK; t < s; ++t) CHECK(strcmp(text, vdx_status_message((vdx_status)t)) != 0);
  }
  CHECK(strcmp(vdx_status_message((vdx_status)1000), "unknown status") == 0);
  CHECK(vdx_version() != NULL && strchr(vdx_version(), '.') != NULL);
  /* The codec's own message comes through, whole. */
  vdx_error e;
  vdx_options o;
  vdx_options_init(&o);
  o.scale = 13;
  vdx_buffer out = {0};
  vdx_compress(signal32, kCount, VDX_FLOAT32, &o, &out, &e);
  CHECK(strcmp(e.message, "Only scaled 6..12 is supported, but it was 13") == 0);
}

/* Calls share nothing: threads compressing at once get the bytes one
   thread gets. */
static void *compress_in_thread(void *arg) {
  vdx_buffer *out = arg;
  *out = compress_default(signal64, VDX_FLOAT64);
  return NULL;
}

static void test_threads(void) {
  enum { kThreads = 4 };
  pthread_t threads[kThreads];
  vdx_buffer outs[kThreads];
  for (int i = 0; i < kThreads; ++i) pthread_create(&threads[i], NULL, compress_in_thread, &outs[i]);
  for (int i = 0; i < kThreads; ++i) pthread_join(threads[i], NULL);
  vdx_buffer reference = compress_default(signal64, VDX_FLOAT64);
  for (int i = 0; i < kThreads; ++i) {
    CHECK(same_bytes(&outs[i], &reference));
    vdx_buffer_free(&outs[i]);
  }
  vdx_buffer_free(&reference);
}

int main(void) {
  make_signals();
  test_round_trips();
  test_error_statuses();
  test_targets();
  test_chunk_frame();
  test_out_of_memory();
  test_messages();
  test_threads();
  if (failures != 0) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  puts("all C interface checks passed");
  return 0;
}
