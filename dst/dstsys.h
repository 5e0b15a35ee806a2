// System handler: the message and memory hooks through which every dst object
// reports and allocates. SYSDefaultHandle writes to standard error and uses the
// C allocator; its error hook throws DSTError.
#ifndef DST_DSTSYS_H
#define DST_DSTSYS_H

#include <cstddef>
#include <stdexcept>

typedef struct sys_handle_rec* SYSHandle;

struct sys_handle_rec {
  const char* name;    // handler name, used in messages
  void* data;          // user data of the handler
  const char* prefix;  // if set, every message is preceded by "prefix: "
  size_t align;        // alignment of pool objects and of the entry in a chain node
  void (*error)(SYSHandle hdl, const char* msg);  // fatal report; must not return
  void (*warning)(SYSHandle hdl, const char* msg);
  void (*info)(SYSHandle hdl, const char* msg);
  void* (*memalloc)(SYSHandle hdl, size_t size);  // never returns null
  void* (*clralloc)(SYSHandle hdl, size_t count, size_t size);
  void* (*realloc)(SYSHandle hdl, void* ptr, size_t size);
  void (*memfree)(SYSHandle hdl, void* ptr);
  void (*free)(SYSHandle hdl);  // release the handler itself
};

// The built-in handler: name "default", no prefix, align 8, the dst_ hooks below.
extern SYSHandle SYSDefaultHandle;

// Alignment actually used for a handler: its align, raised to at least 4 and to
// the size of a pointer (a node's link word must not overlap the entry).
inline size_t SYSAlignment(SYSHandle hdl) {
  size_t a = hdl->align < 4 ? 4 : hdl->align;
  return a < sizeof(void*) ? sizeof(void*) : a;
}

// A fatal report of the default error hook; what() is "[prefix: ]ERROR: msg."
// (the decoder prints it on a line of its own and exits with status 1).
class DSTError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws DSTError. An error hook of another handler must not return either:
// the table is left as it was before the failed operation.
[[noreturn]] void dst_error(SYSHandle hdl, const char* msg);
// Writes "[prefix: ]WARNING: msg.\n" to standard error.
void dst_warning(SYSHandle hdl, const char* msg);
// Writes "[prefix: ]msg.\n" to standard error.
void dst_info(SYSHandle hdl, const char* msg);
// malloc, calloc and realloc; a null result goes to the handler's error hook
// with "memory allocation failed".
void* dst_memalloc(SYSHandle hdl, size_t size);
void* dst_clralloc(SYSHandle hdl, size_t count, size_t size);
void* dst_memrealloc(SYSHandle hdl, void* ptr, size_t size);
void dst_memfree(SYSHandle hdl, void* ptr);
// The default handler cannot be released: reports that through the error hook.
void dst_sysfree(SYSHandle hdl);

#endif  // DST_DSTSYS_H
