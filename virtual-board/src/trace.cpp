#include "trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace trace {
namespace {

int traceFd = -1;
std::atomic<bool> threaded{false};
std::mutex lock;
int64_t keepLimit = 0;
int64_t recorded = 0;
// The last keepLimit events, oldest at recorded % keepLimit once full.
std::unique_ptr<Event[]> tail;

const char* kindName(Kind kind)
{
    switch (kind) {
    case Kind::call:
        return "call";
    case Kind::level:
        return "level";
    case Kind::sched:
        return "sched";
    case Kind::misuse:
        return "misuse";
    case Kind::fatal:
        return "fatal";
    case Kind::end:
        return "end";
    case Kind::exit:
        return "exit";
    }
    return "?";
}

void writeAll(const char* text, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(traceFd, text, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<size_t>(written);
    }
}

void writeEvent(const Event& event)
{
    char line[192];
    int length = std::snprintf(line, sizeof line, "%lld %s", static_cast<long long>(event.timeUs),
                               kindName(event.kind));
    auto append = [&](const char* format, auto value) {
        if (length < static_cast<int>(sizeof line)) {
            length += std::snprintf(line + length, sizeof line - length, format, value);
        }
    };
    if (event.name) {
        append(" %s", event.name);
    }
    if (event.detail) {
        append(" %s", event.detail);
    }
    for (int index = 0; index < event.count; ++index) {
        append(" %lld", static_cast<long long>(event.numbers[index]));
    }
    if (event.hasResult) {
        append(" = %d", event.result);
    }
    length = std::min(length, static_cast<int>(sizeof line) - 1);
    line[length++] = '\n';
    writeAll(line, static_cast<size_t>(length));
}

void recordUnlocked(const Event& event)
{
    if (keepLimit == 0 || recorded < keepLimit) {
        writeEvent(event);
    } else {
        tail[recorded % keepLimit] = event;
    }
    ++recorded;
}

}  // namespace

Event make(int64_t timeUs, Kind kind, const char* name, std::initializer_list<int64_t> numbers)
{
    Event event;
    event.timeUs = timeUs;
    event.kind = kind;
    event.name = name;
    for (int64_t number : numbers) {
        if (event.count < 3) {
            event.numbers[event.count++] = number;
        }
    }
    return event;
}

void openOrExit(const char* path, const char* clock, const char* wiring, int64_t keepEvents)
{
    traceFd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (traceFd < 0) {
        std::fprintf(stderr, "virtual board: cannot write trace %s: %s\n", path,
                     std::strerror(errno));
        _exit(2);
    }
    keepLimit = keepEvents;
    if (keepLimit > 0) {
        tail = std::make_unique<Event[]>(keepLimit);
    }
    char header[128];
    const int length =
        std::snprintf(header, sizeof header, "# glow-board-trace 1 clock=%s pid=%d %s\n", clock,
                      getpid(), wiring);
    writeAll(header, static_cast<size_t>(length));
}

bool enabled()
{
    return traceFd >= 0;
}

void allowThreads()
{
    threaded.store(true);
}

void record(const Event& event)
{
    if (traceFd < 0) {
        return;
    }
    // A single-threaded run (virtual time) skips the lock on its hot path.
    if (threaded.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> hold(lock);
        // Two threads take their times before the lock, so the later may be
        // written first; the other is then stamped with the time already
        // written, which has also passed by then, so that time never goes
        // backwards in the trace.
        static int64_t lastUs = 0;
        Event inOrder = event;
        inOrder.timeUs = std::max(event.timeUs, lastUs);
        lastUs = inOrder.timeUs;
        recordUnlocked(inOrder);
    } else {
        recordUnlocked(event);
    }
}

void flush()
{
    if (traceFd < 0 || keepLimit == 0 || recorded <= keepLimit) {
        return;
    }
    std::unique_lock<std::mutex> hold(lock, std::defer_lock);
    if (threaded.load()) {
        hold.lock();
    }
    const int64_t kept = std::min(keepLimit, recorded - keepLimit);
    const int64_t skipped = recorded - keepLimit - kept;
    char note[96];
    const int length = std::snprintf(note, sizeof note, "# skipped %lld events\n",
                                     static_cast<long long>(skipped));
    writeAll(note, static_cast<size_t>(length));
    for (int64_t index = recorded - kept; index < recorded; ++index) {
        writeEvent(tail[index % keepLimit]);
    }
    keepLimit = 0;  // anything after the flush is written as it happens
    recorded = 0;
}

}  // namespace trace
