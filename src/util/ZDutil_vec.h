// Growable arrays and owned strings shared by the whole model library.
#ifndef ZDUTIL_VEC_H
#define ZDUTIL_VEC_H

#include <sys/mman.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ZDutil_event.h"

// Array whose slots below `nalloc` always hold constructed elements: shrinking
// the count keeps them (and their own buffers) for reuse. Growth on append is
// to 2 * count + 256 slots, elsewhere to the exact size asked; elements are
// relocated by byte copy. A borrowed array views storage it does not own and
// aborts on any growth beyond it.
template <class T>
class Mvec {
 public:
  int nalloc = 0;
  int nitems = 0;
  T* data = nullptr;
  bool borrowed = false;

  Mvec() = default;
  explicit Mvec(int n) {
    if (n > 0) allocate_exact(n, "init");
    nitems = nalloc;
  }
  Mvec(const Mvec& other) { copy(other); }
  Mvec& operator=(const Mvec& other) {
    if (this != &other) copy(other);
    return *this;
  }
  ~Mvec() { free_all(); }

  T& operator[](int i) { return data[i]; }
  const T& operator[](int i) const { return data[i]; }
  int size() const { return nitems; }
  bool empty() const { return nitems == 0; }
  T* begin() { return data; }
  T* end() { return data + nitems; }
  const T* begin() const { return data; }
  const T* end() const { return data + nitems; }
  T& back() { return data[nitems - 1]; }

  // Ensures at least n constructed slots; the count is unchanged.
  void resize(int n) {
    if (nalloc >= n) return;
    if (borrowed) ZDEvent::abort_err("Mvec::set_nitems", "Cannot expand borrowed data");
    allocate_exact(n, "REALLOC");
  }

  // Sets the count, growing the storage to exactly n slots when needed.
  void set_nitems(int n) {
    if (n < 0) ZDEvent::memory_or_implement_err("Mvec::set_nitems", "negative count %d", n);
    nitems = n;
    resize(n);
  }

  // Appends a copy of x, growing to 2 * count + 256 slots when full.
  void append(const T& x) {
    if (nitems == nalloc) {
      if (&x >= data && &x < data + nalloc) {  // x lives in our storage: keep its position
        int pos = static_cast<int>(&x - data);
        grow_for_append();
        data[nitems++] = data[pos];
        return;
      }
      grow_for_append();
    }
    data[nitems++] = x;
  }

  // Shrinks the storage to exactly the count; a borrowed array gets its own copy.
  void compress() {
    if (nalloc <= nitems) return;
    T* fresh = nitems ? raw_alloc(nitems, "compress") : nullptr;
    if (borrowed) {
      for (int i = 0; i < nitems; i++) new (fresh + i) T(data[i]);
    } else {
      if (nitems) memcpy(static_cast<void*>(fresh), static_cast<void*>(data), bytes(nitems));
      for (int i = nitems; i < nalloc; i++) data[i].~T();
      free(static_cast<void*>(data));
    }
    data = fresh;
    nalloc = nitems;
    borrowed = false;
  }

  // Views n elements at `storage` without owning them.
  void borrow(T* storage, int n) {
    free_all();
    data = storage;
    nalloc = nitems = n;
    borrowed = true;
  }
  void borrow(const Mvec& other) {
    borrow(other.data, other.nalloc);
    nitems = other.nitems;
  }

  // Moves the other array's storage here and leaves the other empty.
  void take_over(Mvec& other) {
    if (this == &other) return;
    free_all();
    nalloc = other.nalloc;
    nitems = other.nitems;
    data = other.data;
    borrowed = other.borrowed;
    other.nalloc = other.nitems = 0;
    other.data = nullptr;
    other.borrowed = false;
  }

  // Removes element i by shifting the rest down; its slot moves to the end.
  void remove(int i) {
    if (i < 0 || i >= nitems)
      ZDEvent::memory_or_implement_err("Mvec[]", "trying to remove element out of range %d>%d", i,
                                       nitems);
    alignas(T) unsigned char saved[sizeof(T)];
    memcpy(saved, static_cast<void*>(data + i), sizeof(T));
    memmove(static_cast<void*>(data + i), static_cast<void*>(data + i + 1), bytes(nitems - i - 1));
    memcpy(static_cast<void*>(data + nitems - 1), saved, sizeof(T));
    nitems--;
  }

  // Destroys and frees owned storage; every field becomes zero.
  void free_all() {
    if (nalloc && !borrowed) {
      for (int i = 0; i < nalloc; i++) data[i].~T();
      free(static_cast<void*>(data));
    }
    nalloc = nitems = 0;
    data = nullptr;
    borrowed = false;
  }

 protected:
  static size_t bytes(int n) { return static_cast<size_t>(n) * sizeof(T); }

