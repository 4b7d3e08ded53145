/* Preloaded into a test's interpreter: makes pthread_create fail with EAGAIN for the threads the
 * test names, so that the module meets a worker thread that cannot be started.
 *
 * RASTREL_TEST_FAIL_STACK=BYTES   only calls whose attributes ask for this stack size count
 * RASTREL_TEST_FAIL_AFTER=N       the first N counted calls pass, every later one fails
 *
 * Without RASTREL_TEST_FAIL_STACK nothing fails. failed_thread_starts() tells how many failed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>

typedef int (*start_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

static int counted;
static int failed;

int failed_thread_starts(void) { return __atomic_load_n(&failed, __ATOMIC_SEQ_CST); }

static int named(const pthread_attr_t *attr) {
    const char *stack = getenv("RASTREL_TEST_FAIL_STACK");
    size_t size = 0;
    if (stack == NULL || attr == NULL || pthread_attr_getstacksize(attr, &size) != 0) return 0;
    return size == strtoull(stack, NULL, 10);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg) {
    if (named(attr)) {
        const char *after = getenv("RASTREL_TEST_FAIL_AFTER");
        if (__atomic_add_fetch(&counted, 1, __ATOMIC_SEQ_CST) > (after ? atoi(after) : 0)) {
            __atomic_add_fetch(&failed, 1, __ATOMIC_SEQ_CST);
            return EAGAIN;
        }
    }
    start_fn real = (start_fn)dlsym(RTLD_NEXT, "pthread_create");
    return real(thread, attr, start, arg);
}
