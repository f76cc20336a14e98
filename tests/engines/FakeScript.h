#pragma once

#include <deque>
#include <map>
#include <sstream>
#include <string>

namespace brisko::test {

// The queued answers of a scripted stand-in engine: one "call ANSWER" per line, taken in order per
// call; a call whose queue is empty gets the fallback its caller names.
class FakeScript {
public:
    void load(const char* script) {
        m_queues.clear();
        std::istringstream lines(script);
        std::string line;
        while (std::getline(lines, line)) {
            const std::size_t space = line.find(' ');
            m_queues[line.substr(0, space)].push_back(line.substr(space + 1));
        }
    }

    std::string next(const std::string& call, const std::string& fallback) {
        auto& queue = m_queues[call];
        if (queue.empty()) {
            return fallback;
        }
        std::string answer = queue.front();
        queue.pop_front();
        return answer;
    }

private:
    std::map<std::string, std::deque<std::string>> m_queues;
};

} // namespace brisko::test
