#include "trace.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace {

bool parseNumber(const std::string& word, long long& number)
{
    char* end = nullptr;
    errno = 0;
    number = std::strtoll(word.c_str(), &end, 10);
    return errno == 0 && !word.empty() && word[0] != '+' && *end == '\0';
}

// What each kind of line carries after its kind: how many words, then the
// fewest and the most numbers. Only a call may end in "= R", its result.
struct Shape {
    const char* kind;
    size_t words;
    size_t fewestNumbers;
    size_t mostNumbers;
};
constexpr Shape shapes[] = {{"call", 1, 0, 3},   {"level", 0, 2, 2}, {"sched", 1, 2, 2},
                            {"misuse", 2, 0, 2}, {"fatal", 2, 0, 0}, {"end", 1, 0, 0},
                            {"exit", 0, 0, 0}};

}  // namespace

TraceEvent parseTraceLine(const std::string& line)
{
    std::istringstream stream(line);
    std::vector<std::string> fields;
    for (std::string field; stream >> field;) {
        fields.push_back(field);
    }
    TraceEvent event;
    event.line = line;
    long long number = 0;
    if (fields.empty() || !parseNumber(fields[0], number)) {
        throw std::runtime_error("no timestamp in trace line: " + line);
    }
    event.timeUs = number;
    const Shape* shape = nullptr;
    if (fields.size() >= 2) {
        event.kind = fields[1];
        for (const Shape& known : shapes) {
            shape = event.kind == known.kind ? &known : shape;
        }
    }
    if (!shape) {
        throw std::runtime_error("unknown event in trace line: " + line);
    }
    auto rest = fields.begin() + 2;
    auto end = fields.end();
    if (event.kind == "call" && end - rest >= 2 && *(end - 2) == "=") {
        if (!parseNumber(*(end - 1), number)) {
            throw std::runtime_error("malformed result in trace line: " + line);
        }
        event.result = number;
        end -= 2;
    }
    bool wellFormed = static_cast<size_t>(end - rest) >= shape->words;
    for (size_t index = 0; wellFormed && index < shape->words; ++index, ++rest) {
        wellFormed = !parseNumber(*rest, number);
        event.words.push_back(*rest);
    }
    for (; wellFormed && rest != end; ++rest) {
        wellFormed = parseNumber(*rest, number);
        event.numbers.push_back(number);
    }
    if (!wellFormed || event.numbers.size() < shape->fewestNumbers ||
        event.numbers.size() > shape->mostNumbers) {
        throw std::runtime_error("malformed " + event.kind + " event in trace line: " + line);
    }
    return event;
}

std::vector<TraceEvent> Trace::ofKind(const std::string& kind) const
{
    std::vector<TraceEvent> found;
    for (const TraceEvent& event : events) {
        if (event.kind == kind) {
            found.push_back(event);
        }
    }
    return found;
}

std::string Trace::misuseReport() const
{
    std::string report;
    for (const TraceEvent& event : ofKind("misuse")) {
        report += event.line + "\n";
    }
    return report;
}

int64_t Trace::pwmCycleUs() const
{
    for (const TraceEvent& event : events) {
        if (event.isCall("softPwmCreate") && event.result == 0 && event.numbers.size() == 3) {
            return pulseUs * event.numbers[2];
        }
    }
    return 0;
}

Trace readTrace(const std::string& path, bool partialTailAllowed)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("no trace at " + path);
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    Trace trace;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            if (partialTailAllowed) {
                break;
            }
            throw std::runtime_error("trace ends in a cut line: " + text.substr(at));
        }
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        long long skipped = 0;
        if (trace.events.empty() && line.rfind("# glow-board-trace ", 0) == 0) {
            constexpr std::string_view pulseField = " pulse_us=";
            const size_t pulse = line.find(pulseField);
            trace.pulseUs = pulse == std::string::npos
                                ? 0
                                : std::atoll(line.c_str() + pulse + pulseField.size());
        } else if (std::sscanf(line.c_str(), "# skipped %lld events", &skipped) == 1) {
            trace.skippedEvents = skipped;
            trace.keptHead = trace.events.size();
        } else if (!line.empty() && line[0] != '#') {  // the first line, and notes
            trace.events.push_back(parseTraceLine(line));
        }
    }
    return trace;
}

int64_t Step::sleepUs() const
{
    switch (kind) {
    case delayMs:
        return value * 1000;
    case usleepUs:
        return value;
    case write:
        break;
    }
    return 0;
}

std::string Step::describe() const
{
    static const char* const names[] = {"write", "delay", "usleep"};
    return std::string(names[kind]) + " " + std::to_string(value) + " at " +
           std::to_string(timeUs) + " us";
}

namespace {

bool addStep(const TraceEvent& event, std::vector<Step>& steps)
{
    const std::string& name = event.words.at(0);
    if (name == "softPwmWrite" && event.numbers.size() == 2) {
        steps.push_back({Step::write, event.numbers[1], event.timeUs});
    } else if (name == "delay" && event.numbers.size() == 1) {
        steps.push_back({Step::delayMs, event.numbers[0], event.timeUs});
    } else if (name == "usleep" && event.numbers.size() == 1) {
        steps.push_back({Step::usleepUs, event.numbers[0], event.timeUs});
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::vector<Step> patternSteps(const Trace& trace)
{
    const auto created =
        std::find_if(trace.events.begin(), trace.events.end(),
                     [](const TraceEvent& e) { return e.isCall("softPwmCreate"); });
    return created == trace.events.end() ? std::vector<Step>{}
                                         : stepsOf(created + 1, trace.events.end());
}

std::vector<Step> stepsOf(std::vector<TraceEvent>::const_iterator begin,
                          std::vector<TraceEvent>::const_iterator end)
{
    std::vector<Step> steps;
    for (auto event = begin; event != end; ++event) {
        if (event->kind == "call" && !addStep(*event, steps)) {
            ADD_FAILURE() << "unexpected call in a pattern: " << event->line;
        }
    }
    return steps;
}

testing::AssertionResult followsCycle(const std::vector<Step>& steps,
                                      const std::vector<Step>& cycle, int64_t startUs,
                                      size_t minCycles)
{
    if (cycle.empty()) {
        return testing::AssertionFailure() << "empty cycle";
    }
    int64_t expectedUs = startUs;
    for (size_t index = 0; index < steps.size(); ++index) {
        const Step& expected = cycle[index % cycle.size()];
        const Step& actual = steps[index];
        if (!actual.sameAs(expected) || actual.timeUs != expectedUs) {
            Step wanted = expected;
            wanted.timeUs = expectedUs;
            return testing::AssertionFailure()
                   << "cycle " << index / cycle.size() << ", step " << index % cycle.size()
                   << ": expected " << wanted.describe() << ", got " << actual.describe();
        }
        expectedUs += expected.sleepUs();
    }
    if (steps.size() < minCycles * cycle.size()) {
        return testing::AssertionFailure() << "only " << steps.size() / cycle.size()
                                           << " whole cycles, expected at least " << minCycles;
    }
    return testing::AssertionSuccess();
}
