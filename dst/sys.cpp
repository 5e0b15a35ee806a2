// Default system handler and its hooks.
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dstsys.h"

#include <string>

namespace {

sys_handle_rec default_handle = {
    "default",    nullptr,      nullptr,        8,           dst_error,   dst_warning, dst_info,
    dst_memalloc, dst_clralloc, dst_memrealloc, dst_memfree, dst_sysfree,
};

void put_prefix(SYSHandle hdl) {
  if (hdl->prefix) fprintf(stderr, "%s: ", hdl->prefix);
}

// A block of at least half a huge page (1 MiB) is taken 2 MiB-aligned,
// rounded up to whole huge pages, with huge pages advised over it: filling a
// big table then takes one page fault per 2 MiB instead of one per 4 KiB, and
// clearing a half-used huge page costs less than 256 small pages' faults.
// Null for a smaller block, or when there is no such memory.
void* huge_alloc(size_t size) {
  constexpr size_t kHuge = size_t{2} << 20;
  if (size < kHuge / 2 || size > SIZE_MAX - kHuge) return nullptr;
  const size_t rounded = (size + kHuge - 1) & ~(kHuge - 1);
  void* p = aligned_alloc(kHuge, rounded);
  if (p) madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

void* checked(SYSHandle hdl, void* p) {
  if (!p) hdl->error(hdl, "memory allocation failed");
  return p;
}

}  // namespace

SYSHandle SYSDefaultHandle = &default_handle;

void dst_error(SYSHandle hdl, const char* msg) {
  std::string text = hdl->prefix ? std::string(hdl->prefix) + ": " : std::string();
  throw DSTError(text + "ERROR: " + msg + ".");
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
  void* p = huge_alloc(size);
  return checked(hdl, p ? p : malloc(size));
}

void* dst_clralloc(SYSHandle hdl, size_t count, size_t size) {
  void* p = count > 0 && size <= SIZE_MAX / count ? huge_alloc(count * size) : nullptr;
  if (p) return memset(p, 0, count * size);
  return checked(hdl, calloc(count, size));
}

void* dst_memrealloc(SYSHandle hdl, void* ptr, size_t size) {
  return checked(hdl, realloc(ptr, size));
}

void dst_memfree(SYSHandle, void* ptr) {
  free(ptr);
}

void dst_sysfree(SYSHandle hdl) {
  std::string msg = std::string("no free method specified for \"") + hdl->name + "\" system handler";
  hdl->error(hdl, msg.c_str());
}
