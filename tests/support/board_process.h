#pragma once

#include "trace.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

// Where the build put what the tests run.
std::string programPath(const std::string& program);
// Every program the build makes.
std::vector<std::string> builtPrograms();

// The LED's wiring this build was made for, as it wrote it for the board.
struct Wiring {
    int pin;
    bool activeLow;  // a low pin lights the LED
};
Wiring builtWiring();

struct BoardSettings {
    std::vector<std::string> args;
    bool virtualTime = true;
    long long limitMs = -1;      // virtual time after which the run is ended by SIGTERM
    std::string fail;            // wiringPi failures the board injects (GLOW_BOARD_FAIL)
    bool wiringPiCodes = false;  // WIRINGPI_CODES set: wiringPi returns failures instead of exiting
    bool preloadUsleep = true;
    // false: run as an ordinary user without a real-time limit would, with
    // RLIMIT_RTPRIO 0 and no CAP_SYS_NICE.
    bool realTimeAllowed = true;
    std::vector<std::string> extraEnvironment;  // NAME=value
};

// A program started on the virtual board with its stdout, stderr and trace
// captured in a folder of its own, removed again when the object goes.
class BoardProcess {
public:
    BoardProcess(const std::string& path, const BoardSettings& settings);
    ~BoardProcess();
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;

    // Waits until the trace satisfies the predicate; false on timeout or
    // exit, and a test failure naming the line if the trace is malformed.
    bool waitForTrace(const std::function<bool(const Trace&)>& predicate,
                      std::chrono::milliseconds timeout);
    void sendSignal(int signal) const;
    // Waits for the end; kills the process and returns false past the timeout.
    bool waitForEnd(std::chrono::milliseconds timeout);

    // As waitpid reports it; -1 while running or after a timeout.
    int waitStatus() const { return waitStatus_; }
    std::string output() const;
    std::string errors() const;
    Trace trace() const;

private:
    void reap(int status);

    std::string folder_;
    pid_t pid_ = -1;  // -1 once reaped, so that no later call signals a reused id
    int waitStatus_ = -1;
};

bool exitedWith(int waitStatus, int status);
bool killedBy(int waitStatus, int signal);
std::string describeEnd(int waitStatus);

// Starts, waits at most timeout and returns the finished process.
struct FinishedRun {
    int waitStatus;
    std::string output;
    std::string errors;
    Trace trace;
};
// Runs the board's test driver on a script written as one line, such as
// "setup create 4 1 100 write 4 50 delay 300".
FinishedRun driveBoard(const std::string& script, BoardSettings settings = {});

FinishedRun runOnBoard(const std::string& path, const BoardSettings& settings,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));
