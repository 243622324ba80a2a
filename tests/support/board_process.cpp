#include "board_process.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool isBoardVariable(const char* entry)
{
    static const char* const prefixes[] = {"GLOW_BOARD_", "WIRINGPI_",
                                           "LD_PRELOAD=", "LD_LIBRARY_PATH="};
    return std::any_of(std::begin(prefixes), std::end(prefixes), [entry](const char* prefix) {
        return std::strncmp(entry, prefix, std::strlen(prefix)) == 0;
    });
}

// Sets NAME=value in place of any earlier NAME, so that no variable appears
// twice (which of two a program sees differs between libc and qemu-user).
void setVariable(std::vector<std::string>& environment, const std::string& entry)
{
    const std::string name = entry.substr(0, entry.find('=') + 1);
    for (std::string& existing : environment) {
        if (existing.rfind(name, 0) == 0) {
            existing = entry;
            return;
        }
    }
    environment.push_back(entry);
}

std::vector<std::string> splitList(const std::string& list, char separator)
{
    std::vector<std::string> items;
    std::istringstream stream(list);
    for (std::string item; std::getline(stream, item, separator);) {
        if (!item.empty()) {
            items.push_back(item);
        }
    }
    return items;
}

// The variables that run a program on this build's virtual board, as the
// build wrote them.
std::vector<std::string> boardVariables(bool preloadUsleep)
{
    std::ifstream file(GLOW_BOARD_ENVIRONMENT);
    if (!file) {
        throw std::runtime_error("no " GLOW_BOARD_ENVIRONMENT "; build the project first");
    }
    std::vector<std::string> variables;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line[0] != '#' &&
            (preloadUsleep || line.rfind("LD_PRELOAD=", 0) != 0)) {
            variables.push_back(line);
        }
    }
    return variables;
}

}  // namespace

std::string programPath(const std::string& program)
{
    return std::string(GLOW_PROGRAM_DIR) + "/" + program;
}

std::vector<std::string> builtPrograms()
{
    return splitList(GLOW_PROGRAMS, ',');
}

Wiring builtWiring()
{
    Wiring wiring{-1, false};
    for (const std::string& variable : boardVariables(false)) {
        if (variable.rfind("GLOW_BOARD_LED=", 0) == 0) {
            wiring.pin = std::stoi(variable.substr(variable.find('=') + 1));
        } else if (variable == "GLOW_BOARD_LED_ACTIVE=low") {
            wiring.activeLow = true;
        }
    }
    if (wiring.pin < 0) {
        throw std::runtime_error("no GLOW_BOARD_LED in " GLOW_BOARD_ENVIRONMENT);
    }
    return wiring;
}

