// Default system handler and its hooks.
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "dstsys.h"

#ifdef MAXENT_FUZZ
#include "fuzz_exit.h"
#endif

namespace {

// Ends the process; fuzz builds hand the status to the harness instead.
[[noreturn]] void end_process(int status) {
#ifdef MAXENT_FUZZ
  fuzz_exit(status, "dst_error");
#else
  exit(status);
#endif
}

sys_handle_rec default_handle = {
    "default",    nullptr,      nullptr,        8,           dst_error,   dst_warning, dst_info,
    dst_memalloc, dst_clralloc, dst_memrealloc, dst_memfree, dst_sysfree,
};

void put_prefix(SYSHandle hdl) {
  if (hdl->prefix) fprintf(stderr, "%s: ", hdl->prefix);
}

// Asks for huge pages over the 2 MiB-aligned part of a large block: loading a
// big table then takes one page fault per 2 MiB instead of per 4 KiB.
void advise_huge_pages(void* p, size_t size) {
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (size < 2 * kHuge) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + size) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void* checked(SYSHandle hdl, void* p, size_t size) {
  if (!p) {
    hdl->error(hdl, "memory allocation failed");
    return p;
  }
  advise_huge_pages(p, size);
  return p;
}

}  // namespace

SYSHandle SYSDefaultHandle = &default_handle;

void dst_error(SYSHandle hdl, const char* msg) {
  put_prefix(hdl);
  fprintf(stderr, "ERROR: %s.\n", msg);
  end_process(1);
}

void dst_warning(SYSHandle hdl, const char* msg) {
  put_prefix(hdl);
  fprintf(stderr, "WARNING: %s.\n", msg);
}

void dst_info(SYSHandle hdl, const char* msg) {
  put_prefix(hdl);
  fprintf(stderr, "%s.\n", msg);
}

void* dst_memalloc(SYSHandle hdl, size_t size) {
  return checked(hdl, malloc(size), size);
}

void* dst_clralloc(SYSHandle hdl, size_t count, size_t size) {
  return checked(hdl, calloc(count, size), count * size);
}

void* dst_memrealloc(SYSHandle hdl, void* ptr, size_t size) {
  return checked(hdl, realloc(ptr, size), size);
}

void dst_memfree(SYSHandle, void* ptr) {
  free(ptr);
}

void dst_sysfree(SYSHandle hdl) {
  static const char kFormat[] = "no free method specified for \"%s\" system handler";
  int n = snprintf(nullptr, 0, kFormat, hdl->name);
  char* msg = static_cast<char*>(hdl->memalloc(hdl, static_cast<size_t>(n) + 1));
  snprintf(msg, static_cast<size_t>(n) + 1, kFormat, hdl->name);
  hdl->error(hdl, msg);
  hdl->memfree(hdl, msg);
}
