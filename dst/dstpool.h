// Fixed-size object pool: hands out equal-sized objects carved from blocks of
// `blksz` bytes; objects given back are reused first. Objects are never returned
// to the system one by one; DSTPoolFree releases every block at once.
#ifndef DST_DSTPOOL_H
#define DST_DSTPOOL_H

#include <cstddef>

#include "dstsys.h"

typedef struct dst_pool_rec* DSTPool;

struct dst_pool_rec {
  void* freelist;  // first free object; each free object's first word links the next
  void* blks;      // newest block; each block's first word links the previous one
  SYSHandle hdl;   // memory hooks
  size_t objsz;    // object size, a multiple of the handler's alignment
  size_t blksz;    // bytes of objects per block
  void* cp;        // the object most recently handed out
};

// A pool of objects of at least `objsz` bytes (rounded up to the alignment),
// `count` objects per block. No block is allocated until the first request.
DSTPool DSTPoolCreate(SYSHandle hdl, size_t objsz, size_t count);
// Allocates one block, puts its objects on the free list in address order and
// hands out the first one as `cp`.
void DSTPoolExtend(DSTPool pool);
// Releases every block and the record.
void DSTPoolFree(DSTPool pool);

// Hands out an object: the head of the free list, or a fresh block's first.
inline void* DSTPoolGet(DSTPool pool) {
  if (pool->freelist) {
    pool->cp = pool->freelist;
    pool->freelist = *static_cast<void**>(pool->cp);
  } else {
    DSTPoolExtend(pool);
  }
  return pool->cp;
}

// Gives an object back: it becomes the head of the free list.
inline void DSTPoolRelease(DSTPool pool, void* obj) {
  *static_cast<void**>(obj) = pool->freelist;
  pool->freelist = obj;
}

#endif  // DST_DSTPOOL_H
