// Sounds played on login and logout: a WAVE file handed to an installed
// command-line player, started without waiting for it. The service's built-in
// sounds are WAVE files installed next to the program (sounds/<name>.wav).
// Where no player is installed nothing plays and nothing fails.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

namespace orvyn::sound {

// One sound at a time, as the service plays them: starting a sound stops the
// one still playing. Players are child processes of this object; finished
// ones are collected on the next call (play, stop or reap) and by the
// destructor, which also stops a sound still playing. Safe to call from
// several threads.
class SoundPlayer {
public:
    // builtinDir: the folder holding the built-in sounds;
    // searchPath: a PATH-style list of folders searched for a player
    // (aplay, paplay, pw-play, in that order).
    SoundPlayer(std::string builtinDir, std::string searchPath);
    ~SoundPlayer();

    SoundPlayer(const SoundPlayer&) = delete;
    SoundPlayer& operator=(const SoundPlayer&) = delete;

    // Plays `file` when it names a readable WAVE file, otherwise the built-in
    // sound `builtinName` ("hello", "goodbye"; null for none). Never waits for
    // the sound. Returns the file that was started, or empty when nothing
    // plays (no player, no usable file, or the player could not start).
    std::string play(const std::string& file, const char* builtinName);

    // Stops the sound that is playing, if any.
    void stop();

    // Collects players that have finished.
    void reap();

    // The player that would be used now, or empty when none is installed.
    std::string findPlayer() const;

    // Players started and not yet collected (finished or not).
    size_t pending() const;

private:
    std::string builtinFile(const char* builtinName) const;
    void reapLocked();
    void stopLocked();

    std::string builtinDir_;
    std::string searchPath_;
    mutable std::mutex mutex_;
    std::vector<pid_t> children_;
};

// True when `path` is a regular file that can be read and starts like a
// RIFF WAVE file. Does not block on special files.
bool IsWaveFile(const std::string& path);

// Where the built-in sounds of the running program live: sounds/ beside the
// program, else ../share/orvyn/sounds relative to it.
std::string BuiltinSoundDir();

// The service's sound player (built-in sounds from BuiltinSoundDir(), players
// from PATH). PlaySoundAsync plays as SoundPlayer::play does; StopSounds stops
// what is playing; ReapSounds collects finished players and suits a periodic
// timer.
void PlaySoundAsync(const std::string& file, const char* builtinName);
void StopSounds();
void ReapSounds();

}  // namespace orvyn::sound
