/* The whole of a file, for the small certificate tools of the VeNCrypt tests: a buffer the
   caller frees, or NULL when the file cannot be read (or is empty). */
#pragma once

#include <stdio.h>
#include <stdlib.h>

static unsigned char* ReadWholeFile(const char* path, long* size) {
  FILE* f = fopen(path, "rb");
  unsigned char* data;
  long n;
  if (!f) return NULL;
  fseek(f, 0, SEEK_END);
  n = ftell(f);
  fseek(f, 0, SEEK_SET);
  data = n > 0 ? (unsigned char*)malloc((size_t)n) : NULL;
  if (data && fread(data, 1, (size_t)n, f) != (size_t)n) {
    free(data);
    data = NULL;
  }
  fclose(f);
  *size = n;
  return data;
}
