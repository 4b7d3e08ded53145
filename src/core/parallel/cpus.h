#pragma once
// How many processors this process may use: the affinity mask, capped by a control-group CPU
// quota (cgroup v2 "cpu.max", or v1 "cpu.cfs_quota_us" / "cpu.cfs_period_us"), with the count of
// online processors as the fall-back. Nothing from the environment enters.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rastrel::parallel {

struct ProcessorCount {
    std::size_t count = 0;  // at least 1 when ok()
    int os_error = 0;       // when !ok(): the operating-system error, or 0 if the system gave none

    bool ok() const noexcept { return count != 0; }
};

// Never throws.
ProcessorCount available_parallelism() noexcept;

// The processors in the calling thread's affinity mask, in increasing order; empty when the mask
// cannot be read. Never throws.
std::vector<int> affinity_processors() noexcept;

namespace detail {

inline constexpr std::size_t kUnlimited = SIZE_MAX;

// The directories the readers start from are parameters so that tests can point them at a fake
// tree; the process itself always passes "/proc/self" and "/sys/fs/cgroup".

// The CPU quota of this process's control group and of its parents up to the mount root, in
// whole processors rounded down and then raised to at least 1; kUnlimited without any quota.
std::size_t cgroup_quota(const std::string& proc_self, const std::string& cgroup_root);

// The count that available_parallelism() reports, with the given quota.
ProcessorCount processors_within(std::size_t quota) noexcept;

}  // namespace detail
}  // namespace rastrel::parallel
