// Sound playing through fake players: which file plays, the fallback to the
// built-in sounds, no player at all, one sound at a time, no zombie players,
// nothing inherited, and the shipped built-in sounds themselves.
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/sound/Sound.h"

namespace orvyn::sound {
namespace {

class Folder {
public:
    Folder() {
        std::string t = "/tmp/orvyn-sound-XXXXXX";
        if (mkdtemp(t.data()) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        path_ = t;
    }
    ~Folder() {
        nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& content, mode_t mode = 0644) const {
        std::string p = *this / name;
        std::ofstream(p, std::ios::binary) << content;
        chmod(p.c_str(), mode);
        return p;
    }
    std::string mkdir(const std::string& name) const {
        std::string p = *this / name;
        ::mkdir(p.c_str(), 0755);
        return p;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The smallest WAVE file a player accepts: header, format and a few samples.
std::string TinyWave() {
    std::string data(16, '\x80');
    auto le32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    auto le16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
    std::string fmt = le16(1) + le16(1) + le32(8000) + le32(8000) + le16(1) + le16(8);
    std::string body = "WAVE" + std::string("fmt ") + le32(16) + fmt + "data" + le32(16) + data;
    return "RIFF" + le32(static_cast<uint32_t>(body.size())) + body;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits (at most 10 s) until `path` has at least `lines` lines.
std::vector<std::string> WaitForLines(const std::string& path, size_t lines) {
    std::vector<std::string> out;
    for (int i = 0; i < 1000; ++i) {
        out.clear();
        // Only whole lines: a player may be writing its line right now.
        std::string text = ReadAll(path);
        text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            out.push_back(line);
        }
        if (out.size() >= lines) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return out;
}

bool WaitUntilPending(SoundPlayer& player, size_t n) {
    for (int i = 0; i < 1000; ++i) {
        player.reap();
        if (player.pending() == n) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool Gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

class Sound : public ::testing::Test {
protected:
    void SetUp() override {
        builtin = tmp.mkdir("builtin");
        tmp.write("builtin/hello.wav", TinyWave());
        tmp.write("builtin/goodbye.wav", TinyWave());
        wave = tmp.write("my.wav", TinyWave());
        log = tmp / "played.log";
    }
    // A fake player: logs "<pid> <name> <args>" and either ends or keeps playing.
    std::string fakePlayer(const std::string& folder, const std::string& name, bool keepsPlaying) {
        tmp.mkdir(folder);
        tmp.write(folder + "/" + name,
                  "#!/bin/sh\necho \"$$ $(basename \"$0\") $*\" >> '" + log + "'\n" +
                      (keepsPlaying ? "exec sleep 30\n" : "exit 0\n"),
                  0755);
        return tmp / folder;
    }
    pid_t pidOfLine(const std::string& line) { return static_cast<pid_t>(std::stol(line)); }

    Folder tmp;
    std::string builtin, wave, log;
};

TEST_F(Sound, PlaysTheNamedWaveFileWithoutWaiting) {
    SoundPlayer player(builtin, fakePlayer("bin", "aplay", true));
    EXPECT_EQ(player.play(wave, "hello"), wave);
    auto lines = WaitForLines(log, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" aplay -q " + wave), std::string::npos) << lines[0];
    EXPECT_EQ(player.pending(), 1u) << "the player is still playing: play() did not wait for it";
}

TEST_F(Sound, UnusableFilesFallBackToTheBuiltInSound) {
    SoundPlayer player(builtin, fakePlayer("bin", "aplay", false));
    std::string hello = builtin + "/hello.wav";
    std::string notWave = tmp.write("text.wav", std::string(100, 'x'));
    std::string fifo = tmp / "fifo.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string unreadable = tmp.write("locked.wav", TinyWave(), 0000);
    for (const std::string& file : {std::string(), tmp / "missing.wav", notWave, fifo, tmp.path()}) {
        EXPECT_EQ(player.play(file, "hello"), hello) << "file " << file;
    }
    EXPECT_EQ(player.play(tmp / "missing.wav", "goodbye"), builtin + "/goodbye.wav");
    if (geteuid() != 0) {
        EXPECT_EQ(player.play(unreadable, "hello"), hello);
    }
}

TEST_F(Sound, NothingPlaysWithoutAPlayerOrAnySound) {
    SoundPlayer none(builtin, tmp.mkdir("empty") + ":" + (tmp / "absent"));
    EXPECT_EQ(none.findPlayer(), "");
    EXPECT_EQ(none.play(wave, "hello"), "");
    EXPECT_EQ(none.pending(), 0u);

    SoundPlayer player(builtin, fakePlayer("bin", "aplay", false));
    EXPECT_EQ(player.play(tmp / "missing.wav", nullptr), "");
    EXPECT_EQ(player.play(tmp / "missing.wav", "nosuchsound"), "");
    // Built-in names are plain words, never paths.
    tmp.write("escape.wav", TinyWave());
    EXPECT_EQ(player.play("", "../escape"), "");
    EXPECT_EQ(player.play("", "hello/../../escape"), "");
    EXPECT_EQ(player.pending(), 0u);
}

TEST_F(Sound, PrefersPlayersInOrderAndPassesEachItsArguments) {
    std::string both = fakePlayer("both", "aplay", false);
    fakePlayer("both", "paplay", false);
    SoundPlayer first(builtin, both);
    EXPECT_EQ(first.findPlayer(), both + "/aplay");

    std::string pulse = fakePlayer("pulse", "paplay", false);
    SoundPlayer second(builtin, "relative/dir:" + pulse);
    EXPECT_EQ(second.play(wave, nullptr), wave);
    auto lines = WaitForLines(log, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" paplay " + wave), std::string::npos) << lines[0];
    // As a word: the temporary folder's random name may hold "-q".
    EXPECT_EQ(lines[0].find(" -q"), std::string::npos) << lines[0];
}

TEST_F(Sound, ANewSoundStopsThePreviousOneAndFinishedPlayersAreCollected) {
    SoundPlayer player(builtin, fakePlayer("bin", "aplay", true));
    ASSERT_FALSE(player.play(wave, nullptr).empty());
    auto lines = WaitForLines(log, 1);
    ASSERT_EQ(lines.size(), 1u);
    pid_t first = pidOfLine(lines[0]);
    ASSERT_FALSE(player.play(wave, nullptr).empty());
    lines = WaitForLines(log, 2);
    ASSERT_EQ(lines.size(), 2u);
    pid_t second = pidOfLine(lines[1]);

    ASSERT_TRUE(WaitUntilPending(player, 1));
    EXPECT_TRUE(Gone(first)) << "the replaced player was stopped and collected, not left a zombie";
    EXPECT_FALSE(Gone(second));

    player.stop();
    ASSERT_TRUE(WaitUntilPending(player, 0));
    EXPECT_TRUE(Gone(second));
}

TEST_F(Sound, DestroyingThePlayerLeavesNoProcessBehind) {
    pid_t pid;
    {
        SoundPlayer player(builtin, fakePlayer("bin", "aplay", true));
        ASSERT_FALSE(player.play(wave, nullptr).empty());
        auto lines = WaitForLines(log, 1);
        ASSERT_EQ(lines.size(), 1u);
        pid = pidOfLine(lines[0]);
    }
    EXPECT_TRUE(Gone(pid));
}

TEST_F(Sound, ThePlayerInheritsNoDescriptorsOfTheService) {
    int leaked = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaked, 3);
    tmp.mkdir("bin");
    tmp.write("bin/aplay", "#!/bin/sh\nls /proc/$$/fd > '" + log + "'\n", 0755);
    SoundPlayer player(builtin, tmp / "bin");
    EXPECT_FALSE(player.play(wave, nullptr).empty());
    auto lines = WaitForLines(log, 3);
    close(leaked);
    ASSERT_GE(lines.size(), 3u);
    for (const std::string& fd : lines) {
        EXPECT_NE(fd, std::to_string(leaked));
    }
    EXPECT_TRUE(WaitUntilPending(player, 0));
}

TEST(WaveFile, RecognisesOnlyRegularRiffWaveFiles) {
    Folder tmp;
    EXPECT_TRUE(IsWaveFile(tmp.write("a.wav", TinyWave())));
    EXPECT_FALSE(IsWaveFile(tmp.write("short.wav", "RIFF....WAVE")));
    std::string other = TinyWave();
    other.replace(8, 4, "AVI ");
    EXPECT_FALSE(IsWaveFile(tmp.write("avi.wav", other)));
    EXPECT_FALSE(IsWaveFile(tmp.path()));
    EXPECT_FALSE(IsWaveFile(""));
    EXPECT_FALSE(IsWaveFile(std::string("a\0b", 3)));
}

// The built-in sounds shipped with the program: PCM WAVE files whose chunk
// sizes agree with the file and that are not silence.
TEST(BuiltinSounds, AreValidPcmWaveFiles) {
    for (const char* name : {"hello", "goodbye"}) {
        std::string path = std::string(ORVYN_BUILTIN_SOUND_DIR) + "/" + name + ".wav";
        std::string w = ReadAll(path);
        ASSERT_GE(w.size(), 44u) << path;
        auto u32 = [&](size_t at) {
            return uint32_t(uint8_t(w[at])) | uint32_t(uint8_t(w[at + 1])) << 8 |
                   uint32_t(uint8_t(w[at + 2])) << 16 | uint32_t(uint8_t(w[at + 3])) << 24;
        };
        auto u16 = [&](size_t at) { return uint16_t(uint8_t(w[at]) | uint8_t(w[at + 1]) << 8); };
        EXPECT_EQ(w.substr(0, 4), "RIFF");
        EXPECT_EQ(u32(4), w.size() - 8);
        EXPECT_EQ(w.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(u16(20), 1) << "PCM";
        uint16_t channels = u16(22);
        uint32_t rate = u32(24);
        uint16_t bits = u16(34);
        EXPECT_GE(channels, 1);
        EXPECT_GE(rate, 8000u);
        EXPECT_EQ(u32(28), rate * channels * bits / 8) << "byte rate";
        ASSERT_EQ(w.substr(36, 4), "data");
        uint32_t dataSize = u32(40);
        EXPECT_EQ(dataSize, w.size() - 44);
        EXPECT_GT(dataSize, rate / 10) << "at least a tenth of a second";
        EXPECT_NE(w.find_first_not_of('\x80', 44), std::string::npos) << "not silence";
        EXPECT_TRUE(IsWaveFile(path));
    }
}

}  // namespace
}  // namespace orvyn::sound
