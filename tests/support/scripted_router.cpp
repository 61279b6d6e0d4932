#include "support/scripted_router.h"

#include <chrono>
#include <utility>

namespace qtest {

namespace {

using Clock = std::chrono::steady_clock;

// No test lives this long; a router left behind stops answering by itself.
constexpr auto LIFETIME = std::chrono::seconds(60);

std::string withoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

bool asksForHops(const std::string &request)
{
    return request.rfind("NEXTHOP ", 0) == 0 || request.rfind("NEXTHOPS ", 0) == 0;
}

}  // namespace

ScriptedRouter::~ScriptedRouter()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void ScriptedRouter::setTable(Table table)
{
    std::lock_guard<std::mutex> lock(mutex_);
    table_ = std::move(table);
}

bool ScriptedRouter::start(Millis timeout)
{
    if (thread_.joinable() || !daemon_.acceptLink(timeout)) return false;
    thread_ = std::thread([this] { answerLoop(); });
    return true;
}

void ScriptedRouter::answerLoop()
{
    const auto end = Clock::now() + LIFETIME;
    // Each pass waits at most 20 ms for a line, so the count bounds the loop as the clock does.
    for (int passes = 0; passes < 100000 && !stop_ && Clock::now() < end; ++passes) {
        const std::string line = daemon_.nextLine(Millis(20));
        if (line.empty()) {
            if (daemon_.linkEnded()) return;
            continue;
        }
        const std::string request = withoutLineEnd(line);
        std::string answer;
        {
            // Recorded before the answer goes out: whatever the answer sets moving comes later.
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(line);
            if (asksForHops(request)) {
                auto found = table_.find(request);
                answer = found != table_.end() ? found->second : "NONE";
            }
        }
        if (!answer.empty()) daemon_.send(answer + "\n");
    }
}

std::vector<std::string> ScriptedRouter::received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool ScriptedRouter::waitFor(const std::string &line, Millis timeout, size_t count) const
{
    const auto deadline = Clock::now() + timeout;
    for (int polls = 0; polls < 10000; ++polls) {
        size_t seen = 0;
        for (const std::string &got : received()) seen += got == line ? 1 : 0;
        if (seen >= count) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(Millis(5));
    }
    return false;
}

}  // namespace qtest
