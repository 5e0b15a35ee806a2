// Object pool and the default system handler's hooks.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "dstpool.h"
#include "dstsys.h"

// Lets the allocation-failure death tests see a null result under AddressSanitizer
// instead of its own report.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

char* as_bytes(void* p) {
  return static_cast<char*>(p);
}
void* next_of(void* obj) {
  return *static_cast<void**>(obj);
}

TEST(Pool, RoundsObjectSizeToAlignment) {
  DSTPool pool = DSTPoolCreate(SYSDefaultHandle, 13, 5);
  EXPECT_EQ(pool->objsz, 16u);
  EXPECT_EQ(pool->blksz, 80u);
  EXPECT_EQ(pool->freelist, nullptr);
  EXPECT_EQ(pool->blks, nullptr);
  DSTPoolFree(pool);

  pool = DSTPoolCreate(SYSDefaultHandle, 24, 3);
  EXPECT_EQ(pool->objsz, 24u);
  EXPECT_EQ(pool->blksz, 72u);
  DSTPoolFree(pool);
}

TEST(Pool, ExtendThreadsBlockInAddressOrderAndHandsOutFirst) {
  DSTPool pool = DSTPoolCreate(SYSDefaultHandle, 16, 4);
  DSTPoolExtend(pool);
  char* first = as_bytes(pool->blks) + sizeof(void*);
  EXPECT_EQ(next_of(pool->blks), nullptr);  // no earlier block
  EXPECT_EQ(pool->cp, first);
  EXPECT_EQ(pool->freelist, first + 16);
  EXPECT_EQ(next_of(first + 16), first + 32);
  EXPECT_EQ(next_of(first + 32), first + 48);
  EXPECT_EQ(next_of(first + 48), nullptr);
  DSTPoolFree(pool);
}

TEST(Pool, GetReusesReleasedObjectsBeforeNewBlocks) {
  DSTPool pool = DSTPoolCreate(SYSDefaultHandle, 8, 2);
  void* a = DSTPoolGet(pool);
  void* b = DSTPoolGet(pool);
  EXPECT_EQ(as_bytes(b), as_bytes(a) + 8);
  EXPECT_EQ(pool->freelist, nullptr);
  void* block1 = pool->blks;

  void* c = DSTPoolGet(pool);  // block exhausted: a second one
  EXPECT_NE(pool->blks, block1);
  EXPECT_EQ(next_of(pool->blks), block1);
  EXPECT_EQ(c, as_bytes(pool->blks) + sizeof(void*));

  DSTPoolRelease(pool, a);
  DSTPoolRelease(pool, b);
  EXPECT_EQ(DSTPoolGet(pool), b);  // last released, first reused
  EXPECT_EQ(pool->cp, b);
  EXPECT_EQ(DSTPoolGet(pool), a);
  EXPECT_EQ(DSTPoolGet(pool), as_bytes(c) + 8);
  DSTPoolFree(pool);
}

sys_handle_rec prefixed(const char* prefix) {
  sys_handle_rec h = *SYSDefaultHandle;
  h.name = "mine";
  h.prefix = prefix;
  return h;
}

TEST(DefaultHooks, WarningAndInfoWriteToStderrAndReturn) {
  sys_handle_rec h = prefixed("dict");
  testing::internal::CaptureStderr();
  dst_warning(SYSDefaultHandle, "careful");
  dst_warning(&h, "careful");
  dst_info(SYSDefaultHandle, "loaded");
  dst_info(&h, "loaded");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARNING: careful.\ndict: WARNING: careful.\nloaded.\ndict: loaded.\n");
}

TEST(DefaultHooksDeathTest, ErrorExitsWithStatusOne) {
  EXPECT_EXIT(dst_error(SYSDefaultHandle, "bad thing"), testing::ExitedWithCode(1),
              "^ERROR: bad thing\\.\n$");
  sys_handle_rec h = prefixed("dict");
  EXPECT_EXIT(dst_error(&h, "bad thing"), testing::ExitedWithCode(1),
              "^dict: ERROR: bad thing\\.\n$");
}

TEST(DefaultHooksDeathTest, AllocationFailureIsFatal) {
  const size_t huge = SIZE_MAX / 2;
  // A sanitizer build may warn about the failed allocation on a line of its own first.
  const char* expected = "(^|\n)ERROR: memory allocation failed\\.\n$";
  EXPECT_EXIT(dst_memalloc(SYSDefaultHandle, huge), testing::ExitedWithCode(1), expected);
  EXPECT_EXIT(dst_clralloc(SYSDefaultHandle, huge, 4), testing::ExitedWithCode(1), expected);
  EXPECT_EXIT(dst_memrealloc(SYSDefaultHandle, nullptr, huge), testing::ExitedWithCode(1),
              expected);
}

TEST(DefaultHooksDeathTest, DefaultHandlerCannotBeReleased) {
  EXPECT_EXIT(SYSDefaultHandle->free(SYSDefaultHandle), testing::ExitedWithCode(1),
              "^ERROR: no free method specified for \"default\" system handler\\.\n$");
  sys_handle_rec h = prefixed("dict");
  EXPECT_EXIT(dst_sysfree(&h), testing::ExitedWithCode(1),
              "^dict: ERROR: no free method specified for \"mine\" system handler\\.\n$");
}

}  // namespace
