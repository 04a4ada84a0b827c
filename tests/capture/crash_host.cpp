// A host that ends the way a test asks, for the crash handler to report on. No library, no Qt: the
// test plays the library's side of the socket. It starts a named secondary thread, prints "ready",
// waits for a line on stdin, then:
//   segv          writes through a null pointer in the main thread
//   abort-thread  aborts in the thread "crash-worker", three calls deep
//   overflow      recurses in the main thread until the stack runs out
//   exit          exits with status 3
//   wait          waits to be killed
//   nolimit       sets its hard core size limit to 0 at start, then writes through a null pointer
// An optional second argument makes that many MiB resident first (bench/crash_capture.sh).

#include <pthread.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t s_go = PTHREAD_COND_INITIALIZER;
bool s_abortInThread = false;

__attribute__((noinline)) void workerAbortDeep() { std::abort(); }
__attribute__((noinline)) void workerAbortMiddle() { workerAbortDeep(); asm volatile(""); }
__attribute__((noinline)) void workerAbortTop() { workerAbortMiddle(); asm volatile(""); }

void *worker(void *)
{
    pthread_mutex_lock(&s_lock);
    while (!s_abortInThread)
        pthread_cond_wait(&s_go, &s_lock);
    pthread_mutex_unlock(&s_lock);
    workerAbortTop();
    return nullptr;
}

__attribute__((noinline)) void nullWriteInMain()
{
    static volatile std::uintptr_t s_address = 0;
    *reinterpret_cast<volatile int *>(s_address) = 42;
}

__attribute__((noinline)) int recurseForever(int depth)
{
    volatile char frame[256];
    frame[0] = char(depth);
    if (depth < 0) // never: the stack runs out first
        return frame[0];
    return recurseForever(depth + 1) + frame[0];
}

} // namespace

int main(int argc, char **argv)
{
    const char *mode = argc >= 2 ? argv[1] : "";
    if (argc == 3) {
        const size_t bytes = size_t(std::atoi(argv[2])) << 20;
        char *ballast = static_cast<char *>(std::malloc(bytes));
        if (ballast)
            std::memset(ballast, 0x5a, bytes);
    }
    if (std::strcmp(mode, "nolimit") == 0) {
        const struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
    }
    pthread_t thread;
    pthread_create(&thread, nullptr, worker, nullptr);
    pthread_setname_np(thread, "crash-worker");
    std::printf("ready\n");
    std::fflush(stdout);

    char line[16];
    if (!std::fgets(line, sizeof line, stdin))
        return 2;
    if (std::strcmp(mode, "segv") == 0 || std::strcmp(mode, "nolimit") == 0) {
        nullWriteInMain();
    } else if (std::strcmp(mode, "abort-thread") == 0) {
        pthread_mutex_lock(&s_lock);
        s_abortInThread = true;
        pthread_cond_signal(&s_go);
        pthread_mutex_unlock(&s_lock);
        pthread_join(thread, nullptr);
    } else if (std::strcmp(mode, "overflow") == 0) {
        return recurseForever(0);
    } else if (std::strcmp(mode, "exit") == 0) {
        std::exit(3);
    } else if (std::strcmp(mode, "wait") == 0) {
        for (;;)
            pause();
    }
    return 2;
}
