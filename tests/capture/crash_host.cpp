// A host that ends the way a test asks, for the crash handler to report on. No library, no Qt: the
// host's side of the socket is driven by the test through stdin (the handler takes connections from
// its host only). It starts a named secondary thread, prints "ready", then reads lines:
//   connect <path>  connects to the handler's socket, prints "connected" (or "failed")
//   send <text>     writes the frame <text>$, prints the handler's answer line
//   read            prints the handler's next line
//   go              ends as the mode says:
//   segv          writes through a null pointer in the main thread
//   inline        the same, in a function inlined twice into the one the main thread calls
//   abort-thread  aborts in the thread "crash-worker", three calls deep below a std::function
//   overflow      recurses in the main thread until the stack runs out
//   wait          waits to be killed
//   nolimit       sets its hard core size limit to 0 at start, then writes through a null pointer
// An optional second argument makes that many MiB resident first (bench/crash_capture.sh).

#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t s_go = PTHREAD_COND_INITIALIZER;
bool s_abortInThread = false;

__attribute__((noinline)) void workerAbortDeep() { std::abort(); }
__attribute__((noinline)) void workerAbortMiddle() { workerAbortDeep(); asm volatile(""); }
__attribute__((noinline)) void workerAbortTop() { workerAbortMiddle(); asm volatile(""); }

// Called through a std::function, whose frames have long template names.
const std::function<void()> s_workerBody = [] {
    pthread_mutex_lock(&s_lock);
    while (!s_abortInThread)
        pthread_cond_wait(&s_go, &s_lock);
    pthread_mutex_unlock(&s_lock);
    workerAbortTop();
};

void *worker(void *)
{
    s_workerBody();
    return nullptr;
}

__attribute__((noinline)) void nullWriteInMain()
{
    static volatile std::uintptr_t s_address = 0;
    *reinterpret_cast<volatile int *>(s_address) = 42;
}

__attribute__((always_inline)) inline void inlinedInner(volatile int *target) { *target = 42; }
__attribute__((always_inline)) inline void inlinedMiddle(volatile int *target) { inlinedInner(target); }
__attribute__((noinline)) void outerOfInlined()
{
    static volatile std::uintptr_t s_address = 0;
    inlinedMiddle(reinterpret_cast<volatile int *>(s_address));
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

    int handler = -1;
    char line[4096];
    for (;;) {
        if (!std::fgets(line, sizeof line, stdin))
            return 2;
        line[std::strcspn(line, "\n")] = '\0';
        if (std::strncmp(line, "connect ", 8) == 0) {
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            std::memcpy(address.sun_path, line + 8, std::min(std::strlen(line + 8), sizeof address.sun_path - 1));
            handler = socket(AF_UNIX, SOCK_STREAM, 0);
            const bool ok = connect(handler, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
            std::printf(ok ? "connected\n" : "failed\n");
        } else if (std::strncmp(line, "send ", 5) == 0 || std::strcmp(line, "read") == 0) {
            // "send": the frame with its '$' first; both: the handler's next line.
            const size_t length = line[0] == 's' ? std::strlen(line + 5) + 1 : 0;
            if (length)
                line[4 + length] = '$';
            std::string answer;
            char c = 0;
            if (write(handler, line + 5, length) == ssize_t(length))
                while (read(handler, &c, 1) == 1 && c != '\r')
                    answer += c;
            std::printf("%s\n", answer.c_str());
        } else if (std::strcmp(line, "go") == 0) {
            break;
        }
        std::fflush(stdout);
    }
    if (std::strcmp(mode, "segv") == 0 || std::strcmp(mode, "nolimit") == 0) {
        nullWriteInMain();
    } else if (std::strcmp(mode, "inline") == 0) {
        outerOfInlined();
    } else if (std::strcmp(mode, "abort-thread") == 0) {
        pthread_mutex_lock(&s_lock);
        s_abortInThread = true;
        pthread_cond_signal(&s_go);
        pthread_mutex_unlock(&s_lock);
        pthread_join(thread, nullptr);
    } else if (std::strcmp(mode, "overflow") == 0) {
        return recurseForever(0);
    } else if (std::strcmp(mode, "wait") == 0) {
        for (;;)
            pause();
    }
    return 2;
}
