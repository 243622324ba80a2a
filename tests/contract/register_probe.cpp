// Plays the GPIO block's part for wiringPi driving a plain file instead of
// /dev/gpiomem: it watches the file's set and clear words for one pin, takes
// each write out as the chip would (the words read back 0), shows the pin's
// level in the file's level word as the chip does, and writes the levels as
// a virtual board trace, so that the same readers judge both boards. A file
// replaced at its path is followed. On SIGTERM or SIGINT it exits 0.
//   register_probe FILE pi3|pi5 BCM_GPIO PIN high|low TRACE [LOOK_US]
//   register_probe --board pi3|pi5
// The second form prints what the tests make of the board, as KEY=VALUE
// lines: its revision code, the node wiringPi maps there, the node's size
// and the three words' offsets.
// PIN and the polarity are the build's wiring, named in the trace's header;
// LOOK_US, the pause between two looks, is 0 (none) by default. A probe that
// pauses is woken at once when the program's threads sleep; one that never
// does is preempted for whole scheduler slices on a busy machine.

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {
// The boards, each by a revision code wiringPi knows. Byte offsets are in
// the file wiringPi maps, as large as its map. A Pi 1-4 maps the GPIO block
// at 0x200000 of /dev/gpiomem: GPSET0, GPCLR0, GPLEV0. A Pi 5 maps the
// RP1's /dev/gpiomem0 from 0: RIO's set and clear aliases of its output
// word, and its input word.
struct Layout {
    const char* name;
    const char* revision;
    const char* node;
    size_t nodeBytes;
    size_t setByte;
    size_t clearByte;
    size_t levelByte;
};
constexpr Layout layouts[] = {
    {"pi3", "a02082", "/dev/gpiomem", 0x210000, 0x200000 + 7 * 4, 0x200000 + 10 * 4,
     0x200000 + 13 * 4},
    {"pi5", "d04170", "/dev/gpiomem0", 0x30000, 0x12000, 0x13000, 0x10008},
};
constexpr long long fileCheckUs = 100000;  // how often a replaced file is looked for
// How long an ordering of two writes can be trusted: wiringPi's cycle at the
// programs' range, 100 steps of 100 µs. The probe runs in guests too, where
// no virtual board's trace names it.
constexpr long long softPwmCycleUs = 10000;

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

// The file's words, mapped; none while the path holds no such file.
struct Registers {
    unsigned char* bytes = nullptr;
    ino_t inode = 0;
};

size_t mappedBytesOf(const Layout& layout)
{
    return std::max({layout.setByte, layout.clearByte, layout.levelByte}) + 4;
}

void follow(Registers& registers, const char* path, const Layout& layout)
{
    const size_t mappedBytes = mappedBytesOf(layout);
    struct stat file {};
    if (stat(path, &file) == 0 && file.st_ino == registers.inode && registers.bytes != nullptr) {
        return;
    }
    if (registers.bytes != nullptr) {
        munmap(registers.bytes, mappedBytes);
        registers = {};
    }
    if (stat(path, &file) != 0 || !S_ISREG(file.st_mode) ||
        file.st_size < static_cast<off_t>(mappedBytes)) {
        return;
    }
    const int opened = open(path, O_RDWR | O_CLOEXEC);
    if (opened < 0) {
        return;
    }
    void* map = mmap(nullptr, mappedBytes, PROT_READ | PROT_WRITE, MAP_SHARED, opened, 0);
    close(opened);
    if (map != MAP_FAILED) {
        registers = {static_cast<unsigned char*>(map), file.st_ino};
    }
}

uint32_t* word(const Registers& registers, size_t byte)
{
    return reinterpret_cast<uint32_t*>(registers.bytes + byte);
}

const Layout* layoutNamed(const char* name)
{
    for (const Layout& candidate : layouts) {
        if (std::string_view(name) == candidate.name) {
            return &candidate;
        }
    }
    fail("no such board", name);
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string_view(argv[1]) == "--board") {
        const Layout& board = *layoutNamed(argv[2]);
        std::printf("REVISION=%s\nNODE=%s\nNODE_BYTES=%zu\nSET_BYTE=%zu\nCLEAR_BYTE=%zu\n"
                    "LEVEL_BYTE=%zu\n",
                    board.revision, board.node, board.nodeBytes, board.setByte, board.clearByte,
                    board.levelByte);
        return 0;
    }
    if (argc != 7 && argc != 8) {
        fail("usage", "register_probe FILE pi3|pi5 BCM_GPIO PIN high|low TRACE [LOOK_US]");
    }
    const Layout* layout = layoutNamed(argv[2]);
    const int gpio = std::atoi(argv[3]);
    if (gpio < 0 || gpio > 31) {
        fail("bad GPIO", argv[3]);
    }
    const long lookUs = argc == 8 ? std::atol(argv[7]) : 0;
    FILE* trace = std::fopen(argv[6], "w");
    if (trace == nullptr) {
        fail(argv[6], std::strerror(errno));
    }
    std::setvbuf(trace, nullptr, _IOLBF, 0);  // whole lines, for readers during the run
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);
    std::fprintf(trace, "# glow-board-trace 1 clock=real pid=%d led=%s active=%s\n", getpid(),
                 argv[4], argv[5]);

    // A chip takes each write at once; this takes what has come since the
    // last look. Both words written between two looks means the pin went
    // there and back: two changes at one time, as only a level that
    // alternates can be. After a gap longer than a soft-PWM cycle, or before
    // the pin's first level is known, the order is lost: the pin is taken to
    // end low, as every cycle's dark part begins with a clear and a channel
    // at full duty writes sets alone. The first of all writes is the clear
    // that creates the channel.
    const uint32_t bit = 1U << gpio;
    const int pin = std::atoi(argv[4]);
    int level = -1;  // unknown until the first write
    Registers registers;
    long long checkedUs = 0;
    long long lookedUs = nowUs();
    const timespec pause{0, lookUs * 1000};
    prctl(PR_SET_TIMERSLACK, 1UL);  // the pause as asked, not 50 µs more
    if (lookUs > 0) {
        // Above the channel's thread (90) and every ordinary process, where
        // allowed: a look is never put off by them, and its pause leaves
        // the processor to them.
        const sched_param priority{95};
        sched_setscheduler(0, SCHED_FIFO, &priority);
    }
    while (stopRequested == 0) {
        if (nowUs() - checkedUs >= fileCheckUs) {
            follow(registers, argv[1], *layout);
            checkedUs = nowUs();
        }
        if (lookUs > 0) {
            nanosleep(&pause, nullptr);
        }
        if (registers.bytes == nullptr) {
            continue;
        }
        const uint32_t set =
            __atomic_exchange_n(word(registers, layout->setByte), 0, __ATOMIC_SEQ_CST) & bit;
        const uint32_t clear =
            __atomic_exchange_n(word(registers, layout->clearByte), 0, __ATOMIC_SEQ_CST) & bit;
        const long long time = nowUs();
        const long long gapUs = time - lookedUs;
        lookedUs = time;
        if (set == 0 && clear == 0) {
            continue;
        }
        const bool both = set != 0 && clear != 0;
        const int next =
            both ? (level == 1 && gapUs <= softPwmCycleUs ? 1 : 0) : (set != 0 ? 1 : 0);
        if (both) {
            // Said in the trace, so that a reader knows this look came late.
            std::fprintf(trace, "# late look\n");
            if (level == -1) {
                std::fprintf(trace, "%lld level %d 0\n", time, pin);  // the creating clear
            }
            std::fprintf(trace, "%lld level %d %d\n", time, pin, 1 - next);
        }
        if (next != level || both) {
            std::fprintf(trace, "%lld level %d %d\n", time, pin, next);
        }
        level = next;
        uint32_t* shown = word(registers, layout->levelByte);
        *shown = level == 1 ? (*shown | bit) : (*shown & ~bit);
    }
    std::fclose(trace);
    return 0;
}
