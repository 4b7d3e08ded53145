// The control-group quota over fake /proc/self and cgroup trees (v1 and v2, mountinfo lookup,
// parent groups), and how it caps the affinity mask.
#include <sched.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/parallel/cpus.h"
#include "check.h"

namespace fs = std::filesystem;
using rastrel::parallel::available_parallelism;
using rastrel::parallel::detail::cgroup_quota;
using rastrel::parallel::detail::kUnlimited;
using rastrel::parallel::detail::processors_within;

namespace {

// A fresh tree per case: <tmp>/proc (as /proc/self) and <tmp>/sys (as /sys/fs/cgroup).
class FakeTree {
public:
    FakeTree() {
        std::string templ = (fs::temp_directory_path() / "cpus-XXXXXX").string();
        root_ = mkdtemp(templ.data());
        fs::create_directories(proc());
        fs::create_directories(sys());
    }
    ~FakeTree() { fs::remove_all(root_); }
    std::string proc() const { return root_ + "/proc"; }
    std::string sys() const { return root_ + "/sys"; }
    std::string path(const std::string& rel) const { return root_ + "/" + rel; }
    // Writes `text` at `rel` (relative to the tree), making directories.
    void write(const std::string& rel, const std::string& text) const {
        fs::create_directories(fs::path(path(rel)).parent_path());
        std::ofstream(path(rel)) << text;
    }
    std::size_t quota() const { return cgroup_quota(proc(), sys()); }

private:
    std::string root_;
};

std::size_t v2(const std::string& leaf_max, const std::string& parent_max) {
    FakeTree t;
    t.write("proc/cgroup", "0::/user/app\n");
    t.write("sys/user/app/cgroup.controllers", "cpu memory\n");
    if (!leaf_max.empty()) t.write("sys/user/app/cpu.max", leaf_max);
    if (!parent_max.empty()) t.write("sys/user/cpu.max", parent_max);
    return t.quota();
}

void test_v2() {
    CHECK_EQ(v2("150000 100000\n", ""), 1u, "one and a half periods");
    CHECK_EQ(v2("250000 100000\n", ""), 2u, "two and a half periods");
    CHECK_EQ(v2("50000 100000\n", ""), 1u, "half a period, raised to 1");
    CHECK_EQ(v2("max 100000\n", ""), kUnlimited, "max sets no limit");
    CHECK_EQ(v2("max 100000\n", "300000 100000\n"), 3u, "a parent's limit applies");
    CHECK_EQ(v2("800000 100000\n", "200000 100000\n"), 2u, "the smaller of leaf and parent");
    CHECK_EQ(v2("100000 0\n", ""), kUnlimited, "period 0 ignored");
    CHECK_EQ(v2("", ""), kUnlimited, "no cpu.max anywhere");

    FakeTree no_controllers;
    no_controllers.write("proc/cgroup", "0::/user/app\n");
    no_controllers.write("sys/user/app/cpu.max", "100000 100000\n");
    CHECK_EQ(no_controllers.quota(), kUnlimited, "no cgroup.controllers: not a v2 group");

    FakeTree root_group;  // "0::/" is the mount root itself
    root_group.write("proc/cgroup", "0::/\n");
    root_group.write("sys/cgroup.controllers", "");
    root_group.write("sys/cpu.max", "400000 100000\n");
    CHECK_EQ(root_group.quota(), 4u, "root group");

    CHECK_EQ(FakeTree().quota(), kUnlimited, "no /proc/self/cgroup");
}

void test_v1() {
    FakeTree t;
    t.write("proc/cgroup", "0::/ignored\n5:cpu,cpuacct:/job\n2:memory:/elsewhere\n");
    t.write("sys/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n");
    t.write("sys/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
    CHECK_EQ(t.quota(), kUnlimited, "quota -1: unlimited");
    t.write("sys/cpu,cpuacct/cpu.cfs_quota_us", "  250000\n");
    t.write("sys/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    CHECK_EQ(t.quota(), 2u, "the mount root's limit, trimmed");

    FakeTree later_v1;  // a v1 entry wins over v2 ones before and after it; "cpu" is a whole item
    later_v1.write("proc/cgroup", "0::/\n3:cpuset:/a\n4:cpu:/job\n0::/\n");
    later_v1.write("sys/cgroup.controllers", "");
    later_v1.write("sys/cpu.max", "100000 100000\n");
    later_v1.write("sys/cpu/job/cpu.cfs_quota_us", "300000");
    later_v1.write("sys/cpu/job/cpu.cfs_period_us", "100000");
    CHECK_EQ(later_v1.quota(), 3u, "v1 after v2");

    // Neither /cpu nor /cpu,cpuacct: the mount point comes from mountinfo, the group path with
    // the mount's own root removed.
    FakeTree mounted;
    mounted.write("proc/cgroup", "7:cpuacct,cpu:/outer/inner\n");
    mounted.write("proc/mountinfo",
                  "30 1 0:25 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
                  "29 1 0:24 /out /not/a/component/prefix rw - cgroup cgroup rw,cpu\n"
                  "31 1 0:26 /outer " + mounted.path("mnt/cpu") + " rw,nosuid - cgroup cgroup rw,cpuacct,cpu\n");
    mounted.write("mnt/cpu/inner/cpu.cfs_quota_us", "500000\n");
    mounted.write("mnt/cpu/inner/cpu.cfs_period_us", "100000\n");
    CHECK_EQ(mounted.quota(), 5u, "mountinfo lookup");
}

void test_mask_and_quota() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CHECK(sched_getaffinity(0, sizeof set, &set) == 0);
    const auto mask = static_cast<std::size_t>(CPU_COUNT(&set));
    CHECK_EQ(processors_within(kUnlimited).count, mask, "no quota: the mask");
    CHECK_EQ(processors_within(1).count, 1u, "quota below the mask");
    const auto real = available_parallelism();
    CHECK(real.ok() && real.count <= mask);
}

}  // namespace

int main() {
    test_v2();
    test_v1();
    test_mask_and_quota();
    return check::exit_code();
}
