// The Linux backend's file and pipe handling: writes to a device that has stopped
// reading, kq.ini as editors and disks leave it, and the log file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix.h"

namespace {

// ---- A FIFO whose reader never reads ----------------------------------------------------
class FifoTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kqfifo.XXXXXX";
        dir_ = mkdtemp(pattern);
        path_ = dir_ + "/PIPE00";
        ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
        reader_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK);  // the device's end, held
        ASSERT_GE(reader_, 0);
        writer_ = (int)PlatPipeOpen(path_.c_str());  // the program's end, blocking
        ASSERT_GE(writer_, 0);
        signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override {
        if (writer_ >= 0) close(writer_);
        if (reader_ >= 0) close(reader_);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_, path_;
    int reader_ = -1, writer_ = -1;
};

const std::vector<uint8_t> MEGABYTE(1 << 20, 0x55);

std::atomic<bool> StopFlag{false};
bool StopRequested() { return StopFlag; }
void OnSignal(int) { StopFlag = true; }

TEST_F(FifoTest, AWriteToADeviceThatStopsReadingFailsAtItsLimit) {
    // Through the seam, with the program's own limit.
    EXPECT_EQ(PlatPipeWrite(writer_, MEGABYTE.data(), MEGABYTE.size()), -1);
    EXPECT_EQ(BoundedFifoWrite(writer_, MEGABYTE.data(), MEGABYTE.size(), 200, nullptr), -1);
    // Room again once the device drains its pipe: small writes go through whole.
    std::vector<uint8_t> sink(1 << 16);
    while (read(reader_, sink.data(), sink.size()) > 0) {
    }
    EXPECT_EQ(BoundedFifoWrite(writer_, "\x80\x02\x7e", 3, 200, nullptr), 3);
}

TEST_F(FifoTest, AWriteThatTheDeviceTakesGoesThroughWhole) {
    std::atomic<size_t> taken{0};
    int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);  // a reader that does read
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETFL, 0);
    std::thread device([&] {
        std::vector<uint8_t> block(4096);
        while (taken < MEGABYTE.size()) {
            ssize_t n = read(fd, block.data(), block.size());
            if (n <= 0) break;
            taken += (size_t)n;
        }
        close(fd);
    });
    close(reader_);
    reader_ = -1;
    EXPECT_EQ(BoundedFifoWrite(writer_, MEGABYTE.data(), MEGABYTE.size(), 60000, nullptr),
              (long)MEGABYTE.size());
    device.join();
    EXPECT_EQ(taken, MEGABYTE.size());
}

// A close request ends a blocked write at once: with a limit of ten minutes, the test
// finishes only because the request was honoured.
TEST_F(FifoTest, ACloseRequestEndsABlockedWrite) {
    struct Case {
        const char* name;
        bool before;  // requested before the write starts, or while it is blocked
    } cases[] = {{"pending", true}, {"while blocked", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StopFlag = c.before;
        struct sigaction sa = {};
        sa.sa_handler = OnSignal;  // no SA_RESTART, as the program's close signals
        sigaction(SIGUSR2, &sa, nullptr);
        std::atomic<long> result{0};
        std::atomic<bool> done{false};
        pthread_t writerThread;
        std::thread t([&] {
            writerThread = pthread_self();
            result = BoundedFifoWrite(writer_, MEGABYTE.data(), MEGABYTE.size(), 600000, StopRequested);
            done = true;
        });
        // Signal until the write has ended: a signal that lands before the write
        // blocks still sets the flag the write looks at.
        while (!done) {
            usleep(20000);
            if (!done) pthread_kill(t.native_handle(), SIGUSR2);
        }
        t.join();
        EXPECT_EQ(result, -1);
        std::vector<uint8_t> sink(1 << 16);
        while (read(reader_, sink.data(), sink.size()) > 0) {
        }
    }
    StopFlag = false;
}

TEST_F(FifoTest, AWriteToAnUnpluggedDeviceFailsAtOnce) {
    close(reader_);
    reader_ = -1;
    EXPECT_EQ(BoundedFifoWrite(writer_, "abc", 3, 600000, nullptr), -1);
}

// ---- kq.ini text --------------------------------------------------------------------------------
// A literal with its NUL bytes, without the terminating one.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
    return std::string(s, N - 1);
}

std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += std::string(1, c) + '\0';
    return out;
}

