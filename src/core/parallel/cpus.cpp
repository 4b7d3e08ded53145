#include "core/parallel/cpus.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

namespace rastrel::parallel {

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string_view> split(std::string_view text, char sep, std::size_t max_fields = SIZE_MAX) {
    std::vector<std::string_view> fields;
    while (fields.size() + 1 < max_fields) {
        const std::size_t at = text.find(sep);
        if (at == std::string_view::npos) break;
        fields.push_back(text.substr(0, at));
        text.remove_prefix(at + 1);
    }
    fields.push_back(text);
    return fields;
}

bool has_item(std::string_view list, std::string_view item) {
    for (std::string_view x : split(list, ',')) {
        if (x == item) return true;
    }
    return false;
}

std::string_view trim(std::string_view s) {
    const char* const space = " \t\n\r\f\v";
    const std::size_t first = s.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

std::optional<std::uint64_t> parse_unsigned(std::string_view s) {
    if (s.empty() || s.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(ch - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len;
        std::uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
        else return false;
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
        if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// Paths are kept without a trailing '/', so "under" and "parent" are plain string steps.
std::string join(const std::string& dir, std::string_view rel) {
    while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
    return rel.empty() ? dir : dir + "/" + std::string(rel);
}

// `prefix` is a leading part of `path` by whole components.
bool starts_with_components(std::string_view path, std::string_view prefix) {
    if (prefix.empty()) return true;
    return path.substr(0, prefix.size()) == prefix && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

// Calls visit(dir) for `start`, then each parent while still at or under `root`.
template <class Visit>
void climb(std::string dir, const std::string& root, Visit visit) {
    for (;;) {
        visit(dir);
        if (dir == root) return;
        const std::size_t slash = dir.rfind('/');
        if (slash == std::string::npos) return;
        dir.resize(slash);
        if (!starts_with_components(dir, root)) return;
    }
}

struct GroupEntry {
    int version = 0;  // 0: none found
    std::string path;  // without its leading '/'
};

GroupEntry find_group(std::string_view text) {
    GroupEntry found;
    for (std::string_view line : split(text, '\n')) {
        const std::vector<std::string_view> f = split(line, ':', 3);
        if (f.size() < 3) continue;
        const std::string_view path = f[2].empty() ? f[2] : f[2].substr(1);
        if (f[1].empty()) {
            if (found.version == 0) found = {2, std::string(path)};
        } else if (valid_utf8(f[1]) && has_item(f[1], "cpu")) {
            found = {1, std::string(path)};
        }
    }
    return found;
}

std::size_t quota_v2(const std::string& root, const std::string& group) {
    std::size_t quota = detail::kUnlimited;
    const std::string start = join(root, group);
    if (!exists(start + "/cgroup.controllers")) return quota;
    climb(start, root, [&quota](const std::string& dir) {
        const std::optional<std::string> text = read_file(dir + "/cpu.max");
        if (!text) return;
        const std::string_view first_line = split(*text, '\n', 2)[0];
        const std::vector<std::string_view> f = split(first_line, ' ');
        if (f.size() < 2) return;
        const auto limit = parse_unsigned(f[0]);
        const auto period = parse_unsigned(f[1]);
        if (limit && period && *period > 0) quota = std::min<std::uint64_t>(quota, *limit / *period);
    });
    return quota;
}

struct Mount {
    std::string root;
    std::string group;
};

std::optional<Mount> find_mountpoint(const std::string& proc_self, const std::string& group) {
    const std::optional<std::string> text = read_file(proc_self + "/mountinfo");
    if (!text) return std::nullopt;
    for (std::string_view line : split(*text, '\n')) {
        const std::vector<std::string_view> f = split(trim(line), ' ');
        if (f.size() < 6) continue;
        const std::size_t n = f.size();
        if (f[n - 3] != "cgroup" || !has_item(f[n - 1], "cpu")) continue;
        std::string_view sub_root = f[3];
        if (!sub_root.empty() && sub_root.front() == '/') sub_root.remove_prefix(1);
        if (!starts_with_components(group, sub_root)) continue;
        std::string_view rest = std::string_view(group).substr(sub_root.size());
        if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
        return Mount{std::string(f[4]), std::string(rest)};
    }
    return std::nullopt;
}

std::size_t quota_v1(const std::string& proc_self, const std::string& cgroup_root, const std::string& group) {
    std::optional<Mount> mount;
    for (const char* name : {"/cpu", "/cpu,cpuacct"}) {
        const std::string root = cgroup_root + name;
        if (exists(join(root, group))) {
            mount = Mount{root, group};
            break;
        }
    }
    if (!mount) {
        mount = find_mountpoint(proc_self, group);
        if (!mount || !exists(join(mount->root, mount->group))) return detail::kUnlimited;
    }
    std::size_t quota = detail::kUnlimited;
    climb(join(mount->root, mount->group), mount->root, [&quota](const std::string& dir) {
        const std::optional<std::string> q = read_file(dir + "/cpu.cfs_quota_us");
        const std::optional<std::string> p = read_file(dir + "/cpu.cfs_period_us");
        if (!q || !p) return;
        const auto limit = parse_unsigned(trim(*q));
        const auto period = parse_unsigned(trim(*p));
        if (limit && period && *period > 0) quota = std::min<std::uint64_t>(quota, *limit / *period);
    });
    return quota;
}

}  // namespace

namespace detail {

std::size_t cgroup_quota(const std::string& proc_self, const std::string& cgroup_root) {
    const std::optional<std::string> text = read_file(proc_self + "/cgroup");
    if (!text) return kUnlimited;
    const GroupEntry entry = find_group(*text);
    std::size_t quota = kUnlimited;
    if (entry.version == 2) quota = quota_v2(cgroup_root, entry.path);
    if (entry.version == 1) quota = quota_v1(proc_self, cgroup_root, entry.path);
    return std::max<std::size_t>(quota, 1);
}

ProcessorCount processors_within(std::size_t quota) noexcept {
    cpu_set_t set;  // 1024 processors, 128 bytes
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int bits = CPU_COUNT(&set);
        if (bits > 0) return {std::min<std::size_t>(static_cast<std::size_t>(bits), quota), 0};
    }
    errno = 0;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online == -1) return {0, errno};
    if (online == 0) return {0, 0};
    return {std::min<std::size_t>(static_cast<std::size_t>(online), quota), 0};
}

}  // namespace detail

ProcessorCount available_parallelism() noexcept {
    std::size_t quota = detail::kUnlimited;
    try {
        quota = detail::cgroup_quota("/proc/self", "/sys/fs/cgroup");
    } catch (...) {
        // Allocation failure while reading the control-group files: no quota is known.
    }
    return detail::processors_within(quota);
}

std::vector<int> affinity_processors() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return {};
    try {
        std::vector<int> processors;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set)) processors.push_back(cpu);
        }
        return processors;
    } catch (...) {
        return {};
    }
}

}  // namespace rastrel::parallel
