// Object pool: blocks of equal-sized objects threaded on a free list.
#include "dstpool.h"

DSTPool DSTPoolCreate(SYSHandle hdl, size_t objsz, size_t count) {
  size_t align = SYSAlignment(hdl);
  DSTPool pool = static_cast<DSTPool>(hdl->memalloc(hdl, sizeof(dst_pool_rec)));
  pool->freelist = nullptr;
  pool->blks = nullptr;
  pool->hdl = hdl;
  pool->objsz = (objsz + align - 1) / align * align;
  if (pool->objsz == 0) pool->objsz = align;
  pool->blksz = (count ? count : 1) * pool->objsz;
  pool->cp = nullptr;
  return pool;
}

void DSTPoolExtend(DSTPool pool) {
  char* blk = static_cast<char*>(pool->hdl->memalloc(pool->hdl, pool->blksz + sizeof(void*)));
  *reinterpret_cast<void**>(blk) = pool->blks;
  pool->blks = blk;
  char* first = blk + sizeof(void*);
  char* last = first + pool->blksz - pool->objsz;
  // The block's last object continues with whatever was free before.
  *reinterpret_cast<void**>(last) = pool->freelist;
  for (char* obj = first; obj < last; obj += pool->objsz) {
    *reinterpret_cast<void**>(obj) = obj + pool->objsz;
  }
  pool->cp = first;
  pool->freelist = *reinterpret_cast<void**>(first);
}

void DSTPoolFree(DSTPool pool) {
  SYSHandle hdl = pool->hdl;
  for (void* blk = pool->blks; blk;) {
    void* prev = *static_cast<void**>(blk);
    hdl->memfree(hdl, blk);
    blk = prev;
  }
  hdl->memfree(hdl, pool);
}
