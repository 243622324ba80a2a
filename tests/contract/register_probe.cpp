// Plays the GPIO block's part for wiringPi driving a plain file instead of
// /dev/gpiomem: it watches the file's set and clear words for one pin, takes
// each write out as the chip would (the words read back 0), and writes the
// pin's levels as a virtual board trace, so that the same readers judge
// both. On SIGTERM or SIGINT it closes the trace and exits 0.
//   register_probe FILE pi3|pi5 BCM_GPIO PIN ACTIVE TRACE
// PIN and ACTIVE (high or low) are the build's wiring, named in the header.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {
// Byte offsets of the set and clear words in the file wiringPi maps. A Pi
// 1-4 maps the GPIO block at 0x200000 of /dev/gpiomem (GPSET0, GPCLR0); a
// Pi 5 maps the RP1's /dev/gpiomem0 from 0, driving RIO's set and clear
// aliases of its output word.
struct Layout {
    const char* name;
    size_t setByte;
    size_t clearByte;
};
constexpr Layout layouts[] = {
    {"pi3", 0x200000 + 7 * 4, 0x200000 + 10 * 4},
    {"pi5", 0x12000, 0x13000},
};

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int /*signal*/)
{
    stopRequested = 1;
}

long long nowUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

[[noreturn]] void fail(const char* what, const char* detail)
{
    std::fprintf(stderr, "register_probe: %s: %s\n", what, detail);
    std::exit(2);
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 7) {
        fail("usage", "register_probe FILE pi3|pi5 BCM_GPIO PIN high|low TRACE");
    }
    const Layout* layout = nullptr;
    for (const Layout& candidate : layouts) {
        if (std::string_view(argv[2]) == candidate.name) {
            layout = &candidate;
        }
    }
    const int gpio = std::atoi(argv[3]);
    if (layout == nullptr || gpio < 0 || gpio > 31) {
        fail("bad layout or GPIO", argv[2]);
    }
    const int file = open(argv[1], O_RDWR);
    if (file < 0) {
        fail(argv[1], std::strerror(errno));
    }
    const size_t mappedBytes = layout->clearByte + 4;
    void* map = mmap(nullptr, mappedBytes, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    if (map == MAP_FAILED) {
        fail(argv[1], std::strerror(errno));
    }
    auto* bytes = static_cast<unsigned char*>(map);
    auto* setWord = reinterpret_cast<uint32_t*>(bytes + layout->setByte);
    auto* clearWord = reinterpret_cast<uint32_t*>(bytes + layout->clearByte);
    FILE* trace = std::fopen(argv[6], "w");
    if (trace == nullptr) {
        fail(argv[6], std::strerror(errno));
    }
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);
    std::fprintf(trace, "# glow-board-trace 1 clock=real pid=%d led=%s active=%s\n", getpid(),
                 argv[4], argv[5]);
    std::fflush(trace);

    // A chip takes each write at once; this takes what has come since the
    // last look. Both words written between two looks (the probe was not
    // scheduled) means the pin went there and back: that is written as two
    // changes at one time, as only a level that alternates can be.
    const uint32_t bit = 1U << gpio;
    int level = -1;  // unknown until the first write
    const int pin = std::atoi(argv[4]);
    while (stopRequested == 0) {
        const uint32_t set = __atomic_exchange_n(setWord, 0, __ATOMIC_SEQ_CST) & bit;
        const uint32_t clear = __atomic_exchange_n(clearWord, 0, __ATOMIC_SEQ_CST) & bit;
        if (set == 0 && clear == 0) {
            continue;
        }
        const long long time = nowUs();
        int next = set != 0 ? 1 : 0;
        if (set != 0 && clear != 0) {
            next = level == 1 ? 1 : 0;
            std::fprintf(trace, "%lld level %d %d\n", time, pin, 1 - next);
        }
        if (next != level || (set != 0 && clear != 0)) {
            std::fprintf(trace, "%lld level %d %d\n", time, pin, next);
        }
        level = next;
    }
    std::fclose(trace);
    return 0;
}