TEST(Profile, TheStoredValueSurvivesWhatEditorsAndDisksDo) {
    const std::string longLine(200000, 'x');
    struct Case {
        const char* name;
        std::string text;
        const char* expected;  // nullptr: not found
    } cases[] = {
        {"plain", "[Kqsfupdt]\nMac=000123\n", "000123"},
        {"byte-order mark", "\xEF\xBB\xBF[Kqsfupdt]\nMac=000123\n", "000123"},
        {"two byte-order marks", "\xEF\xBB\xBF\xEF\xBB\xBF[Kqsfupdt]\nMac=000123\n", "000123"},
        {"CRLF", "[Kqsfupdt]\r\nMac=000123\r\n", "000123"},
        {"lone CR", "[Kqsfupdt]\rMac=000123\r", "000123"},
        {"no final line end", "[Kqsfupdt]\nMac=000123", "000123"},
        {"NUL in the section line", Bytes("[Kqsf\0updt]\nMac=000123\n"), "000123"},
        {"NUL after the value", Bytes("[Kqsfupdt]\nMac=000123\0\0\0\n"), "000123"},
        {"UTF-16", Utf16("[Kqsfupdt]\r\nMac=000123\r\n"), "000123"},
        {"blanks around names", "  [ kqsfupdt ]  \n\t Mac  =  000123  \n", "000123"},
        {"quoted", "[Kqsfupdt]\nMac=\"000123\"\n", "000123"},
        {"duplicate sections: the first copy",
         "\xEF\xBB\xBF[Kqsfupdt]\nMac=000123\n\n[Kqsfupdt]\nMac=000001\n", "000123"},
        {"duplicate sections: the key in the second",
         "[Kqsfupdt]\nOther=1\n[Net]\nMac=1\n[KQSFUPDT]\nMac=000777\n", "000777"},
        {"very long lines", longLine + "\n[Kqsfupdt]\n" + longLine + "\nMac=000123\n", "000123"},
        {"commented out", "[Kqsfupdt]\n;Mac=000123\n", nullptr},
        {"other section", "[Net]\nMac=000123\n", nullptr},
        {"empty file", "", nullptr},
    };
    for (const Case& c : cases) {
        std::string value;
        bool found = ProfileRead(c.text, "Kqsfupdt", "Mac", &value);
        EXPECT_EQ(found, c.expected != nullptr) << c.name;
        if (c.expected) {
            EXPECT_EQ(value, c.expected) << c.name;
        }
    }
}

TEST(Profile, AnUpdateLeavesOneReadableValue) {
    struct Case {
        const char* name;
        std::string text;
        std::string expected;  // the whole file afterwards
    } cases[] = {
        {"new file", "", "[Kqsfupdt]\nMac=000124\n"},
        {"replaced in place", "[A]\nx=1\n[Kqsfupdt]\nMac=000123\nY=2\n",
         "[A]\nx=1\n[Kqsfupdt]\nMac=000124\nY=2\n"},
        {"added to its section", "[Kqsfupdt]\nY=2\n\n[B]\n", "[Kqsfupdt]\nY=2\nMac=000124\n\n[B]\n"},
        {"section appended", "[B]\nz=3\n", "[B]\nz=3\n\n[Kqsfupdt]\nMac=000124\n"},
        {"marks doubled by an editor (found by fuzzing)",
         "\xEF\xBB\xBF\xEF\xBB\xBF[Kqs\xFF\xFF" "fup[Kd", "[Kqs\xFF\xFF" "fup[Kd\n\n[Kqsfupdt]\nMac=000124\n"},
        {"a mark behind NUL bytes (found by fuzzing)", Bytes("\xEF\xBB\xBF\0\0\xEF\xBB\xBF[B]\n"),
         "[B]\n\n[Kqsfupdt]\nMac=000124\n"},
        {"mark, NUL and a duplicate cleaned up",
         Bytes("\xEF\xBB\xBF[Kqsfupdt\0]\r\nMac=000123\r\n[Kqsfupdt]\r\nMac=000001\r\n"),
         "[Kqsfupdt]\r\nMac=000124\r\n[Kqsfupdt]\r\n"},
    };
    for (const Case& c : cases) {
        std::string out = ProfileUpdate(c.text, "Kqsfupdt", "Mac", "000124");
        // Writing again changes the value's line and nothing else.
        EXPECT_EQ(ProfileUpdate(out, "Kqsfupdt", "Mac", "000125").size(), out.size()) << c.name;
        EXPECT_EQ(out, c.expected) << c.name;
        std::string value;
        EXPECT_TRUE(ProfileRead(out, "Kqsfupdt", "Mac", &value)) << c.name;
        EXPECT_EQ(value, "000124") << c.name;
    }
}

