// The plug-in's only exported symbol.

#include <new>

#include "QumuloSnapClient.h"
#include "SnapClientFactory.h"

// A failed allocation or construction yields null instead of an exception: nothing may unwind into
// the agent.
extern "C" __attribute__((visibility("default"))) CFileServerSnapClientBase* GetSnapClient() {
  try {
    return new CQumuloSnapClient();
  } catch (...) {
    return nullptr;
  }
}
