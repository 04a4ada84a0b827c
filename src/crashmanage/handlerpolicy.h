#ifndef OSTREL_HANDLERPOLICY_H
#define OSTREL_HANDLERPOLICY_H

// The crash handler supervision policy. The shipped values are fixed: the crash handler and the
// host's start-up timing rely on them. A test build may shorten the two delays (and only those) with
// compile definitions, so that a whole reconnection budget runs in seconds; the library itself never
// reads them from the environment.

#ifndef OSTREL_FIRST_CONNECT_DELAY_MS
#define OSTREL_FIRST_CONNECT_DELAY_MS 500
#endif
#ifndef OSTREL_RETRY_DELAY_MS
#define OSTREL_RETRY_DELAY_MS 20000
#endif

namespace HandlerPolicy {

// First connection attempt after each start of the crash handler: gives it time to open its server.
constexpr int kFirstConnectDelayMs = OSTREL_FIRST_CONNECT_DELAY_MS;
// Wait before each retry after a failed attempt or a lost connection.
constexpr int kRetryDelayMs = OSTREL_RETRY_DELAY_MS;
// Retries per start of the crash handler before it is started again.
constexpr int kMaxConnectRetries = 6;
// Restarts of the crash handler per host process (8 starts in all, with the first one).
constexpr int kMaxHandlerRestarts = 7;

} // namespace HandlerPolicy

#endif // OSTREL_HANDLERPOLICY_H
