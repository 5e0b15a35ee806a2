#include "exit_status.h"

#include <cstdio>
#include <cstdlib>

#include "ZDutil_event.h"
#include "loadfeats.h"

int ExitStatusOf(const std::function<int()>& program) {
  try {
    return program();
  } catch (const ZDError& e) {
    e.report(stderr, stderr);
    if (e.category() == ZDError::Category::abort) abort();
    return 1;
  } catch (const DictionaryError& e) {
    fprintf(stderr, "%s\n", e.what());
    return 255;
  } catch (const DSTError& e) {
    fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
