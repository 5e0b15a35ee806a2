// Object pool and the default system handler's hooks.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "dstpool.h"
#include "dstsys.h"

// Lets the allocation-failure death tests see a null result under AddressSanitizer
// instead of its own report.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

char* at(void* p, size_t offset) {
  return static_cast<char*>(p) + offset;
}
void* next_of(void* obj) {
  return *static_cast<void**>(obj);
}

TEST(Pool, BlocksAreThreadedInAddressOrderAndReleasedObjectsReusedFirst) {
  DSTPool pool = DSTPoolCreate(SYSDefaultHandle, 13, 5);
  EXPECT_EQ(pool->objsz, 16u);  // rounded to the alignment
  EXPECT_EQ(pool->blksz, 80u);
  DSTPoolExtend(pool);
  char* first = at(pool->blks, sizeof(void*));
  EXPECT_EQ(next_of(pool->blks), nullptr);  // no earlier block
  EXPECT_EQ(pool->cp, first);
  EXPECT_EQ(pool->freelist, first + 16);
  for (int k = 1; k < 4; k++) EXPECT_EQ(next_of(first + 16 * k), first + 16 * (k + 1));
  EXPECT_EQ(next_of(first + 64), nullptr);
  DSTPoolFree(pool);

  pool = DSTPoolCreate(SYSDefaultHandle, 8, 2);
  void* a = DSTPoolGet(pool);
  void* b = DSTPoolGet(pool);
  EXPECT_EQ(b, at(a, 8));
  void* block1 = pool->blks;
  void* c = DSTPoolGet(pool);  // block exhausted: a second one, linked to the first
  EXPECT_EQ(next_of(pool->blks), block1);
  EXPECT_EQ(c, at(pool->blks, sizeof(void*)));
  DSTPoolRelease(pool, a);
  DSTPoolRelease(pool, b);
  EXPECT_EQ(DSTPoolGet(pool), b);  // last released, first reused
  EXPECT_EQ(DSTPoolGet(pool), a);
  EXPECT_EQ(DSTPoolGet(pool), at(c, 8));
  DSTPoolFree(pool);
}

TEST(DefaultHooks, MessagesOnStderrAndFatalExits) {
  sys_handle_rec dict = *SYSDefaultHandle;
  dict.name = "mine";
  dict.prefix = "dict";
  testing::internal::CaptureStderr();
  dst_warning(SYSDefaultHandle, "careful");
  dst_warning(&dict, "careful");
  dst_info(SYSDefaultHandle, "loaded");
  dst_info(&dict, "loaded");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARNING: careful.\ndict: WARNING: careful.\nloaded.\ndict: loaded.\n");

  const size_t huge = SIZE_MAX / 2;
  // A sanitizer build may warn about a failed allocation on a line of its own first.
  const std::string no_memory = "(^|\n)ERROR: memory allocation failed\\.\n$";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { dst_error(SYSDefaultHandle, "bad thing"); }, "^ERROR: bad thing\\.\n$"},
      {[&] { dst_error(&dict, "bad thing"); }, "^dict: ERROR: bad thing\\.\n$"},
      {[&] { dst_memalloc(SYSDefaultHandle, huge); }, no_memory},
      {[&] { dst_clralloc(SYSDefaultHandle, huge, 4); }, no_memory},
      {[&] { dst_memrealloc(SYSDefaultHandle, nullptr, huge); }, no_memory},
      {[] { SYSDefaultHandle->free(SYSDefaultHandle); },
       "^ERROR: no free method specified for \"default\" system handler\\.\n$"},
      {[&] { dst_sysfree(&dict); },
       "^dict: ERROR: no free method specified for \"mine\" system handler\\.\n$"},
  };
  for (const auto& c : cases) EXPECT_EXIT(c.first(), testing::ExitedWithCode(1), c.second);
}

TEST(DefaultHooks, LargeBlocksAreAlignedAndCallocStaysZero) {
  const size_t huge = size_t{2} << 20;
  for (size_t size : {huge - 8, huge, 3 * huge + 5}) {
    // A reused block must still come back zeroed from clralloc.
    auto* dirty = static_cast<unsigned char*>(dst_memalloc(SYSDefaultHandle, size));
    for (size_t i = 0; i < size; i++) dirty[i] = 0xff;
    dst_memfree(SYSDefaultHandle, dirty);
    auto* zeroed = static_cast<unsigned char*>(dst_clralloc(SYSDefaultHandle, size / 4, 4));
    size_t nonzero = 0;
    for (size_t i = 0; i < size / 4 * 4; i++) nonzero += zeroed[i] != 0;
    EXPECT_EQ(nonzero, 0u) << size;
    if (size >= huge) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(zeroed) % huge, 0u) << size;
    }
    // The whole block is usable, and it can still be resized.
    zeroed[size / 4 * 4 - 1] = 1;
    zeroed = static_cast<unsigned char*>(dst_memrealloc(SYSDefaultHandle, zeroed, 2 * size));
    EXPECT_EQ(zeroed[size / 4 * 4 - 1], 1);
    dst_memfree(SYSDefaultHandle, zeroed);
  }
}

}  // namespace
