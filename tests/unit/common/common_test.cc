#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/clock.h"
#include "common/fileutil.h"
#include "common/paths.h"
#include "common/spawn.h"

namespace fs = std::filesystem;

namespace {
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/mevo-common-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
};
}  // namespace

TEST(Paths, PrefixesAbsolutePathsWithTheRoot) {
    setenv("MEVO_ROOT", "/srv/root//", 1);
    mevo_root_reset_for_tests();
    EXPECT_EQ(mevo_path("/tmp/count.buf"), "/srv/root/tmp/count.buf");
    EXPECT_EQ(mevo_path("relative/x"), "relative/x");
    EXPECT_EQ(mevo_package_dir(), "/srv/root/usr/local/packages/mevo");
    unsetenv("MEVO_ROOT");
    mevo_root_reset_for_tests();
    EXPECT_EQ(mevo_path("/tmp/count.buf"), "/tmp/count.buf");
}

TEST(Clock, FixedModeIsExactAndAdvances) {
    clock_set_fixed(1700000000LL * 1000000 + 250000);
    EXPECT_EQ(clock_now(), 1700000000);
    clock_advance(800000);
    struct timeval tv;
    clock_gettimeofday(&tv);
    EXPECT_EQ(tv.tv_sec, 1700000001);
    EXPECT_EQ(tv.tv_usec, 50000);
    // Source reports are ignored outside source mode.
    struct timeval src = {5, 0};
    clock_set_source_time(&src);
    EXPECT_EQ(clock_now(), 1700000001);
    clock_reset();
    EXPECT_NEAR(double(clock_now()), double(time(nullptr)), 2.0);
    // Offline, "now" is the recording's start before the first frame, not the machine's date.
    setenv("MEVO_CLOCK", "source", 1);
    setenv("MEVO_SOURCE_START", "1767600000", 1);
    clock_reset();
    EXPECT_EQ(clock_now(), 1767600000);
    unsetenv("MEVO_CLOCK");
    unsetenv("MEVO_SOURCE_START");
    clock_reset();
}

TEST(FileUtil, MkdirCopyAtomicWriteAndRemoveTree) {
    TempDir dir;
    std::string deep = dir.path + "/a/b/c";
    ASSERT_EQ(file_mkdir_p(deep), 0);
    ASSERT_EQ(file_mkdir_p(deep), 0);  // existing is fine
    std::string data("x\0y", 3);
    ASSERT_EQ(file_write_atomic(deep + "/f", data.data(), data.size()), 0);
    ASSERT_EQ(file_copy(deep + "/f", dir.path + "/g"), 0);
    std::string back;
    ASSERT_EQ(file_read_all(dir.path + "/g", back), 0);
    EXPECT_EQ(back, data);
    EXPECT_FALSE(file_exists(deep + "/f.new"));

    // A link out of the tree is removed, its target kept.
    std::string outside = dir.path + "/keep";
    ASSERT_EQ(file_write_atomic(outside, "k", 1), 0);
    ASSERT_EQ(symlink(outside.c_str(), (deep + "/link").c_str()), 0);
    ASSERT_EQ(file_remove_tree(dir.path + "/a"), 0);
    EXPECT_FALSE(file_exists(dir.path + "/a"));
    EXPECT_TRUE(file_exists(outside));
    EXPECT_EQ(file_remove_tree(dir.path + "/missing"), 0);
    EXPECT_LT(file_copy(dir.path + "/missing", dir.path + "/x"), 0);
}

TEST(Spawn, PassesArgumentsVerbatimWithoutAShell) {
    SpawnOptions opts;
    opts.capture_output = true;
    opts.env = {"MEVO_SPAWN_TEST=a b;c"};
    auto r = spawn_run({"printf", "%s|%s", "$(echo no); rm -rf /", "x"}, opts);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "$(echo no); rm -rf /|x");
    auto env = spawn_run({"sh", "-c", "printf %s \"$MEVO_SPAWN_TEST\""}, opts);
    EXPECT_EQ(env.output, "a b;c");
    opts.input = "hello";
    EXPECT_EQ(spawn_run({"cat"}, opts).output, "hello");
    EXPECT_EQ(spawn_run({"false"}).status, 1);
    EXPECT_EQ(spawn_run({"/nonexistent/program"}).status, -1);
}
