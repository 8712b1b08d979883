#include "common/memory_budget.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "common/platform.hpp"

namespace arbolet {

namespace {

// A limit file's value: a byte count, or "max" (no limit).
std::uint64_t read_limit(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text) || text.empty() || text == "max") return UINT64_MAX;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return UINT64_MAX;
        value = saturating_add(saturating_mul(value, 10), static_cast<std::uint64_t>(c - '0'));
    }
    return value;
}

// Bytes of physical memory, or 2^64 - 1 when the system does not say.
std::uint64_t physical_memory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : UINT64_MAX;
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
#endif
}

// The smallest memory limit of the process's cgroup and its ancestors:
// cgroup v2 ("0::/path", memory.max) or v1 ("N:memory:/path",
// memory.limit_in_bytes, where "no limit" is a huge number). A container
// usually sees its own group as the root of the mount.
std::uint64_t cgroup_limit() {
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    std::uint64_t limit = UINT64_MAX;
    while (std::getline(groups, line)) {
        std::string root, file, path;
        if (line.rfind("0::", 0) == 0) {
            root = "/sys/fs/cgroup";
            file = "/memory.max";
            path = line.substr(3);
        } else if (const std::size_t at = line.find(":memory:"); at != std::string::npos) {
            root = "/sys/fs/cgroup/memory";
            file = "/memory.limit_in_bytes";
            path = line.substr(at + 8);
        } else {
            continue;
        }
        if (path == "/") path.clear();
        for (;;) {
            const std::uint64_t here = read_limit(root + path + file);
            if (here < limit) limit = here;
            if (path.empty()) break;
            path.resize(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
        }
    }
    return limit;
}

// Address space still free under the process's limit (ulimit -v), read at
// each check since the limit and the space in use both change; 2^64 - 1
// without a limit.
std::uint64_t address_space_left() {
#if defined(_WIN32)
    return UINT64_MAX;
#else
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (!(statm >> pages) || page_size <= 0) return cap;
    const std::uint64_t used = saturating_mul(pages, static_cast<std::uint64_t>(page_size));
    return used < cap ? cap - used : 0;
#endif
}

}  // namespace

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out;
    return mul_overflows(a, b, out) ? UINT64_MAX : out;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out;
    return add_overflows(a, b, out) ? UINT64_MAX : out;
}

std::uint64_t memory_available() {
    static const std::uint64_t available = [] {
        const std::uint64_t physical = physical_memory();
        const std::uint64_t container = cgroup_limit();
        return container < physical ? container : physical;
    }();
    return available;
}

void check_memory(const char* what, std::uint64_t bytes) {
    std::uint64_t available = memory_available();
    if (bytes <= available) available = std::min(available, address_space_left());
    if (bytes <= available) return;
    std::string needed = bytes == UINT64_MAX ? "more than 2^64 - 1" : std::to_string(bytes);
    throw MemoryShortfall(std::string(what) + " needs up to " + needed + " bytes of memory, more than the " +
                          std::to_string(available) + " bytes available");
}

}  // namespace arbolet
