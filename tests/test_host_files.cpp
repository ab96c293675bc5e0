// Files the host layer creates: temporary files that nothing planted at
// their name can redirect, files created only where nothing exists, and the
// removal of temporary files left by runs that were killed. (Inputs that are
// no regular files are tried in whole runs.)
#include "host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class HostFiles : public testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/skarnovelt-host-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/";
    }
    void TearDown() override
    {
        remove_temp_files();
        EXPECT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    std::string dir_;

    void put(const std::string &name, const std::string &text)
    {
        FILE *f = std::fopen((dir_ + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    std::string text(const std::string &path)
    {
        std::string s;
        if (FILE *f = std::fopen(path.c_str(), "r")) {
            int c;
            while ((c = std::fgetc(f)) != EOF)
                s.push_back(static_cast<char>(c));
            std::fclose(f);
        }
        return s;
    }
    bool exists(const std::string &name)
    {
        struct stat st;
        return lstat((dir_ + name).c_str(), &st) == 0;
    }
};

} // namespace

TEST_F(HostFiles, TemporaryNamesAreShortUnpredictableAndInTheTargetsFolder)
{
    const std::string target = dir_ + std::string(250, 'r'); // a name close to the file system's 255
    std::string first, second;
    FILE *a = create_temp_file(target, "wb", &first);
    FILE *b = create_temp_file(target, "wb", &second);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(first, second);
    const std::regex shape("skarnovelt-[A-Za-z0-9]{8}\\.tmp");
    for (const std::string &t : {first, second}) {
        ASSERT_EQ(t.compare(0, dir_.size(), dir_), 0) << t;
        EXPECT_TRUE(std::regex_match(t.substr(dir_.size()), shape)) << t;
    }
    std::fclose(a);
    std::fclose(b);
    EXPECT_TRUE(replace_file(first, target));
    forget_temp_file(first);
    EXPECT_TRUE(exists(std::string(250, 'r')));
}

TEST_F(HostFiles, NewFilesTakeThePermissionsTheUmaskLeaves)
{
    const mode_t before = umask(027);
    std::string temp;
    FILE *f = create_temp_file(dir_ + "r", "w", &temp);
    FILE *g = create_new_file(dir_ + "new.txt", "w");
    umask(before);
    ASSERT_NE(f, nullptr);
    ASSERT_NE(g, nullptr);
    struct stat st;
    ASSERT_EQ(stat(temp.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(stat((dir_ + "new.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    std::fclose(f);
    std::fclose(g);
}

TEST_F(HostFiles, ANewFileIsNeverCreatedThroughALink)
{
    put("victim", "keep me");
    ASSERT_EQ(symlink((dir_ + "victim").c_str(), (dir_ + "sym.txt").c_str()), 0);
    ASSERT_EQ(symlink((dir_ + "absent").c_str(), (dir_ + "dangling.txt").c_str()), 0);
    ASSERT_EQ(link((dir_ + "victim").c_str(), (dir_ + "hard.txt").c_str()), 0);
    for (const char *name : {"sym.txt", "dangling.txt", "hard.txt"}) {
        errno = 0;
        EXPECT_EQ(create_new_file(dir_ + name, "w"), nullptr) << name;
        EXPECT_EQ(errno, EEXIST) << name;
    }
    EXPECT_EQ(text(dir_ + "victim"), "keep me");
    EXPECT_FALSE(exists("absent"));
}

TEST_F(HostFiles, StaleTemporaryFilesAreRemovedButNotHeldOnesNorOthers)
{
    // Left by a killed run (nobody holds it), held by a live run, and files
    // that only resemble the pattern.
    put("skarnovelt-Stale123.tmp", "stale");
    put("skarnovelt-Held4567.tmp", "held");
    put("skarnovelt-short.tmp", "other");
    put("skarnovelt-Stale123.tmp.bak", "other");
    put("victim", "keep me");
    ASSERT_EQ(symlink((dir_ + "victim").c_str(), (dir_ + "skarnovelt-Linked12.tmp").c_str()), 0);
    int held = open((dir_ + "skarnovelt-Held4567.tmp").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    std::string temp;
    FILE *f = create_temp_file(dir_ + "result", "wb", &temp);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(exists("skarnovelt-Stale123.tmp"));
    EXPECT_TRUE(exists("skarnovelt-Held4567.tmp"));
    EXPECT_TRUE(exists("skarnovelt-short.tmp"));
    EXPECT_TRUE(exists("skarnovelt-Stale123.tmp.bak"));
    EXPECT_TRUE(exists("skarnovelt-Linked12.tmp"));
    EXPECT_EQ(text(dir_ + "victim"), "keep me");
    close(held);
    std::fclose(f);
}
