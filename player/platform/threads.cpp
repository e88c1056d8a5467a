#include "threads.h"

namespace quenda::platform {

// Placeholder levels until the scheduling layer lands: every change is refused.
bool setCurrentThreadPriority(ThreadPriority) { return false; }
bool raiseProcessPriority() { return false; }

}  // namespace quenda::platform
