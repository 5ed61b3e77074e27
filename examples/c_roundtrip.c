/*
 * Compresses a buffer of float32 samples with the C library, asks for the
 * decoded size, decompresses into a buffer of that size and checks the
 * error. Exits non-zero on any failure.
 *
 *   cc c_roundtrip.c $(pkg-config --cflags --libs verdalix) -o c_roundtrip
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <verdalix.h>

int main(void) {
  enum { kCount = 100000 };
  float *signal = malloc(kCount * sizeof(float));
  if (signal == NULL) return 1;
  for (int i = 0; i < kCount; ++i) {
    signal[i] = (float)(sin(i * 0.01) + 0.25 * sin(i * 0.173));
  }

  vdx_options options;
  vdx_options_init(&options);
  options.scale = 10;
  options.coder = VDX_CODER_CMODEL;

  vdx_buffer container = {0};
  vdx_error error;
  if (vdx_compress(signal, kCount, VDX_FLOAT32, &options, &container, &error) != VDX_OK) {
    fprintf(stderr, "compress failed: %s (%s)\n", error.message,
            vdx_status_message(error.status));
    return 1;
  }

  vdx_description description;
  vdx_description_init(&description);
  if (vdx_describe(container.data, container.size, &description, &error) != VDX_OK) {
    fprintf(stderr, "describe failed: %s\n", error.message);
    return 1;
  }
  float *restored = malloc(description.sample_count * sizeof(float));
  if (restored == NULL ||
      vdx_decompress(container.data, container.size, VDX_FLOAT32, restored,
                     description.sample_count, &error) != VDX_OK) {
    fprintf(stderr, "decompress failed: %s\n", restored ? error.message : "no memory");
    return 1;
  }

  double max_error = 0.0;
  for (int i = 0; i < kCount; ++i) {
    const double e = fabs((double)restored[i] - (double)signal[i]);
    if (e > max_error) max_error = e;
  }
  printf("verdalix %s: %d samples -> %zu bytes (ratio %.2f), max error %.6f\n", vdx_version(),
         kCount, container.size, (double)(kCount * sizeof(float)) / (double)container.size,
         max_error);
  const int ok = description.sample_count == kCount && max_error < 0.01;
  vdx_buffer_free(&container);
  free(restored);
  free(signal);
  return ok ? 0 : 1;
}
