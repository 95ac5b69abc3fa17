// Misuse and leak counters, and the platform reset that runs every
// subsystem's reset hook.
#include "cehost/counters.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace cehost {
namespace {

struct Counters {
    std::mutex lock;
    std::map<std::string, uint64_t> misuse;  // guarded by lock
    std::map<std::string, uint64_t> leaks;   // guarded by lock
    std::vector<void (*)()> hooks;           // guarded by lock
};

// Never destroyed: platform threads may still count while the process exits.
Counters& State() {
    static Counters* state = new Counters;
    return *state;
}

uint64_t Sum(const std::map<std::string, uint64_t>& m) {
    uint64_t total = 0;
    for (const auto& [kind, n] : m)
        total += n;
    return total;
}

bool Discount(std::map<std::string, uint64_t>& m, const char* kind, uint64_t n) {
    auto it = m.find(kind ? kind : "");
    if (n == 0)
        return true;
    if (it == m.end() || it->second < n)
        return false;
    it->second -= n;
    if (it->second == 0)
        m.erase(it);
    return true;
}

void Append(std::string& out, const char* title, const std::map<std::string, uint64_t>& m) {
    out += title;
    if (m.empty()) {
        out += " none";
        return;
    }
    bool first = true;
    for (const auto& [kind, n] : m) {
        out += first ? " " : ", ";
        out += kind + "=" + std::to_string(n);
        first = false;
    }
}

// CEHOST_TRAP_MISUSE=<kind> (or "all") aborts at the first misuse of that
// kind, so a debugger shows the offending call. For debugging only: tests
// that provoke misuse on purpose fail with it set.
bool TrapMisuse(const char* kind) {
    static const char* trap = std::getenv("CEHOST_TRAP_MISUSE");
    if (trap == nullptr || *trap == '\0')
        return false;
    return std::strcmp(trap, "all") == 0 || (kind != nullptr && std::strcmp(trap, kind) == 0);
}

}  // namespace

void CountMisuse(const char* kind) {
    if (TrapMisuse(kind))
        std::abort();
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    ++s.misuse[kind ? kind : "?"];
}

void CountLeak(const char* kind) {
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    ++s.leaks[kind ? kind : "?"];
}

uint64_t MisuseTotal() {
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return Sum(s.misuse);
}

uint64_t LeakTotal() {
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return Sum(s.leaks);
}

std::map<std::string, uint64_t> MisuseCounts() {
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return s.misuse;
}

std::map<std::string, uint64_t> LeakCounts() {
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return s.leaks;
}

std::string CountersReport() {
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    std::string out;
    Append(out, "misuse:", s.misuse);
    Append(out, "; leaks:", s.leaks);
    return out;
}

void ResetCounters() {
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.misuse.clear();
    s.leaks.clear();
}

bool DiscountMisuse(const char* kind, uint64_t n) {
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return Discount(s.misuse, kind, n);
}

bool DiscountLeak(const char* kind, uint64_t n) {
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return Discount(s.leaks, kind, n);
}

void RegisterResetHook(void (*hook)()) {
    Counters& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    for (auto h : s.hooks)
        if (h == hook)
            return;
    s.hooks.push_back(hook);
}

void ResetPlatform() {
    std::vector<void (*)()> hooks;
    {
        Counters& s = State();
        std::lock_guard<std::mutex> g(s.lock);
        hooks = s.hooks;
    }
    // Hooks may count (a subsystem reporting what it had to drop), so the
    // counters are cleared after them.
    for (auto hook : hooks)
        hook();
    ResetCounters();
}

}  // namespace cehost
