/* ThreadSanitizer (GCC 12's and clang 14's) does not see pthread_mutex_clocklock, through which
   libstdc++'s timed mutexes wait on the steady clock: a lock taken that way looks unlocked to
   it and its unlock is reported. Linked into the ThreadSanitizer build only (tools/sanitize.sh),
   this definition replaces the C library's and waits through pthread_mutex_timedlock, which
   the sanitizer does see. */
#define _GNU_SOURCE
#include <pthread.h>
#include <time.h>

int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock,
                            const struct timespec* deadline) {
  if (clock == CLOCK_REALTIME) return pthread_mutex_timedlock(mutex, deadline);
  struct timespec now, realNow, realDeadline;
  clock_gettime(clock, &now);
  clock_gettime(CLOCK_REALTIME, &realNow);
  long long left = (long long)(deadline->tv_sec - now.tv_sec) * 1000000000LL +
                   (deadline->tv_nsec - now.tv_nsec);
  if (left < 0) left = 0;
  left += realNow.tv_nsec;
  realDeadline.tv_sec = realNow.tv_sec + (time_t)(left / 1000000000LL);
  realDeadline.tv_nsec = (long)(left % 1000000000LL);
  return pthread_mutex_timedlock(mutex, &realDeadline);
}