// ---- kq.ini on disk --------------------------------------------------------------------------------
class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kqini.XXXXXX";
        home_ = mkdtemp(pattern);
        setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
        file_ = home_ + "/kqsfupdt/kq.ini";
    }
    void TearDown() override {
        std::string command = "chmod -R u+w '" + home_ + "' 2>/dev/null; rm -rf '" + home_ + "'";
        if (system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << home_;
        unsetenv("XDG_CONFIG_HOME");
    }
    std::string Read() {
        char value[8];
        PlatSettingRead("kq.ini", "Kqsfupdt", "Mac", "000000", value, sizeof value);
        return value;
    }
    std::string FileText() {
        std::ifstream f(file_, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void WriteFile(const std::string& text) {
        mkdir((home_ + "/kqsfupdt").c_str(), 0755);
        std::ofstream(file_, std::ios::binary) << text;
    }
    std::string home_, file_;
};

TEST_F(SettingsFileTest, AWriteIsStoredWholeAndReadBack) {
    EXPECT_EQ(Read(), "000000");
    WriteFile("\xEF\xBB\xBF[Kqsfupdt]\r\nMac=0009FF\r\n");
    EXPECT_EQ(Read(), "0009FF");
    EXPECT_TRUE(PlatSettingWrite("kq.ini", "Kqsfupdt", "Mac", "000A00"));
    EXPECT_EQ(Read(), "000A00");
    EXPECT_EQ(FileText(), "[Kqsfupdt]\r\nMac=000A00\r\n");
    EXPECT_NE(access((file_ + ".new").c_str(), F_OK), 0) << "the temporary file is left";
}

TEST_F(SettingsFileTest, AWriteThatCannotBeStoredSaysSo) {
    // A read-only kq.ini: refused, and the file is as it was.
    WriteFile("[Kqsfupdt]\nMac=0009FF\n");
    chmod(file_.c_str(), 0444);
    EXPECT_FALSE(PlatSettingWrite("kq.ini", "Kqsfupdt", "Mac", "000A00"));
    EXPECT_EQ(FileText(), "[Kqsfupdt]\nMac=0009FF\n");
    EXPECT_EQ(Read(), "0009FF");
    // No folder can be made for it (a file stands where it would be).
    chmod(file_.c_str(), 0644);
    std::string command = "rm -rf '" + home_ + "/kqsfupdt' && touch '" + home_ + "/kqsfupdt'";
    ASSERT_EQ(system(command.c_str()), 0);
    EXPECT_FALSE(PlatSettingWrite("kq.ini", "Kqsfupdt", "Mac", "000A00"));
    EXPECT_EQ(Read(), "000000");
}

}  // namespace

// ---- The log file -----------------------------------------------------------------------
namespace {
std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}
}  // namespace

// The run's one handle appends after what is there, also after what another writer added
// meanwhile, stores the text as it is, and the file may be read and deleted while open.
TEST(LogFile, OneHandleAppendsEachEntryAtTheEnd) {
    char pattern[] = "/tmp/kqlog.XXXXXX";
    std::string dir = mkdtemp(pattern);
    std::string path = dir + "/log.txt";
    { std::ofstream(path, std::ios::binary) << "left from before\n"; }
    PlatHandle h = PlatLogOpen(path.c_str());
    ASSERT_NE(h, PLAT_NO_HANDLE);
    EXPECT_TRUE(PlatLogWrite(h, "Time:00000001 Mesa<- Nbytes:0 \n", 31));
    { std::ofstream(path, std::ios::binary | std::ios::app) << "another writer\n"; }
    EXPECT_TRUE(PlatLogWrite(h, "-----Remote Test-----\n", 22));
    EXPECT_EQ(ReadAll(path),
              "left from before\nTime:00000001 Mesa<- Nbytes:0 \nanother writer\n-----Remote Test-----\n");
    EXPECT_EQ(unlink(path.c_str()), 0);
    EXPECT_TRUE(PlatLogWrite(h, "x\n", 2));  // deleted under it: no failure, no new file
    PlatLogClose(h);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_EQ(PlatLogOpen((dir + "/missing/log.txt").c_str()), PLAT_NO_HANDLE);
    rmdir(dir.c_str());
}
