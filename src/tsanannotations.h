#ifndef TSANANNOTATIONS_H
#define TSANANNOTATIONS_H

// ThreadSanitizer sees neither Qt's mutexes nor its atomics, because Qt itself is not built with it. Where a
// worker-thread task relies on an ordering that Qt provides, these calls state that ordering to it:
//   - everything the GUI thread did before QThreadPool::start() happens before the runnable runs;
//   - everything a worker did before it emitted a queued signal happens before the slot runs;
//   - everything the pool's workers did happens before QThreadPool::waitForDone() returns.
// One anchor serves all handoffs (it only orders GUI thread and workers, which is what the tasks rely on).
// In any build without ThreadSanitizer the calls are empty.

#if defined(__SANITIZE_THREAD__)
#define VT3_TSAN_ANNOTATIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VT3_TSAN_ANNOTATIONS 1
#endif
#endif

#ifdef VT3_TSAN_ANNOTATIONS
#include <sanitizer/tsan_interface.h>
#endif

namespace TsanAnnotations {
#ifdef VT3_TSAN_ANNOTATIONS
inline char handoffAnchor;
// Called by the side that hands data over, before the hand-off.
inline void handOver()
{
    __tsan_release(&handoffAnchor);
}
// Called by the side that takes it over, after the hand-off.
inline void takeOver()
{
    __tsan_acquire(&handoffAnchor);
}
#else
inline void handOver() {}
inline void takeOver() {}
#endif
} // namespace TsanAnnotations

#endif // TSANANNOTATIONS_H