  static T* raw_alloc(int n, const char* label) {
    void* p = huge_alloc(bytes(n));
    if (!p) p = malloc(bytes(n));
    if (!p)
      ZDEvent::memory_or_implement_err(label, "Cannot allocate %d elems of size %d\n", n,
                                       static_cast<int>(sizeof(T)));
    return static_cast<T*>(p);
  }

  // A block of at least half a huge page (1 MiB) is taken 2 MiB-aligned,
  // rounded up to whole huge pages, with huge pages advised over it: filling a
  // big model array then takes one page fault per 2 MiB instead of one per
  // 4 KiB, and clearing a half-used huge page costs less than 256 small
  // pages' faults. Null for a smaller block, or when there is no such memory.
  static void* huge_alloc(size_t size) {
    constexpr size_t kHuge = size_t{2} << 20;
    if (size < kHuge / 2) return nullptr;  // bytes(n) is far below SIZE_MAX
    const size_t rounded = (size + kHuge - 1) & ~(kHuge - 1);
    void* p = aligned_alloc(kHuge, rounded);
    if (p) madvise(p, rounded, MADV_HUGEPAGE);
    return p;
  }

  // Relocates the nalloc slots into storage of exactly n slots (n > nalloc)
  // and constructs the new ones.
  void allocate_exact(int n, const char* label) {
    if (n <= nalloc || nalloc < 0) return;  // lets the optimiser see the copies are in bounds
    T* fresh = raw_alloc(n, label);
    if (nalloc) {
      memcpy(static_cast<void*>(fresh), static_cast<void*>(data), bytes(nalloc));
      free(static_cast<void*>(data));
    }
    for (int i = nalloc; i < n; i++) new (fresh + i) T();
    data = fresh;
    nalloc = n;
  }

  void grow_for_append() {
    long long want = 2LL * nitems + 256;
    if (want > INT_MAX) want = INT_MAX;
    if (want <= nitems)
      ZDEvent::memory_or_implement_err("REALLOC", "Cannot allocate %d elems of size %d\n",
                                       nitems + 1, static_cast<int>(sizeof(T)));
    resize(static_cast<int>(want));
  }

  void copy(const Mvec& other) {
    set_nitems(other.nitems);
    for (int i = 0; i < other.nitems; i++) data[i] = other.data[i];
  }
};

// Owned NUL-terminated string laid out like Mvec<char>: `nitems` is the
// length, the byte at `nitems` is 0 once initialised.
class string_t : public Mvec<char> {
 public:
  static constexpr unsigned npos = 0xffffffffu;

  string_t() = default;
  explicit string_t(const char* s) { init(s); }
  string_t(const string_t& other) : Mvec<char>() { init(other.c_str()); }
  string_t& operator=(const string_t& other) {
    if (this != &other) init(other.c_str());
    return *this;
  }

  // Null gives the empty string.
  void init(const char* s) {
    if (!s) s = "";
    size_t len = strlen(s);
    check_length(len);
    int n = static_cast<int>(len);
    fresize(n + 1);
    memmove(data, s, len);  // s may point into our own storage
    data[n] = 0;
    nitems = n;
  }
  void init(char c) {
    fresize(2);
    data[0] = c;
    data[1] = 0;
    nitems = 1;
  }
  // Appends s; null changes nothing.
  void concat(const char* s) {
    if (!s) return;
    size_t len = strlen(s);
    check_length(nitems + len);
    int n = nitems + static_cast<int>(len);
    if (nalloc < n + 1) {
      if (borrowed) ZDEvent::abort_err("Mvec::set_nitems", "Cannot expand borrowed data");
      // s may live in the old storage: copy it before that is freed.
      char* fresh = raw_alloc(n + 1, "REALLOC");
      if (nitems) memcpy(fresh, data, nitems);
      memcpy(fresh + nitems, s, len);
      free(data);
      data = fresh;
      nalloc = n + 1;
      data[n] = 0;
      nitems = n;
      return;
    }
    memmove(data + nitems, s, len);
    data[n] = 0;
    nitems = n;
  }
  // Grows the storage to exactly n bytes when it is smaller.
  void fresize(int n) { resize(n); }

  const char* c_str() const { return data ? data : ""; }
  int length() const { return nitems; }
  bool operator==(const char* s) const { return strcmp(c_str(), s ? s : "") == 0; }

 private:
  static void check_length(size_t len) {
    if (len >= static_cast<size_t>(INT_MAX))
      ZDEvent::memory_or_implement_err("string_t", "string of %zu characters is too long", len);
  }
};

// New string of exactly the combined length plus one byte.
inline string_t operator+(const string_t& a, const char* b) {
  string_t r;
  size_t lb = b ? strlen(b) : 0;
  r.fresize(static_cast<int>(a.length() + lb + 1));
  r.init(a.c_str());
  r.concat(b);
  return r;
}
inline string_t operator+(const string_t& a, const string_t& b) {
  return a + b.c_str();
}

#endif