BoardProcess::BoardProcess(const std::string& path, const BoardSettings& settings)
{
    char pattern[] = "/tmp/glow-test-XXXXXX";
    if (!mkdtemp(pattern)) {
        throw std::runtime_error("cannot make a folder for the run");
    }
    folder_ = pattern;

    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (!isBoardVariable(*entry)) {
            environment.emplace_back(*entry);
        }
    }
    std::vector<std::string> boardEnvironment = boardVariables(settings.preloadUsleep);
    boardEnvironment.push_back("GLOW_BOARD_TRACE=" + folder_ + "/trace");
    boardEnvironment.push_back(std::string("GLOW_BOARD_CLOCK=") +
                               (settings.virtualTime ? "virtual" : "real"));
    if (settings.limitMs >= 0) {
        boardEnvironment.push_back("GLOW_BOARD_LIMIT_MS=" + std::to_string(settings.limitMs));
    }
    if (!settings.fail.empty()) {
        boardEnvironment.push_back("GLOW_BOARD_FAIL=" + settings.fail);
    }
    if (settings.wiringPiCodes) {
        boardEnvironment.emplace_back("WIRINGPI_CODES=1");
    }
    for (const std::string& extra : settings.extraEnvironment) {
        setVariable(boardEnvironment, extra);
    }

    // A cross-built program runs under its emulator, which hands the loader's
    // variables to the program rather than taking them itself.
    std::vector<std::string> command = splitList(GLOW_TEST_EMULATOR, '|');
    const bool emulated = !command.empty();
    for (const std::string& variable : boardEnvironment) {
        if (emulated && variable.rfind("LD_", 0) == 0) {
            command.emplace_back("-E");
            command.push_back(variable);
        } else {
            environment.push_back(variable);
        }
    }
    command.push_back(path);
    command.insert(command.end(), settings.args.begin(), settings.args.end());

    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (std::string& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    const std::string outputPath = folder_ + "/stdout";
    const std::string errorsPath = folder_ + "/stderr";
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        const int input = open("/dev/null", O_RDONLY);
        const int outputFd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errorsFd = open(errorsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (input < 0 || outputFd < 0 || errorsFd < 0 || dup2(input, 0) < 0 ||
            dup2(outputFd, 1) < 0 || dup2(errorsFd, 2) < 0) {
            _exit(126);
        }
        if (!settings.realTimeAllowed) {
            const rlimit none{0, 0};
            // Without CAP_SETPCAP the capability is not ours to drop, nor to use.
            prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0);
            if (setrlimit(RLIMIT_RTPRIO, &none) != 0) {
                _exit(126);
            }
        }
        execvpe(argv[0], argv.data(), envp.data());  // the emulator may be named without a path
        _exit(127);
    }
}

BoardProcess::~BoardProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void BoardProcess::reap(int status)
{
    waitStatus_ = status;
    pid_ = -1;
}

bool BoardProcess::waitForTrace(const std::function<bool(const Trace&)>& predicate,
                                std::chrono::milliseconds timeout)
{
    const std::string path = folder_ + "/trace";
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
        // Before the board has opened it there is no trace; after, every
        // whole line must read.
        if (std::filesystem::exists(path)) {
            try {
                if (predicate(readTrace(path, true))) {
                    return true;
                }
            } catch (const std::runtime_error& error) {
                ADD_FAILURE() << error.what();
                return false;
            }
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reap(status);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

void BoardProcess::sendSignal(int signal) const
{
    if (pid_ > 0) {
        kill(pid_, signal);
    }
}

bool BoardProcess::waitForEnd(std::chrono::milliseconds timeout)
{
    if (pid_ < 0) {
        return waitStatus_ != -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reap(status);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reap(-1);  // a status of -1 says that it did not end in time
    return false;
}

std::string BoardProcess::output() const
{
    return readFile(folder_ + "/stdout");
}

std::string BoardProcess::errors() const
{
    return readFile(folder_ + "/stderr");
}

Trace BoardProcess::trace() const
{
    // A run that the board refused to start leaves no trace at all.
    if (!std::filesystem::exists(folder_ + "/trace")) {
        return {};
    }
    return readTrace(folder_ + "/trace");
}

bool exitedWith(int waitStatus, int status)
{
    return waitStatus != -1 && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == status;
}

bool killedBy(int waitStatus, int signal)
{
    return waitStatus != -1 && WIFSIGNALED(waitStatus) && WTERMSIG(waitStatus) == signal;
}

std::string describeEnd(int waitStatus)
{
    if (waitStatus == -1) {
        return "did not end in time";
    }
    if (WIFEXITED(waitStatus)) {
        return "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
    }
    return std::string("killed by signal ") + strsignal(WTERMSIG(waitStatus));
}

FinishedRun runOnBoard(const std::string& path, const BoardSettings& settings,
                       std::chrono::milliseconds timeout)
{
    BoardProcess process(path, settings);
    process.waitForEnd(timeout);
    return {process.waitStatus(), process.output(), process.errors(), process.trace()};
}

FinishedRun driveBoard(const std::string& script, BoardSettings settings)
{
    std::istringstream words(script);
    settings.args.assign(std::istream_iterator<std::string>(words),
                         std::istream_iterator<std::string>());
    return runOnBoard(GLOW_BOARD_DRIVER, settings);
}
